"""The typed entry (torvex.core._typed.run) next to backtest_ and torvex.backtest.

    .venv/bin/python benchmarks/typed.py            # full run
    .venv/bin/python benchmarks/typed.py --quick    # fewer repeats and thread rounds

Per workload: median wall and CPU time of (a) backtest_ + get_trade_stocks, (b) the
typed run + reading its trade arrays, (c) torvex.backtest on the frames of
frontend.py; then the typed run against its floor (the bar loop's memory floor of
floor.cpp plus the plain-struct trade floor of struct_floor.cpp on the run's own
trades), and the throughput of two threads against one on M.
"""

import argparse
import os
import platform
import statistics
import sys
import threading
import time

# Nothing here uses BLAS; its idle threads would only take time from the runs.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import numpy as np  # noqa: E402

from frontend import frames  # noqa: E402
from workloads import ARG_ORDER, COSTS, WORKLOADS  # noqa: E402

NAMES = ("M", "M/nostop", "L", "L/nostop", "C")
# 50 bars x 5 stocks, two held, a rebalance every 10 bars, costs only: the fixed cost of a call.
TINY = dict(
    name="tiny", bars=50, stocks=5, held=2, every=10, params=dict(COSTS), touched=False, repeats=21, group="tiny"
)
TINY_CALLS = 200  # calls per timed batch of the tiny workload
THREAD_WORKLOAD = "M"
TRADE_FIELDS = ("sid", "entry_bar", "exit_bar", "position", "excursion", "pnl")


def load():
    return "load avg " + " ".join(f"{x:.2f}" for x in os.getloadavg())


def callers(w):
    """The workload's data (untimed) and its three calls: {"a"|"b"|"c": fn}, each
    returning (creturn, number of trades)."""
    import torvex
    from torvex.core import _typed, pathsim

    a, pos_df, price = frames(w)
    pos = [a[k] for k in ARG_ORDER]
    params = dict(w["params"])
    cols, index = a["pos_columns"], a["price_index"]
    touched = bool(params.get("touched_exit", False))

    def run_a():
        creturn = pathsim.backtest_(*pos, **params)
        rows, _ops = pathsim.get_trade_stocks(cols, index, touched)
        return creturn, len(rows)

    def run_b():
        res = _typed.run(*pos, **params)
        arrays = [getattr(res, f) for f in TRADE_FIELDS]
        return res.creturn, len(arrays[0])

    def run_c():
        report = torvex.backtest(pos_df, price, trade_at="open", **params)
        return report._run.creturn, len(report._run.trades)

    return dict(a=run_a, b=run_b, c=run_c)


def timed(fns, repeats, calls):
    """Wall and CPU seconds per call of each function, the functions taking turns within
    every repeat so drift on the machine falls on all of them alike."""
    out = {k: ([], []) for k in fns}
    for _ in range(repeats):
        for k, fn in fns.items():
            w0, c0 = time.perf_counter(), time.process_time()
            for _ in range(calls):
                fn()
            w1, c1 = time.perf_counter(), time.process_time()
            out[k][0].append((w1 - w0) / calls)
            out[k][1].append((c1 - c0) / calls)
    return {k: (statistics.median(wall), statistics.median(cpu)) for k, (wall, cpu) in out.items()}


def measure(w, repeats, calls):
    fns = callers(w)
    first = {k: fn() for k, fn in fns.items()}  # warm-up, and the results compared below
    times = timed(fns, repeats, calls)
    ca, cb, cc = (np.asarray(first[k][0], dtype=np.float64) for k in "abc")
    diff_ab = float(np.max(np.abs(ca - cb))) if ca.shape == cb.shape else float("nan")
    diff_ac = float(np.max(np.abs(ca - cc))) if ca.shape == cc.shape else float("nan")
    return dict(
        times=times,
        trades={k: first[k][1] for k in fns},
        diff_ab=diff_ab,
        diff_ac=diff_ac,
        repeats=repeats,
        calls=calls,
    )


def fmt_t(s):
    if s < 1e-3:
        return f"{s * 1e6:.1f}us"
    if s < 1:
        return f"{s * 1e3:.2f}ms"
    return f"{s:.3f}s"


HEAD = [
    "workload",
    "bars x stk/held",
    "trades",
    "a wall",
    "a cpu",
    "b wall",
    "b cpu",
    "b/a wall",
    "b/a cpu",
    "c wall",
    "c cpu",
    "c/a wall",
    "c/b wall",
    "|a-b|",
    "|a-c|",
    "n",
]


