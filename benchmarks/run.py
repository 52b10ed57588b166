"""torvex benchmark suite.

    .venv/bin/python benchmarks/run.py            # full run
    .venv/bin/python benchmarks/run.py --quick    # fewer repeats, no L
    .venv/bin/python benchmarks/run.py --only M   # one workload (or a prefix
                                                  # such as S/ or L)

Every workload runs in a fresh subprocess so its memory figures are its own:
the data is generated (untimed), the peak-RSS counter is reset when the kernel
allows it, the RSS is read, the engine runs ``repeats`` times, and
``ru_maxrss`` is read again. The peers run afterwards in the same process,
outside the memory measurement:

* the plain NumPy rebalance (numpy_peer.py), on every workload;
* vectorbt's ``Portfolio.from_orders`` (vbt_peer.py), on the workloads without
  stops, when vectorbt imports (``pip install '.[bench]'``);
* the memory floor (floor.cpp), a bare C++ loop over the same tables and held
  stocks, on the main workloads. It is compiled once per invocation with g++
  into the temp dir, under a name carrying the source's hash, so later runs
  reuse it.

Below the table, an equivalence check runs M without costs and stops through
the engine and through vectorbt and prints the largest difference between the
two value series.
"""

import argparse
import ctypes
import json
import os
import platform
import resource
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import numpy as np  # noqa: E402

from cbuild import build_shared  # noqa: E402
from workloads import ARG_ORDER, WORKLOADS, has_stops  # noqa: E402

FLOOR_SRC = os.path.join(HERE, "floor.cpp")
EQUIV_TOL = 1e-9


# ---------------------------------------------------------------- worker side


def _rss_kib():
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def _reset_peak():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def worker(name, repeats, peer_repeats, vbt_repeats=0, floor_lib=None, floor_repeats=0, equivalence=False):
    from torvex.core import excursion
    from torvex.core.pathsim import backtest_

    from numpy_peer import numpy_backtest

    w = WORKLOADS[name]
    t0 = time.perf_counter()
    args, reb_bars = make_args(w)
    gen_s = time.perf_counter() - t0
    pos = [args[k] for k in ARG_ORDER]
    params = w["params"]

    maxrss_after_gen = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    peak_reset = _reset_peak()
    rss_before = _rss_kib()
    if not peak_reset:
        rss_before = maxrss_after_gen

    times = []
    trades = None
    creturn = None
    for _ in range(repeats):
        t = time.perf_counter()
        creturn = backtest_(*pos, **params)
        times.append(time.perf_counter() - t)
        n = len(excursion.trades)
        trades = n if trades is None else trades
        if n != trades:
            trades = f"{trades}!={n}"
    maxrss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    final = float(creturn[-1])
    finite = bool(np.all(np.isfinite(creturn)))
    del creturn

    ptimes = []
    pfinal = None
    for _ in range(peer_repeats):
        t = time.perf_counter()
        pr = numpy_backtest(
            args["price_values"], args["pos_values"], reb_bars, params["fee_ratio"], params["tax_ratio"]
        )
        ptimes.append(time.perf_counter() - t)
        pfinal = float(pr[-1])

    res = dict(
        name=name,
        group=w["group"],
        bars=w["bars"],
        stocks=w["stocks"],
        held=w["held"],
        repeats=repeats,
        times=times,
        trades=trades,
        rss_before_kib=rss_before,
        maxrss_kib=maxrss,
        peak_reset=peak_reset,
        gen_s=gen_s,
        final=final,
        peer_times=ptimes,
        peer_final=pfinal,
        finite=finite,
    )

    if floor_lib and floor_repeats:
        res["floor_times"] = floor_timed(floor_lib, w, args, reb_bars, floor_repeats)
        res.update(object_floor(w, params, res["trades"]))
        res.update(loop_and_log(backtest_, excursion, args, params, repeats))

    if vbt_repeats or equivalence:
        import vbt_peer

        if not vbt_peer.available():
            res["vbt_error"] = vbt_peer.IMPORT_ERROR
        else:
            res["vbt_version"] = vbt_peer.version()
            price, close = args["price_values"], args["close_values"]
            size = vbt_peer.order_sizes(price.shape, args["pos_values"], reb_bars, params.get("position_limit", 1.0))
            if vbt_repeats:
                vtimes, value = vbt_peer.timed(price, close, size, params["fee_ratio"], vbt_repeats)
                res["vbt_times"] = vtimes
                res["vbt_final"] = float(value[-1])
            if equivalence:
                res["equivalence"] = equivalence_check(pos, params, price, close, size)
    return res


