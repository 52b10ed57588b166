"""torvex demo: a monthly momentum strategy on a synthetic stock universe.

Everything the demo needs is generated here from a seed, so it runs offline:

* a universe of a few hundred stocks ("S0001", "S0002", ...) in ten sectors,
  priced on an exchange-like business-day calendar over about ten years.
  Log returns are a market factor (with slowly changing volatility and fat
  tails) plus a sector factor plus idiosyncratic noise, with a per-stock drift,
  beta and volatility and occasional jumps.  The trading price is the bar's
  open; the close, high and low follow from intraday noise.  A few stocks list
  late, a few are delisted (some after a slide), and a few have trading halts
  (bars without prices);
* a strategy that holds the top N stocks by 12-1 month momentum (the return
  from twelve month-ends ago to one month-end ago), equally weighted, with a
  target row dated on each month's last bar.  The engine takes each row at
  that bar's close and trades it on the next bar at the open, pays the usual
  fee and tax, and exits a position whose close falls 10% below its price at
  the last rebalance (on the next bar's open).

Then it prints the numbers a user looks at first: performance, trades,
per-trade excursions and what the engine would trade next.

    python examples/demo.py                     # the embedded default
    python examples/demo.py --stocks 500 --top 30 --stop-loss 0.15 --seed 7
"""

import argparse
import sys
import time
from collections import Counter

import numpy as np

from torvex.core import excursion, pathsim

BARS_PER_YEAR = 252
FEE_RATIO = 0.001425  # charged on every trade
TAX_RATIO = 0.003  # charged on sales
ALPHA_SD = 0.10  # cross-sectional spread of annual excess drift
NS_PER_DAY = 86_400 * 10**9


# --------------------------------------------------------------------------- data


def exchange_calendar(first_year, years):
    """Business days of `years` calendar years from `first_year`, without the usual holidays.

    Fixed-date holidays that fall on a weekend are simply dropped (no observed
    day), which leaves about 252 bars a year.
    """
    holidays = []
    for y in range(first_year, first_year + years):
        holidays += [f"{y}-01-01", f"{y}-06-19", f"{y}-07-04", f"{y}-12-25"]
        # 3rd Monday of January and February, last Monday of May,
        # 1st Monday of September, 4th Thursday of November.
        holidays.append(np.busday_offset(f"{y}-01", 2, roll="forward", weekmask="Mon"))
        holidays.append(np.busday_offset(f"{y}-02", 2, roll="forward", weekmask="Mon"))
        holidays.append(np.busday_offset(f"{y}-06", -1, roll="forward", weekmask="Mon"))
        holidays.append(np.busday_offset(f"{y}-09", 0, roll="forward", weekmask="Mon"))
        holidays.append(np.busday_offset(f"{y}-11", 3, roll="forward", weekmask="Thu"))
    days = np.arange(f"{first_year}-01-01", f"{first_year + years}-01-01", dtype="datetime64[D]")
    return days[np.is_busday(days, holidays=np.array(holidays, dtype="datetime64[D]"))]