def row(w, m):
    t = m["times"]
    (aw, ac), (bw, bc), (cw, cc) = t["a"], t["b"], t["c"]
    tr = m["trades"]
    trades = str(tr["a"]) if tr["a"] == tr["b"] == tr["c"] else f"{tr['a']}|{tr['b']}|{tr['c']}"
    n = f"{m['repeats']}" if m["calls"] == 1 else f"{m['repeats']}x{m['calls']}"
    return [
        w["name"],
        f"{w['bars']}x{w['stocks']}/{w['held']}",
        trades,
        fmt_t(aw),
        fmt_t(ac),
        fmt_t(bw),
        fmt_t(bc),
        f"{bw / aw:.2f}",
        f"{bc / ac:.2f}" if ac > 0 else "-",
        fmt_t(cw),
        fmt_t(cc),
        f"{cw / aw:.2f}",
        f"{cw / bw:.2f}",
        f"{m['diff_ab']:.2g}",
        f"{m['diff_ac']:.2g}",
        n,
    ]


def print_table(rows):
    widths = [max(len(str(x[i])) for x in rows + [HEAD]) for i in range(len(HEAD))]

    def line(cells):
        return "  ".join(
            str(c).ljust(wd) if i == 0 else str(c).rjust(wd) for i, (c, wd) in enumerate(zip(cells, widths))
        )

    head = line(HEAD)
    print(head)
    print("-" * len(head))
    for x in rows:
        print(line(x), flush=True)


def _calls(fn, n, out):
    for _ in range(n):
        out.append(fn()[0])