def phase_reader():
    """A function giving the phase times (set-up, bar loop, end of run, in
    seconds) of the last backtest_ call, read from the engine's shared object;
    None when the engine does not export them."""
    from torvex.core import pathsim

    try:
        fn = ctypes.CDLL(pathsim.__file__).torvex_pathsim_last_run_phases
    except (OSError, AttributeError):
        return None
    fn.restype = None
    fn.argtypes = [ctypes.POINTER(ctypes.c_int64)]
    buf = (ctypes.c_int64 * 3)()

    def read():
        fn(buf)
        return tuple(x * 1e-9 for x in buf)

    return read


def loop_and_log(backtest_, excursion, args, params, repeats):
    """The bar loop and the trade log timed apart.

    The workload's first target row is kept for every rebalance. Without
    periodic splitting (periodically_rebalance=False) a held position is only
    resized, so the run is the bar loop, the rebalances and the few trades
    stops close; its bar loop alone (from the first bar to the last, without
    the set-up and the statistics of the positions still open at the end) is
    read from the engine's phase times. With periodic splitting every
    rebalance closes and reopens each held position in the log. The difference
    in whole-call time per extra trade is the cost of logging one trade (its
    three records and its statistics, and freeing them at the next run's
    start).
    """
    pv = args["pos_values"].copy()
    pv[:] = pv[0]
    fixed = [args[k] if k != "pos_values" else pv for k in ARG_ORDER]
    phases = phase_reader()

    def timed(extra):
        kw = dict(params, **extra)
        backtest_(*fixed, **kw)
        times, loops = [], []
        for _ in range(repeats):
            t = time.perf_counter()
            backtest_(*fixed, **kw)
            times.append(time.perf_counter() - t)
            if phases:
                loops.append(phases()[1])
        return times, loops, len(excursion.trades)

    hold, hold_loops, hold_trades = timed(dict(periodically_rebalance=False))
    # Trades closed inside the bar loop (by stops); the others are the
    # positions still open at the end, logged after the loop.
    closed_in_loop = sum(1 for t in excursion.trades if int(t[2]) != -1)
    # The log's cost is taken without stops (same window and exit mode), so the
    # two runs differ only in how many trades they log.
    no_stops = dict(stop_loss=1.0, take_profit=np.inf, trail_stop=np.inf)
    base, _, base_trades = timed(dict(no_stops, periodically_rebalance=False))
    split, _, split_trades = timed(dict(no_stops, periodically_rebalance=True))
    per_trade = None
    if split_trades > base_trades:
        per_trade = (statistics.median(split) - statistics.median(base)) / (split_trades - base_trades)
    return dict(
        loop_times=hold_loops or hold,
        loop_is_phase=bool(hold_loops),
        hold_trades=hold_trades,
        closed_in_loop=closed_in_loop,
        log_per_trade=per_trade,
    )