def make_universe(n_stocks=300, years=10, seed=1, last_year=2024, n_sectors=10):
    """Seeded synthetic OHLC prices for `n_stocks` stocks over `years` years to the end of `last_year`.

    Returns a dict of NumPy arrays: `dates` (datetime64[D]), `names`,
    `sector`, the (bars x stocks) float64 arrays `open`, `high`, `low`,
    `close`, and `delisting_bars` (last priced bar of a delisted stock, -1 for
    the others).  Missing prices (before listing, after delisting, during a
    halt) are NaN; every other price is positive.
    """
    rng = np.random.default_rng(seed)
    dates = exchange_calendar(last_year - years + 1, years)
    T, N = dates.size, n_stocks
    dt = 1.0 / BARS_PER_YEAR

    # Market: volatility regime as an AR(1) in log space, Student-t shocks.
    logvol = np.empty(T)
    logvol[0] = 0.0
    shocks = rng.normal(0.0, 0.08, T)
    for t in range(1, T):
        logvol[t] = 0.985 * logvol[t - 1] + shocks[t]
    regime = np.exp(logvol - logvol.mean())
    tdf = 5
    fat = rng.standard_t(tdf, T) / np.sqrt(tdf / (tdf - 2))
    market = 0.07 * dt + 0.16 * np.sqrt(dt) * regime * fat

    sector = rng.integers(0, n_sectors, N)
    sector_ret = 0.10 * np.sqrt(dt) * regime[:, None] * rng.standard_normal((T, n_sectors))

    beta = rng.uniform(0.6, 1.4, N)
    sector_load = rng.uniform(0.5, 1.2, N)
    idio_vol = rng.uniform(0.10, 0.35, N)
    # Each stock's excess drift wanders slowly (half-life about a year and a
    # half), so past winners tend to keep winning for a while: the effect
    # that momentum strategies feed on.
    phi = 0.5 ** (1.0 / (1.5 * BARS_PER_YEAR))
    alpha = np.empty((T, N))
    alpha[0] = rng.normal(0.0, ALPHA_SD, N)
    kicks = rng.normal(0.0, ALPHA_SD * np.sqrt(1.0 - phi**2), (T, N))
    for t in range(1, T):
        alpha[t] = phi * alpha[t - 1] + kicks[t]

    idio = idio_vol * np.sqrt(dt) * rng.standard_normal((T, N))
    jumps = (rng.random((T, N)) < 0.003) * rng.normal(-0.01, 0.08, (T, N))
    total_var = (beta * 0.16) ** 2 + (sector_load * 0.10) ** 2 + idio_vol**2
    drift = (alpha - 0.5 * total_var + 0.5 * 0.16**2) * dt
    logret = drift + beta * market[:, None] + sector_load * sector_ret[:, sector] + idio + jumps

    # Delistings: about 3% of stocks, half of them after a slide.
    delisting_bars = np.full(N, -1, dtype=np.int64)
    for i in rng.choice(N, max(1, N * 3 // 100), replace=False):
        last = int(rng.integers(T // 3, T - 30))
        delisting_bars[i] = last
        if rng.random() < 0.5:
            logret[last - 40 : last + 1, i] -= np.log(2.5) / 41  # lose 60% over two months

    start = np.exp(rng.uniform(np.log(5.0), np.log(300.0), N))
    close = start * np.exp(np.cumsum(logret, axis=0))
    prev_close = np.vstack([start, close[:-1]])

    # Part of each day's move happens overnight; the rest is intraday noise.
    day_vol = np.sqrt(total_var * dt)
    gap = 0.3 * logret + 0.2 * day_vol * rng.standard_normal((T, N))
    open_ = prev_close * np.exp(gap)
    wick = 0.5 * day_vol
    high = np.maximum(open_, close) * np.exp(np.abs(wick * rng.standard_normal((T, N))))
    low = np.minimum(open_, close) * np.exp(-np.abs(wick * rng.standard_normal((T, N))))

    missing = np.zeros((T, N), dtype=bool)
    for i in np.flatnonzero(delisting_bars >= 0):
        missing[delisting_bars[i] + 1 :, i] = True
    late = rng.choice(N, max(1, N * 6 // 100), replace=False)
    for i in late:
        missing[: int(rng.integers(20, int(T * 0.7))), i] = True
    n_halts = max(1, N // 2)
    for i, t, n in zip(rng.integers(0, N, n_halts), rng.integers(1, T, n_halts), rng.integers(1, 4, n_halts)):
        missing[t : t + n, i] = True
    for a in (open_, high, low, close):
        a[missing] = np.nan

    return {
        "dates": dates,
        "names": np.array([f"S{i + 1:04d}" for i in range(N)], dtype=object),
        "sector": sector,
        "open": open_,
        "high": high,
        "low": low,
        "close": close,
        "delisting_bars": delisting_bars,
        "late_listings": int(late.size),
        "halts": int(n_halts),
    }


# ----------------------------------------------------------------------- strategy


def month_end_bars(dates):
    """Index of the last bar of every calendar month in `dates`."""
    months = dates.astype("datetime64[M]")
    return np.flatnonzero(np.r_[months[1:] != months[:-1], True])


def momentum_weights(close, month_ends, top=20, lookback=12, skip=1):
    """Equal-weight top-`top` rows by `lookback`-`skip` month momentum.

    Row k belongs to month-end bar `month_ends[lookback + k]`: the score is
    the close `skip` month-ends earlier over the close `lookback` month-ends
    earlier.  Stocks without a price at any of the three month-ends are left
    out.  Returns (weights, bars): weights is (rows x stocks) float64 with
    1/top for the chosen stocks and 0 elsewhere.
    """
    bars = month_ends[lookback:]
    now = close[bars]
    past = close[month_ends[: month_ends.size - lookback]]
    recent = close[month_ends[lookback - skip : month_ends.size - skip]]
    score = recent / past - 1.0
    score[~np.isfinite(score) | ~np.isfinite(now)] = -np.inf

    weights = np.zeros_like(score)
    best = np.argsort(-score, axis=1, kind="stable")[:, :top]
    chosen = np.take_along_axis(score, best, axis=1) > -np.inf
    rows = np.repeat(np.arange(score.shape[0]), top)
    weights[rows[chosen.ravel()], best[chosen]] = 1.0 / top
    return weights, bars


def equal_weight_universe(close, month_ends, first_bar):
    """Every stock with a close at a month-end, equally weighted (benchmark)."""
    bars = month_ends[month_ends >= first_bar]
    priced = np.isfinite(close[bars])
    return priced / np.maximum(priced.sum(axis=1, keepdims=True), 1), bars


# ------------------------------------------------------------------------ running


def to_ns(dates):
    return dates.astype("datetime64[ns]").astype(np.int64)


def run_backtest(u, weights, bars, **options):
    """Run the engine on universe `u` with target rows dated on `bars`.

    Returns (creturn, seconds spent in backtest_).
    """
    price_index = to_ns(u["dates"])
    pos_index = price_index[bars]
    t0 = time.perf_counter()
    creturn = pathsim.backtest_(
        u["open"], u["close"], u["high"], u["low"], u["open"],
        price_index, u["names"],
        weights, pos_index, u["names"],
        pos_index,  # rebalance at every row's date
        fee_ratio=FEE_RATIO,
        tax_ratio=TAX_RATIO,
        delisting_bars=u["delisting_bars"],
        **options,
    )
    return creturn, time.perf_counter() - t0


# ---------------------------------------------------------------------- reporting


def fmt_date(ns):
    """A bar date (int64 nanoseconds) as YYYY-MM-DD, independent of the local time zone."""
    return str(np.datetime64(int(ns), "ns").astype("datetime64[D]"))


def performance(creturn, price_index, first_bar):
    """Headline statistics of `creturn` from `first_bar` (value 1.0) onward."""
    value = creturn[first_bar:]
    dates = price_index[first_bar:]
    daily = value[1:] / value[:-1] - 1.0
    years = (dates[-1] - dates[0]) / NS_PER_DAY / 365.25
    peak = np.maximum.accumulate(value)
    drawdown = value / peak - 1.0
    trough = int(np.argmin(drawdown))
    peak_at = int(np.argmax(value[: trough + 1]))
    vol = daily.std(ddof=1) * np.sqrt(BARS_PER_YEAR)
    return {
        "start": dates[0],
        "end": dates[-1],
        "years": years,
        "final": value[-1],
        "cagr": value[-1] ** (1.0 / years) - 1.0,
        "vol": vol,
        "sharpe": daily.mean() * BARS_PER_YEAR / vol if vol > 0 else float("nan"),
        "mdd": drawdown[trough],
        "mdd_from": dates[peak_at],
        "mdd_to": dates[trough],
    }


def trade_table(pos_columns, price_index):
    """Trade rows of the last run joined with their exit excursion blocks.

    Each exit block is [mae, gmfe, bmfe, mdd, profit_period, return]; it is
    the last six values of the trade's excursion vector.
    """
    rows, _ = pathsim.get_trade_stocks(pos_columns, price_index, False)
    blocks = np.array([np.asarray(x)[-6:] for x in excursion.excursion]).reshape(-1, 6)
    if len(rows) != blocks.shape[0]:
        raise RuntimeError(f"{len(rows)} trades but {blocks.shape[0]} excursion vectors")
    return rows, blocks


def exit_reasons(rows, rebalance_bars, delisting_bars, pos_columns):
    """How each trade ended: "rebal", "delist", "stop" or "open".

    Rebalances trade on the bar after a month-end and delistings on the
    stock's delisting bar; a closed trade that ended on neither was closed by
    the stop-loss.  A stop-loss exit that falls on a rebalance bar counts as
    "rebal": the trade list alone does not tell the two apart there.
    """
    traded = set((rebalance_bars + 1).tolist())
    delisted = {name: int(b) for name, b in zip(pos_columns, delisting_bars) if b >= 0}
    reasons = []
    for name, *_, exit_bar in rows:
        if exit_bar == -1:
            reasons.append("open")
        elif exit_bar in traded:
            reasons.append("rebal")
        elif delisted.get(name) == exit_bar:
            reasons.append("delist")
        else:
            reasons.append("stop")
    return np.array(reasons)


# Labels of the engine's next-trade record beyond enter / exit / hold.
ACTION_TEXT = {
    "sl_": "stopped out since the last rebalance (kept out of this one)",
    "tp_": "took profit since the last rebalance (kept out of this one)",
    "sl": "stop-loss to execute at the next open",
    "tp": "take-profit to execute at the next open",
    "sl_enter": "stop-loss now, re-entered by the rebalance",
    "tp_enter": "take-profit now, re-entered by the rebalance",
}


def print_header(u, args, n_rebalances):
    dates, n = u["dates"], u["names"].size
    print("=" * 78)
    print("torvex demo: monthly 12-1 momentum on a synthetic universe")
    print("=" * 78)
    sectors = np.unique(u["sector"]).size
    print(f"Universe      {n} stocks, {sectors} sectors, {dates.size:,} daily bars, {dates[0]} .. {dates[-1]}")
    print(
        f"              {u['late_listings']} listed late, {int((u['delisting_bars'] >= 0).sum())} delisted, "
        f"{u['halts']} trading halts (seed {args.seed})"
    )
    print(f"Strategy      top {args.top} by 12-1 month momentum, equal weight, {n_rebalances} monthly rebalances")
    stop = "off" if args.stop_loss >= 1 else f"{args.stop_loss:.0%} (on the close, exit at the next open)"
    print(f"Costs, stops  fee {FEE_RATIO:.4%} per trade, tax {TAX_RATIO:.1%} on sales, stop-loss {stop}")
    print()


def print_performance(perf, bench):
    print(f"Performance   {fmt_date(perf['start'])} .. {fmt_date(perf['end'])} ({perf['years']:.1f} years)")
    print(f"  Final value     {perf['final']:10.3f}   (start 1.000)")
    print(f"  CAGR            {perf['cagr']:10.2%}")
    print(f"  Volatility      {perf['vol']:10.2%}   annualised")
    print(f"  Sharpe          {perf['sharpe']:10.2f}   (risk-free rate 0)")
    print(f"  Max drawdown    {perf['mdd']:10.2%}   ({fmt_date(perf['mdd_from'])} -> {fmt_date(perf['mdd_to'])})")
    if bench is not None:
        print(
            f"  Benchmark       {bench['cagr']:10.2%}   CAGR of the equal-weight universe, same costs "
            f"(Sharpe {bench['sharpe']:.2f})"
        )
    print()


def print_trades(rows, blocks, reasons):
    closed = reasons != "open"
    ret = blocks[:, 5]
    held = np.array([r[6] for r in rows], dtype=float)
    counts = Counter(reasons.tolist())
    print(
        f"Trades        {len(rows):,}: {counts['rebal']:,} closed at a rebalance, {counts['stop']:,} by the "
        f"stop-loss in between, {counts['delist']} by a delisting, {counts['open']} open"
    )
    print("              (a holding kept through a rebalance is resized there: one trade ends, the next begins)")
    if not len(rows):
        print()
        return
    win_rate = np.mean(ret[closed] > 0) if closed.any() else np.nan
    print(f"  Win rate        {win_rate:10.1%}   of closed trades, after costs")
    print(f"  Avg holding     {held.mean():10.1f}   bars")
    print(
        f"  Mean per trade  MAE {np.nanmean(blocks[:, 0]):+.2%}   MFE {np.nanmean(blocks[:, 1]):+.2%}   "
        f"return {np.nanmean(ret):+.2%}"
    )
    print()
    print("Sample trades")
    print(
        f"  {'':<15} {'stock':<6} {'entry':>10} {'exit':>10} {'bars':>5} {'weight':>7} "
        f"{'return':>8} {'MAE':>8} {'MFE':>8}"
    )
    for what, i in sample_trades(ret, reasons):
        name, entry, exit_, _, _, weight, bars, *_ = rows[i]
        exit_text = "open" if exit_ == -1 else fmt_date(exit_)
        print(
            f"  {what:<15} {name:<6} {fmt_date(entry):>10} {exit_text:>10} {bars:>5} {weight:>7.2%} "
            f"{ret[i]:>+8.2%} {blocks[i, 0]:>+8.2%} {blocks[i, 1]:>+8.2%}"
        )
    print()


def sample_trades(ret, reasons, n=5):
    """Up to `n` (label, index) pairs: best, worst, latest of each exit kind, then latest closed."""
    closed = np.flatnonzero(reasons != "open")
    valid = closed[np.isfinite(ret[closed])]
    picks = []
    if valid.size:
        picks += [("best", valid[np.argmax(ret[valid])]), ("worst", valid[np.argmin(ret[valid])])]
    kinds = (("rebal", "at a rebalance"), ("stop", "stop-loss"), ("delist", "delisted"), ("open", "still open"))
    for kind, label in kinds:
        found = np.flatnonzero(reasons == kind)
        if found.size:
            picks.append((label, found[-1]))
    picks += [("recent", i) for i in closed[::-1]]
    out, seen = [], set()
    for label, i in picks:
        if int(i) not in seen and len(out) < n:
            seen.add(int(i))
            out.append((label, int(i)))
    return out


def print_next(ops, names, pos_index):
    actions = Counter(ops["actions"].values())
    next_w = ops["next_weights"]
    gross = sum(abs(w) for w in next_w.values())
    print(f"Next rebalance (row of {fmt_date(pos_index[ops['next_weight_time']])}, traded at the next open)")
    print(
        f"  Actions         enter {actions.pop('enter', 0)}, exit {actions.pop('exit', 0)}, "
        f"hold {actions.pop('hold', 0)}"
    )
    for label, n in sorted(actions.items()):
        print(f"                  {n} {ACTION_TEXT.get(label, label)}")
    cash_note = ", the rest in cash" if gross < 0.999 else ""
    print(f"  Next weights    {len(next_w)} stocks, gross {gross:.1%}{cash_note}")
    entering = sorted(names[s] for s, a in ops["actions"].items() if a == "enter")
    if entering:
        print(f"  Entering        {', '.join(entering[:8])}{' ...' if len(entering) > 8 else ''}")
    print()


def summarize(u, creturn, rebalance_bars, args, gen_seconds, run_seconds, bench=None, started=None):
    """Print the report of the strategy run, which must be the engine's latest run."""
    price_index = to_ns(u["dates"])
    perf = performance(creturn, price_index, int(rebalance_bars[0]))
    rows, blocks = trade_table(u["names"], price_index)
    reasons = exit_reasons(rows, rebalance_bars, u["delisting_bars"], u["names"])
    ops = pathsim.get_stock_operations()

    print_header(u, args, rebalance_bars.size)
    print_performance(perf, bench)
    print_trades(rows, blocks, reasons)
    print_next(ops, u["names"], price_index[rebalance_bars])
    print(
        f"Timing        data generation {gen_seconds * 1e3:.0f} ms; backtest_ {run_seconds * 1e3:.1f} ms "
        f"({price_index.size:,} bars x {u['names'].size} stocks, {len(rows):,} trades)"
    )
    if started is not None:
        print(f"              whole demo {(time.perf_counter() - started) * 1e3:.0f} ms (after imports)")


# --------------------------------------------------------------------------- main


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--stocks", type=int, default=300, help="number of stocks (default 300)")
    p.add_argument("--years", type=int, default=10, help="years of daily bars, at least 2 (default 10)")
    p.add_argument("--top", type=int, default=20, help="stocks held each month (default 20)")
    p.add_argument("--seed", type=int, default=1, help="random seed of the universe (default 1)")
    p.add_argument(
        "--stop-loss", type=float, default=0.1,
        help="exit when the close is this fraction below the price at entry or at the last rebalance; "
        "1 turns it off (default 0.1)",
    )
    args = p.parse_args(argv)
    if args.stocks < 1 or args.years < 2 or not 1 <= args.top <= args.stocks:
        p.error("need --stocks >= 1, --years >= 2 and 1 <= --top <= --stocks")
    if not 0 <= args.stop_loss <= 1:
        p.error("--stop-loss must lie in [0, 1]")
    return args


def main(argv=None):
    args = parse_args(argv)

    t0 = time.perf_counter()
    u = make_universe(args.stocks, args.years, args.seed)
    ends = month_end_bars(u["dates"])
    weights, bars = momentum_weights(u["close"], ends, top=args.top)
    gen_seconds = time.perf_counter() - t0

    # Benchmark first: every run replaces the engine's trade log, and the
    # report reads the strategy's.
    bw, bb = equal_weight_universe(u["close"], ends, bars[0])
    bench_creturn, _ = run_backtest(u, bw, bb)
    bench = performance(bench_creturn, to_ns(u["dates"]), bars[0])

    creturn, run_seconds = run_backtest(u, weights, bars, stop_loss=args.stop_loss)
    if not np.all(np.isfinite(creturn)) or creturn.min() <= 0:
        print("error: the backtest returned non-finite or non-positive values", file=sys.stderr)
        return 1

    summarize(u, creturn, bars, args, gen_seconds, run_seconds, bench, started=t0)
    return 0


if __name__ == "__main__":
    sys.exit(main())
