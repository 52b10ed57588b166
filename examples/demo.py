"""torvex demo: a monthly momentum strategy on a synthetic stock universe, through torvex.backtest.

The universe comes from torvex.datasets.synthetic_universe (seeded, offline):
a few hundred stocks with late listings, delistings and trading halts.  The
strategy holds the top N stocks by 12-1 month momentum (the return from twelve
month-ends ago to one month-end ago), equally weighted, with a target row
dated on each month's last bar.  torvex takes each row at that bar's close and
trades it on the next bar at the open, pays the usual fee and tax, exits a
position whose close falls 10% below its price at the last rebalance (at the
next open) and closes delisted stocks at their last price.

It prints the statistics and the next actions, and writes report.html (the
full report) and report.png (equity and drawdown) to the output folder.

    python examples/demo.py                     # the embedded default
    python examples/demo.py --stocks 500 --top 30 --stop-loss 0.15 --seed 7 --out /tmp
"""

import argparse
import os
import sys
import time

import pandas as pd

import torvex
from torvex.datasets import synthetic_universe
from torvex.report import ACTION_WORDS


def momentum(close: pd.DataFrame, top: int, lookback: int = 12, skip: int = 1) -> pd.DataFrame:
    """Bool frame dated on month-ends: True for the `top` stocks by `lookback`-`skip` month momentum."""
    month_end = close.groupby(close.index.to_period("M")).tail(1)
    score = month_end.shift(skip) / month_end.shift(lookback) - 1
    score = score.where(month_end.notna()).iloc[lookback:]
    return score.rank(axis=1, ascending=False, method="first") <= top


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--stocks", type=int, default=300, help="number of stocks (default 300)")
    p.add_argument("--years", type=int, default=10, help="years of daily bars, at least 2 (default 10)")
    p.add_argument("--top", type=int, default=20, help="stocks held each month (default 20)")
    p.add_argument("--seed", type=int, default=1, help="random seed of the universe (default 1)")
    p.add_argument(
        "--stop-loss",
        type=float,
        default=0.1,
        help="exit when the close is this fraction below the price at the last rebalance (default 0.1)",
    )
    p.add_argument("--out", default=".", help="folder for report.html and report.png (default: here)")
    args = p.parse_args(argv)
    if args.stocks < 1 or args.years < 2 or not 1 <= args.top <= args.stocks:
        p.error("need --stocks >= 1, --years >= 2 and 1 <= --top <= --stocks")
    return args


def main(argv=None):
    args = parse_args(argv)
    t0 = time.perf_counter()
    prices, facts = synthetic_universe(args.stocks, 252 * args.years, args.seed, ohlc=True, details=True)
    hold = momentum(prices["close"], args.top)

    # Benchmark: every priced stock at equal weight, rebalanced monthly, same costs.
    bench = torvex.backtest(prices["close"].notna(), prices, trade_at="open", resample="ME")
    equal_weight = bench.creturn.rename("equal weight")
    t1 = time.perf_counter()
    report = torvex.backtest(hold, prices, trade_at="open", stop_loss=args.stop_loss, benchmark=equal_weight)
    t2 = time.perf_counter()

    close = prices["close"]
    print(
        f"torvex {torvex.__version__} demo: monthly 12-1 momentum, top {args.top} of {close.shape[1]} stocks,"
        f" {close.shape[0]:,} daily bars {close.index[0].date()} .. {close.index[-1].date()}"
    )
    print(
        f"universe: {facts['late_listings']} listed late, {len(facts['delisted'])} delisted,"
        f" {facts['halts']} trading halts (seed {args.seed}); stop-loss {args.stop_loss:.0%}"
    )
    print()
    print(report)
    print()
    stats = report.stats()
    with pd.option_context("display.float_format", "{:.4f}".format):
        print(stats.to_string())
    print()
    t = report.trades
    counts = t["exit_reason"].value_counts(dropna=False)
    print("exits:", ", ".join(f"{k} {v}" for k, v in counts.items() if v))
    print()
    acts = report.actions
    last = report.rebalances["row_date"].iloc[-1].date()
    print(f"Next actions at the next open (last executed row: {last}; weight = held now, next_weight = target):")
    with pd.option_context("display.max_rows", 40, "display.float_format", "{:.4f}".format):
        print(acts[acts["action"] != ""].to_string())
    for word in sorted(set(acts["action"]) - {""}):
        print(f"  {word:<9} {ACTION_WORDS[word]}")
    if report.warnings:
        print(f"\n{len(report.warnings)} warnings, for example:\n  " + "\n  ".join(report.warnings[:3]))

    os.makedirs(args.out, exist_ok=True)
    html_path, png_path = os.path.join(args.out, "report.html"), os.path.join(args.out, "report.png")
    saved = os.path.join(args.out, "report")
    report.to_html(html_path)
    report.plot().savefig(png_path, dpi=110)
    report.save(saved, overwrite=True)
    print(f"\nwrote {html_path}, {png_path} and {saved}/ (Parquet tables, torvex.load_report reads them back)")
    print(
        f"timing: data {1e3 * (t1 - t0):.0f} ms, torvex.backtest {1e3 * (t2 - t1):.0f} ms,"
        f" whole demo {1e3 * (time.perf_counter() - t0):.0f} ms (after imports)"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