def equivalence_check(pos, params, price, close, size):
    """The workload without costs or stops through the engine and vectorbt."""
    from torvex.core.pathsim import backtest_

    import vbt_peer

    free = {k: v for k, v in params.items() if k not in ("fee_ratio", "tax_ratio")}
    creturn = np.asarray(backtest_(*pos, fee_ratio=0.0, tax_ratio=0.0, **free))
    value = vbt_peer.run(price, close, size, 0.0)
    diff = np.abs(creturn - value)
    bad = ~np.isfinite(diff)
    d = int(np.argmax(np.where(bad, np.inf, diff)))
    return dict(
        max_diff=float(diff[d]),
        bar=d,
        bars=len(diff),
        nonfinite=int(bad.sum()),
        tv_final=float(creturn[-1]),
        vbt_final=float(value[-1]),
        tv_at=float(creturn[d]),
        vbt_at=float(value[d]),
    )


def floor_timed(lib_path, w, args, reb_bars, repeats):
    """Wall times of the floor loop over the workload's tables and held sets."""
    from workloads import held_rows

    lib = ctypes.CDLL(lib_path)
    fn = lib.floor_run
    dp = ctypes.POINTER(ctypes.c_double)
    ip = ctypes.POINTER(ctypes.c_int64)
    i64 = ctypes.c_int64
    fn.argtypes = [dp, dp, dp, dp, dp, i64, i64, ip, ip, i64, i64]
    fn.restype = ctypes.c_double

    def ptr(a, t):
        if a is None:
            return ctypes.cast(None, t)
        assert a.flags.c_contiguous
        return a.ctypes.data_as(t)

    B, N = args["price_values"].shape
    held = held_rows(args["pos_values"], w["held"])
    trade_bar = np.ascontiguousarray(reb_bars + 1, dtype=np.int64)
    keep = trade_bar < B
    held, trade_bar = np.ascontiguousarray(held[keep]), trade_bar[keep]
    touched = w["touched"]
    call = (
        ptr(args["price_values"], dp),
        ptr(args["close_values"], dp),
        ptr(args["high_values"] if touched else None, dp),
        ptr(args["low_values"] if touched else None, dp),
        ptr(args["open_values"] if touched else None, dp),
        B,
        N,
        ptr(held, ip),
        ptr(trade_bar, ip),
        len(trade_bar),
        w["held"],
    )
    for _ in range(3):  # warm-up: the first passes run from cold caches
        fn(*call)
    times = []
    for _ in range(repeats):
        t = time.perf_counter()
        fn(*call)
        times.append(time.perf_counter() - t)
    return times


def object_floor(w, params, trades):
    """Per-trade object floor (trade_floor.py) for the workload's trades."""
    import trade_floor

    if not isinstance(trades, int):
        return {}
    mod, err = trade_floor.build()
    if mod is None:
        return dict(object_floor_error=err)
    length = trade_floor.stats_length(params.get("excursion_window", 0), params.get("excursion_window_step", 1))
    per, _order, _ = trade_floor.floor_per_trade(mod, trades, w["stocks"], w["bars"], length)
    return dict(object_floor_per_trade=per)


def make_args(w):
    from workloads import make_data

    return make_data(w)


# ---------------------------------------------------------------- driver side

EQUIV_WORKLOAD = "M/nostop"  # M without stops; the check also drops the costs


def build_floor():
    """Path of the compiled floor loop, or (None, reason); reused while its source is unchanged."""
    return build_shared(FLOOR_SRC, "floor")


def run_one(name, repeats, peer_repeats, vbt_repeats=0, floor_lib=None, floor_repeats=0, equivalence=False):
    cmd = [
        sys.executable,
        os.path.abspath(__file__),
        "--worker",
        name,
        "--repeats",
        str(repeats),
        "--peer-repeats",
        str(peer_repeats),
        "--vbt-repeats",
        str(vbt_repeats),
        "--floor-repeats",
        str(floor_repeats if floor_lib else 0),
    ]
    if floor_lib:
        cmd += ["--floor-lib", floor_lib]
    if equivalence:
        cmd.append("--equivalence")
    # NumPy's BLAS threads spin on the second core after the data is made;
    # nothing here uses BLAS, so one thread keeps them from stealing time.
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    p = subprocess.run(cmd, capture_output=True, text=True, env=env)
    if p.returncode != 0:
        return dict(name=name, error=f"exit {p.returncode}: " + (p.stderr.strip().splitlines() or ["?"])[-1])
    return json.loads(p.stdout.strip().splitlines()[-1])