def throughput(fn, runs, rounds):
    """Seconds of `runs` calls on one thread and of the same calls split over two
    threads, `rounds` times each (alternating); plus whether every result of the two
    threads equals the serial one."""
    ref = np.asarray(fn()[0]).copy()  # warm-up and reference
    one, two = [], []
    same = True
    for _ in range(rounds):
        t = time.perf_counter()
        for _ in range(runs):
            fn()
        one.append(time.perf_counter() - t)

        results = [[], []]
        threads = [
            threading.Thread(target=_calls, args=(fn, runs // 2, results[0])),
            threading.Thread(target=_calls, args=(fn, runs - runs // 2, results[1])),
        ]
        t = time.perf_counter()
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        two.append(time.perf_counter() - t)
        got = [r for part in results for r in part]
        same = same and len(got) == runs and all(np.array_equal(np.asarray(r), ref) for r in got)
    return one, two, same


def thread_lines(runs, rounds):
    w = WORKLOADS[THREAD_WORKLOAD]
    fns = callers(w)
    lines = [
        f"two threads vs one on {THREAD_WORKLOAD} ({runs} runs, split {runs // 2}+{runs - runs // 2} over two threads; "
        f"median of {rounds} rounds; CPUs: {os.cpu_count()}; {load()}):"
    ]
    for key, label in (("b", "_typed.run + trade arrays"), ("c", "torvex.backtest")):
        one, two, same = throughput(fns[key], runs, rounds)
        s1, s2 = statistics.median(one), statistics.median(two)
        lines.append(
            f"  {label:<26} 1 thread {runs / s1:8.1f} runs/s   2 threads {runs / s2:8.1f} runs/s   "
            f"ratio {s1 / s2:.2f}   (per-round ratios {', '.join(f'{a / b:.2f}' for a, b in zip(one, two))}; "
            f"results of both threads equal the serial run: {'yes' if same else 'NO'})"
        )
    return lines


def floors(w, repeats):
    """(memory floor, struct trade floor, typed run) median seconds on the workload's own data."""
    import ctypes

    from cbuild import build_shared
    from run import build_floor, floor_timed
    from workloads import make_data

    from torvex.core import _typed

    lib_path, why = build_floor()
    sf_path, why2 = build_shared(os.path.join(HERE, "struct_floor.cpp"), "struct_floor")
    if lib_path is None or sf_path is None:
        return None, why or why2
    args, reb_bars = make_data(w)
    pos = [args[k] for k in ARG_ORDER]
    params = w["params"]
    floor = statistics.median(floor_timed(lib_path, w, args, reb_bars, repeats))
    res = _typed.run(*pos, **params)
    typed = []
    for _ in range(repeats):
        t = time.perf_counter()
        r = _typed.run(*pos, **params)
        r.sid, r.excursion, r.pnl  # noqa: B018  (the trade arrays are made on first access)
        typed.append(time.perf_counter() - t)
    lib = ctypes.CDLL(sf_path)
    fn = lib.struct_floor
    dp, ip, i64 = ctypes.POINTER(ctypes.c_double), ctypes.POINTER(ctypes.c_int64), ctypes.c_int64
    fn.argtypes = [dp, i64, i64, ip, ip, ip, i64, i64, i64, dp]
    fn.restype = ctypes.c_double
    close = np.ascontiguousarray(args["close_values"])
    col = _typed.price_columns_of(args["price_columns"], args["pos_columns"])[res.sid]
    entry, exit_ = np.ascontiguousarray(res.entry_bar), np.ascontiguousarray(res.exit_bar)
    col = np.ascontiguousarray(col)
    sink = np.zeros(1)
    call = (
        close.ctypes.data_as(dp),
        close.shape[0],
        close.shape[1],
        col.ctypes.data_as(ip),
        entry.ctypes.data_as(ip),
        exit_.ctypes.data_as(ip),
        res.n_trades,
        res.excursion.shape[1],
        int(params.get("excursion_window", 0)),
        sink.ctypes.data_as(dp),
    )
    fn(*call)
    struct = statistics.median(fn(*call) for _ in range(repeats))
    return (floor, struct, statistics.median(typed)), None


def tiny_engine_line(batches):
    """The tiny call straight into _engine.run, its arrays and stop thresholds made beforehand."""
    from workloads import make_data

    from torvex.core import _engine, _typed

    args, _ = make_data(TINY)
    p = TINY["params"]
    call = (
        args["price_values"],
        args["close_values"],
        None,
        None,
        None,
        args["price_index"],
        args["pos_values"],
        args["pos_index"],
        _typed.price_columns_of(args["price_columns"], args["pos_columns"]),
        args["resample"],
        1.0,
        None,
        float("inf"),
        None,
        None,
        float(p["fee_ratio"]),
        float(p["tax_ratio"]),
        float("inf"),
        0.0,
        1.0,
        False,
        False,
        True,
        True,
        0,
        1,
    )
    for _ in range(200):
        _engine.run(*call)
    per = []
    for _ in range(batches):
        t = time.perf_counter()
        for _ in range(1000):
            _engine.run(*call)
        per.append((time.perf_counter() - t) / 1000)
    return f"tiny call straight into _engine.run (arrays made beforehand): median {fmt_t(statistics.median(per))}"


def floor_lines(names, repeats):
    out = [
        "typed run against its floor: floor = floor.cpp's bar loop over the same tables and held stocks"
        " + struct_floor.cpp (the run's trades appended as C++ structs, each trade's path read once, a"
        " window's blocks written); medians"
    ]
    for name in names:
        got, why = floors(WORKLOADS[name], repeats)
        if got is None:
            out.append(f"  {name}: not measured ({why})")
            continue
        floor, struct, typed = got
        out.append(
            f"  {name:<9} memory floor {fmt_t(floor):>9}  struct trade floor {fmt_t(struct):>9}"
            f"  typed {fmt_t(typed):>9}  typed/floor {typed / (floor + struct):5.2f}"
        )
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="fewer repeats and thread rounds")
    a = ap.parse_args()

    from importlib.metadata import version

    print(
        f"typed entry  |  {platform.platform()}  |  {platform.processor() or platform.machine()}  |  "
        f"CPUs: {os.cpu_count()}  |  Python {platform.python_version()}  |  numpy {np.__version__}  |  "
        f"torvex {version('torvex')}"
    )
    print(
        "a: pathsim.backtest_ + get_trade_stocks; b: _typed.run + reading sid, entry_bar, exit_bar, position, "
        "excursion, pnl; c: torvex.backtest(position frame, price frames, trade_at='open') on frontend.py's frames"
    )
    print(
        "wall: time.perf_counter, cpu: time.process_time, per call, median of n repeats after one warm-up "
        "(tiny: batches of calls, per call); |a-b|, |a-c|: largest difference of the creturn series"
    )
    print(f"before: {load()}")
    print()
    t_all = time.perf_counter()
    workloads = [WORKLOADS[n] for n in NAMES if n in WORKLOADS] + [TINY]
    rows = []
    for w in workloads:
        reps = w["repeats"]
        calls = TINY_CALLS if w is TINY else 1
        if a.quick:
            reps = max(3, reps // 3)
            calls = max(1, calls // 2)
        if sys.stderr.isatty():
            print(f"  running {w['name']} ...", file=sys.stderr, flush=True)
        rows.append(row(w, measure(w, reps, calls)))
    print_table(rows)
    print(f"after: {load()}")
    print()
    for line in floor_lines(NAMES, 3 if a.quick else 7):
        print(line, flush=True)
    print(tiny_engine_line(5 if a.quick else 15))
    print()
    for line in thread_lines(runs=200, rounds=3 if a.quick else 5):
        print(line)
    print(f"total wall time {time.perf_counter() - t_all:.1f}s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
