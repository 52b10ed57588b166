"""Costs that dominate a parameter sweep: one sweep step and one tiny call.

    .venv/bin/python benchmarks/sweep_step.py           # both, printed
    .venv/bin/python benchmarks/sweep_step.py --json    # one JSON line

* sweep step: workload M (benchmarks/workloads.py) run through ``backtest_``
  and its trade list read back with ``get_trade_stocks``, the two calls a sweep
  makes per parameter point. The run and the trade list are also timed alone.
* tiny call: ``backtest_`` on 50 bars x 5 stocks with every option at its
  default, the fixed cost of one call (argument layer, set-up, stop tables,
  start and end of the trade log, stock-operations record); also with both stop
  tables prebuilt as ``StopTable`` objects, which skips ``stop_table``.

Times are wall-clock ``time.perf_counter`` figures; a tiny call is timed over
batches of calls and reported per call. Each figure is reported as min, median
and max over its repeats: on a shared machine the minimum is the least
disturbed and the median the typical value.
"""

import argparse
import json
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import numpy as np  # noqa: E402

from workloads import ARG_ORDER, WORKLOADS, make_data  # noqa: E402


def _stats(times):
    return dict(min=min(times), median=statistics.median(times), max=max(times), n=len(times))


def sweep_step(repeats=41, name="M"):
    """Wall times of run + get_trade_stocks on a workload, and of each alone."""
    from torvex.core.pathsim import backtest_, get_trade_stocks

    w = WORKLOADS[name]
    args, _ = make_data(w)
    pos = [args[k] for k in ARG_ORDER]
    params = w["params"]
    cols, index = args["pos_columns"], args["price_index"]
    touched = bool(params.get("touched_exit", False))
    for _ in range(3):  # warm-up: first runs fault in the log's memory
        backtest_(*pos, **params)
        get_trade_stocks(cols, index, touched)
    step, run, report = [], [], []
    for _ in range(repeats):
        t0 = time.perf_counter()
        backtest_(*pos, **params)
        t1 = time.perf_counter()
        rows, _ops = get_trade_stocks(cols, index, touched)
        t2 = time.perf_counter()
        step.append(t2 - t0)
        run.append(t1 - t0)
        report.append(t2 - t1)
        del rows, _ops
    from torvex.core import excursion

    return dict(
        workload=name, trades=len(excursion.trades), step=_stats(step), run=_stats(run), get_trade_stocks=_stats(report)
    )


def tiny_args(bars=50, stocks=5, seed=7):
    """Positional arguments of a 50 x 5 run with a rebalance every 10 bars."""
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(0.01 * rng.standard_normal((bars, stocks)), axis=0))
    price = close * (1.0 + 0.001 * rng.standard_normal((bars, stocks)))
    days = np.busday_offset(np.datetime64("2020-01-01"), np.arange(bars), roll="forward")
    price_index = days.astype("datetime64[ns]").astype(np.int64)
    columns = np.array([f"S{i}" for i in range(stocks)], dtype=object)
    reb = np.arange(0, bars - 1, 10)
    pos_values = np.zeros((len(reb), stocks))
    for r in range(len(reb)):
        pos_values[r, rng.choice(stocks, 2, replace=False)] = 0.5
    pos_index = price_index[reb].copy()
    return [
        price,
        close,
        None,
        None,
        None,
        price_index,
        columns,
        pos_values,
        pos_index,
        columns.copy(),
        pos_index.copy(),
    ]


def tiny_call(batches=31, calls=200, prebuilt_stops=False):
    """Per-call wall time of backtest_ on 50 bars x 5 stocks."""
    from torvex._stops import stop_table
    from torvex.core.pathsim import backtest_

    pos = tiny_args()
    kw = {}
    if prebuilt_stops:
        kw = dict(stop_loss=stop_table(1.0, pos[5], pos[9]), take_profit=stop_table(np.inf, pos[5], pos[9]))
    for _ in range(calls):
        backtest_(*pos, **kw)
    per_call = []
    for _ in range(batches):
        t = time.perf_counter()
        for _ in range(calls):
            backtest_(*pos, **kw)
        per_call.append((time.perf_counter() - t) / calls)
    return _stats(per_call)


def measure(quick=False):
    return dict(
        sweep=sweep_step(repeats=11 if quick else 41),
        tiny=tiny_call(batches=9 if quick else 31),
        tiny_prebuilt=tiny_call(batches=9 if quick else 31, prebuilt_stops=True),
    )


def _fmt(s):
    def t(x):
        return f"{x * 1e6:.1f}us" if x < 1e-3 else f"{x * 1e3:.3f}ms"

    return f"min {t(s['min'])}  median {t(s['median'])}  max {t(s['max'])}  (n={s['n']})"


def report_lines(m):
    s = m["sweep"]
    return [
        f"sweep step {s['workload']} (backtest_ + get_trade_stocks, {s['trades']} trades): " + _fmt(s["step"]),
        "  backtest_ alone:        " + _fmt(s["run"]),
        "  get_trade_stocks alone: " + _fmt(s["get_trade_stocks"]),
        "tiny call 50 bars x 5 stocks, defaults:        " + _fmt(m["tiny"]),
        "tiny call 50 bars x 5 stocks, prebuilt tables: " + _fmt(m["tiny_prebuilt"]),
    ]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--json", action="store_true", help="print one JSON line")
    ap.add_argument("--quick", action="store_true", help="fewer repeats")
    a = ap.parse_args()
    m = measure(a.quick)
    if a.json:
        print(json.dumps(m))
    else:
        print("\n".join(report_lines(m)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