def fmt_t(s):
    if s is None:
        return "-"
    if s < 1e-3:
        return f"{s * 1e6:.0f}us"
    if s < 1:
        return f"{s * 1e3:.1f}ms"
    return f"{s:.2f}s"


def fmt_mib(kib):
    return "-" if kib is None else f"{kib / 1024:.0f}"


def row(r):
    if "error" in r:
        return [r["name"], "ERROR: " + r["error"]]
    med = statistics.median(r["times"])
    work = r["bars"] * r["held"]
    trades = r["trades"]
    per_trade = fmt_t(med / trades) if isinstance(trades, int) and trades else "-"
    pmed = statistics.median(r["peer_times"]) if r["peer_times"] else None
    ratio = f"{med / pmed:.2f}" if pmed else "-"
    vmed = statistics.median(r["vbt_times"]) if r.get("vbt_times") else None
    vratio = f"{med / vmed:.2g}" if vmed else "-"
    fmed = statistics.median(r["floor_times"]) if r.get("floor_times") else None
    fns = f"{fmed / work * 1e9:.1f}" if fmed else "-"
    fratio = f"{med / fmed:.1f}" if fmed else "-"
    # The whole floor: the bar loop's memory floor plus the objects of every
    # trade record, built and freed in the cheapest order.
    obj = r.get("object_floor_per_trade")
    obj_ns = f"{obj * 1e9:.0f}" if obj is not None else "-"
    whole = fmed + obj * trades if fmed and obj is not None and isinstance(trades, int) else None
    whole_t = fmt_t(whole) if whole else "-"
    whole_ratio = f"{med / whole:.2f}" if whole else "-"
    loops = r.get("loop_times")
    loop = statistics.median(loops) if loops else None
    loop_ns = f"{loop / work * 1e9:.1f}" if loop else "-"
    loop_ratio = f"{loop / fmed:.1f}" if loop and fmed else "-"
    log = r.get("log_per_trade")
    log_ns = f"{log * 1e9:.0f}" if log else "-"
    # The bar loop without the trades stops closed in it, at the cost per trade.
    net = loop - r.get("closed_in_loop", 0) * log if loop and log else None
    net_ns = f"{net / work * 1e9:.1f}" if net else "-"
    net_ratio = f"{net / fmed:.1f}" if net and fmed else "-"
    return [
        r["name"],
        f"{r['bars']}x{r['stocks']}/{r['held']}",
        fmt_t(med),
        fmt_t(min(r["times"])),
        fmt_t(max(r["times"])),
        fmt_mib(r["rss_before_kib"]),
        fmt_mib(r["maxrss_kib"]),
        fmt_mib(r["maxrss_kib"] - r["rss_before_kib"]),
        f"{work / med / 1e6:.2f}M",
        f"{med / work * 1e9:.0f}",
        str(trades),
        per_trade,
        fmt_t(pmed),
        ratio,
        fmt_t(vmed),
        vratio,
        fns,
        fratio,
        obj_ns,
        whole_t,
        whole_ratio,
        loop_ns,
        loop_ratio,
        net_ns,
        net_ratio,
        log_ns,
        f"{r['final']:.3g}|{r['peer_final']:.3g}",
    ]


HEAD = [
    "workload",
    "bars x stk/held",
    "median",
    "min",
    "max",
    "RSS0 MiB",
    "peak MiB",
    "+MiB",
    "bar*held/s",
    "ns/bar*held",
    "trades",
    "t/trade",
    "numpy",
    "torvex/np",
    "vbt",
    "torvex/vbt",
    "floor ns",
    "torvex/floor",
    "obj ns/t",
    "floor+obj",
    "tv/(f+obj)",
    "loop ns",
    "loop/floor",
    "-log ns",
    "-log/floor",
    "ns/trade",
    "end tv|np",
]

