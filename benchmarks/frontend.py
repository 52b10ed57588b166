"""Cost of the front end (torvex.backtest and Report) next to the engine's own run.

    .venv/bin/python benchmarks/frontend.py              # workloads M and L
    .venv/bin/python benchmarks/frontend.py --only M --repeats 3

For each workload the arrays of workloads.py become pandas frames (untimed: a
user has them already): the position frame of target weights, and "open"
(the workload's trading price), "close", and for touched exits "high" and
"low".  Then ``torvex.backtest(..., trade_at="open")`` runs ``repeats`` times
with the workload's parameters (the best of them is shown), and each run is split into:

* core: the engine's ``backtest_`` call inside it (timed by a wrapper);
* conversion in: everything before that call (checks, conversions, the
  executed-row scan, auto delisting);
* read-out: copying the engine's trade log and next-trade record out under the
  lock (shown apart, with ``get_trade_stocks`` alone for reference);
* trade values: the per-trade numbers taken out of the trade log's Python
  objects on first use (part of the read-out: its cost is one Python object
  per trade, shown apart);
* report out: building the Report, plus one ``stats()`` call;
* trades frame: the lazy build of ``Report.trades`` on first use (apart).

The goal is conversion in + report out + stats() under 20% of the core run,
the read-out excluded.  Also shown: the engine on the workload's own
C-ordered arrays, since pandas keeps a frame's values column-major and the
engine then reads them with strides.
"""

import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import pandas as pd  # noqa: E402

from workloads import ARG_ORDER, WORKLOADS, make_data  # noqa: E402

CLOCK = time.perf_counter


def frames(w):
    a, _ = make_data(w)
    idx = pd.DatetimeIndex(a["price_index"].astype("datetime64[ns]"))
    cols = pd.Index(list(a["price_columns"]), dtype="str")
    price = {
        "open": pd.DataFrame(a["price_values"], index=idx, columns=cols),
        "close": pd.DataFrame(a["close_values"], index=idx, columns=cols),
    }
    if w["touched"]:
        price["high"] = pd.DataFrame(a["high_values"], index=idx, columns=cols)
        price["low"] = pd.DataFrame(a["low_values"], index=idx, columns=cols)
    pos = pd.DataFrame(a["pos_values"], index=pd.DatetimeIndex(a["pos_index"].astype("datetime64[ns]")), columns=cols)
    return a, pos, price


def run(name, repeats):
    import torvex
    from torvex.core import excursion, pathsim

    w = WORKLOADS[name]
    a, pos, price = frames(w)
    params = dict(w["params"])
    real = pathsim.backtest_
    marks = {}

    def timed_core(*args, **kwargs):
        marks["core_in"] = CLOCK()
        out = real(*args, **kwargs)
        marks["core_out"] = CLOCK()
        marks["args"], marks["kwargs"] = args, kwargs
        return out

    from torvex import _checks

    real_check = _checks.held_prices

    def timed_check(*args, **kwargs):
        t = CLOCK()
        out = real_check(*args, **kwargs)
        marks["check"] = CLOCK() - t
        return out

    rows = {
        k: [] for k in ("total", "conv", "check", "core", "readout", "tarr", "report", "stats", "trades", "gts", "raw")
    }
    pathsim.backtest_ = timed_core
    _checks.held_prices = timed_check
    try:
        for _ in range(repeats):
            t0 = CLOCK()
            report = torvex.backtest(pos, price, trade_at="open", **params)
            t1 = CLOCK()
            report._trade_arrays()  # per-trade values out of the engine's list of vectors
            tt = CLOCK()
            report.stats()
            t2 = CLOCK()
            rows["tarr"].append(tt - t1)
            rows["total"].append(t1 - t0)
            rows["core"].append(marks["core_out"] - marks["core_in"])
            rows["conv"].append(marks["core_in"] - t0)
            rows["check"].append(marks["check"])
            rows["stats"].append(t2 - tt)
    finally:
        pathsim.backtest_ = real
        _checks.held_prices = real_check
    # The pieces measured apart, after the front-end runs (they would disturb its caches).
    for _ in range(repeats):
        report._cache.pop("trades", None)
        t0 = CLOCK()
        _ = report.trades
        rows["trades"].append(CLOCK() - t0)
        t0 = CLOCK()
        type(report)(report._run)
        rows["report"].append(CLOCK() - t0)
        real(*marks["args"], **marks["kwargs"])
        r0 = CLOCK()
        log = (list(excursion.trades), list(excursion.trade_positions), list(excursion.excursion))
        ops = {k: (dict(v) if isinstance(v, dict) else v) for k, v in pathsim.get_stock_operations().items()}
        r1 = CLOCK()
        pathsim.get_trade_stocks(marks["args"][9], marks["args"][5], params.get("touched_exit", False))
        rows["readout"].append(r1 - r0)
        rows["gts"].append(CLOCK() - r1)
        del log, ops
        args = [a[k] for k in ARG_ORDER]
        q = CLOCK()
        real(*args, **params)
        rows["raw"].append(CLOCK() - q)
    # Best of the repeats: on a shared machine the other figures mostly measure the neighbours.
    med = {k: min(v) for k, v in rows.items()}
    med["trades_n"] = len(report._run.trades)
    med["own"] = med["conv"] + med["report"] + med["stats"]
    return med


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--only", choices=("M", "L"))
    ap.add_argument("--repeats", type=int)
    ap.add_argument(
        "--cpu",
        action="store_true",
        help="time with this thread's CPU clock (steadier than wall time on a busy machine)",
    )
    args = ap.parse_args()
    global CLOCK
    if args.cpu:
        CLOCK = time.thread_time
    names = [args.only] if args.only else ["M", "L"]
    clock = "thread CPU time" if args.cpu else "wall time"
    print(f"front end: torvex.backtest on pandas frames vs the engine's run (best of the repeats, ms of {clock})")
    head = (
        f"{'workload':<9}{'core':>9}{'conv in':>9}{'checks':>8}{'chk/core':>9}{'report':>8}{'stats()':>9}{'own':>8}{'own/core':>9}"
        f"{'| read-out':>11}{'trade values':>13}{'get_trade_stocks':>17}{'trades df':>10}{'| core, C arrays':>17}"
    )
    print(head)
    for name in names:
        reps = args.repeats or (7 if name == "M" else 3)
        m = run(name, reps)
        ms = {k: v * 1e3 for k, v in m.items() if k != "trades_n"}
        print(
            f"{name:<9}{ms['core']:>9.1f}{ms['conv']:>9.2f}{ms['check']:>8.2f}{m['check'] / m['core']:>9.1%}"
            f"{ms['report']:>8.2f}{ms['stats']:>9.2f}{ms['own']:>8.2f}"
            f"{m['own'] / m['core']:>9.1%}{'| ' + format(ms['readout'], '.2f'):>11}{ms['tarr']:>13.1f}{ms['gts']:>17.1f}"
            f"{ms['trades']:>10.1f}{'| ' + format(ms['raw'], '.1f'):>17}   ({m['trades_n']:,} trades)"
        )
    print(
        "checks = the scan of the prices held stocks can be read at (part of conversion in); goal at most 10% of"
        " core. own = conversion in + report construction + stats(); goal under 20% of core. read-out = copies of the"
        " trade log and next-trade record under the lock; trade values = entry/exit bars, positions and exit"
        " statistics taken out of the log's per-trade objects on first use (get_trade_stocks alone for"
        " reference); trades df = lazy Report.trades on first use."
    )


if __name__ == "__main__":
    main()