LEGEND = [
    "median/min/max: wall time of one backtest_ call; RSS0: RSS before the "
    "runs; peak: ru_maxrss after the runs; +MiB: their difference; "
    "trades: len(excursion.trades)",
    "numpy: plain NumPy rebalance without stops (median); end tv|np: final "
    "portfolio value of torvex and of the NumPy peer (the peer has no stops)",
    "vbt: vectorbt Portfolio.from_orders (target percent, shared cash, sells "
    "first) plus reading its value series, median after a warm-up call that "
    "compiles numba; workloads without stops only; vectorbt charges the fee "
    "on buys and sells and has no separate sell tax",
    "floor ns: bare C++ loop (floor.cpp) reading each held stock's price and "
    "close (plus high/low/open with touched exits) every bar and carrying its "
    "value, ns per bar*held, median; torvex/floor: torvex median over the "
    "floor's",
    "loop ns: the bar loop alone (engine phase time: first bar to last, "
    "rebalances included; set-up and the end-of-run statistics excluded) of "
    "the workload with its first target row kept throughout and no periodic "
    "trade splitting, ns per bar*held, median; loop/floor: over the floor "
    "(both medians); -log ns, -log/floor: the same loop less the trades stops "
    "closed in it, each at ns/trade; ns/trade: extra whole-call time per extra trade when "
    "every rebalance closes and reopens each held position in the log "
    "(records, statistics, and freeing them at the next run; measured without "
    "stops, same window and exit mode)",
    "obj ns/t: per-trade object floor (trade_floor.py: the trade record's "
    "Python objects built and freed in the cheapest order, median); floor+obj: "
    "the floor plus trades x obj ns/t; tv/(f+obj): torvex median over it",
    "C: tables that stay in cache and one rebalance, so its loop ns is the "
    "cost of the per-position arithmetic alone (no memory traffic to hide)",
]


def print_table(rows):
    widths = [max(len(str(x[i])) if i < len(x) else 0 for x in rows + [HEAD]) for i in range(len(HEAD))]
    line = "  ".join(h.ljust(wd) if i == 0 else h.rjust(wd) for i, (h, wd) in enumerate(zip(HEAD, widths)))
    print(line)
    print("-" * len(line))
    for x in rows:
        if len(x) == 2:
            print(f"{x[0].ljust(widths[0])}  {x[1]}")
            continue
        print(
            "  ".join(str(c).ljust(wd) if i == 0 else str(c).rjust(wd) for i, (c, wd) in enumerate(zip(x, widths))),
            flush=True,
        )


def equivalence_line(results, ran):
    head = f"equivalence ({EQUIV_WORKLOAD} without costs: torvex creturn vs vectorbt value, per bar): "
    if not ran:
        return head + f"not run ({EQUIV_WORKLOAD} not selected)"
    r = next((x for x in results if x.get("name") == EQUIV_WORKLOAD), None)
    if r is None or "error" in r:
        return head + "not run (the workload failed)"
    if "vbt_error" in r:
        return head + "not run (vectorbt does not import)"
    e = r["equivalence"]
    ok = e["nonfinite"] == 0 and e["max_diff"] < EQUIV_TOL
    verdict = "below" if ok else "NOT below"
    extra = (
        ""
        if ok
        else (
            f"; at bar {e['bar']}: torvex {e['tv_at']!r}, "
            f"vectorbt {e['vbt_at']!r}; non-finite "
            f"differences {e['nonfinite']}"
        )
    )
    return (
        head + f"max |diff| {e['max_diff']:.3g} over {e['bars']} bars "
        f"(final {e['tv_final']:.12g} vs {e['vbt_final']:.12g}), "
        f"{verdict} {EQUIV_TOL:g}" + extra
    )


def sweep_lines(quick):
    """Sweep-step and tiny-call rows (sweep_step.py), run in a fresh process."""
    cmd = [sys.executable, os.path.join(HERE, "sweep_step.py")] + (["--quick"] if quick else [])
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    p = subprocess.run(cmd, capture_output=True, text=True, env=env)
    if p.returncode != 0:
        return "sweep step: ERROR " + (p.stderr.strip().splitlines() or ["?"])[-1]
    return p.stdout.rstrip()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="fewer repeats, skip the L workloads")
    ap.add_argument("--only", metavar="NAME", help="run only workloads whose name equals NAME or starts with it")
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    ap.add_argument("--repeats", type=int, help=argparse.SUPPRESS)
    ap.add_argument("--peer-repeats", type=int, default=3, help=argparse.SUPPRESS)
    ap.add_argument("--vbt-repeats", type=int, default=0, help=argparse.SUPPRESS)
    ap.add_argument("--floor-lib", help=argparse.SUPPRESS)
    ap.add_argument("--floor-repeats", type=int, default=0, help=argparse.SUPPRESS)
    ap.add_argument("--equivalence", action="store_true", help=argparse.SUPPRESS)
    a = ap.parse_args()

    if a.worker:
        res = worker(a.worker, a.repeats, a.peer_repeats, a.vbt_repeats, a.floor_lib, a.floor_repeats, a.equivalence)
        print(json.dumps(res))
        return 0

    import torvex
    from importlib.metadata import PackageNotFoundError, version

    try:
        tv = version("torvex")
    except Exception:
        tv = getattr(torvex, "__version__", "?")
    try:
        vbt_v = version("vectorbt")
    except PackageNotFoundError:
        vbt_v = "not installed"
    print(
        f"torvex benchmarks  |  {platform.platform()}  |  "
        f"{platform.processor() or platform.machine()}  |  "
        f"CPUs: {os.cpu_count()}  |  Python {platform.python_version()}  |  "
        f"numpy {np.__version__}  |  torvex {tv}  |  vectorbt {vbt_v}"
    )

    names = list(WORKLOADS)
    if a.only:
        names = [n for n in names if n == a.only or n.startswith(a.only)]
        if not names:
            print(f"no workload matches {a.only!r}; choose from: " + ", ".join(WORKLOADS))
            return 2
    elif a.quick:
        names = [n for n in names if not n.startswith("L")]

    for line in LEGEND:
        print(line)
    floor_lib, floor_err = build_floor()
    if floor_err:
        print(f"floor: not built ({floor_err}); its columns stay '-'")
    print()
    rows = []
    results = []
    t_all = time.perf_counter()
    for n in names:
        w = WORKLOADS[n]
        main_group = w["group"] == "main"
        reps = w["repeats"]
        if a.quick:
            reps = max(2, reps // 2) if main_group else 1
        peer_reps = 1 if (a.quick or not main_group) else 3
        vbt_reps = 0
        if main_group and not has_stops(w):
            vbt_reps = 1 if a.quick else 3
        floor_reps = reps if main_group or w["group"] == "compute" else 0
        if sys.stderr.isatty():
            print(f"  running {n} ...", file=sys.stderr, flush=True)
        r = run_one(n, reps, peer_reps, vbt_reps, floor_lib, floor_reps, equivalence=(n == EQUIV_WORKLOAD))
        results.append(r)
        rows.append(row(r))
    print_table(rows)
    print()
    err = next((r["vbt_error"] for r in results if "vbt_error" in r), None)
    if err:
        print(f"vectorbt does not import ({err}); its columns stay '-' (pip install '.[bench]')")
    print(equivalence_line(results, EQUIV_WORKLOAD in names))
    print(sweep_lines(a.quick))
    print(f"total wall time {time.perf_counter() - t_all:.1f}s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
