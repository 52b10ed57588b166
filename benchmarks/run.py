"""torvex benchmark suite.

    .venv/bin/python benchmarks/run.py            # full run
    .venv/bin/python benchmarks/run.py --quick    # fewer repeats, no L
    .venv/bin/python benchmarks/run.py --only M   # one workload (or a prefix
                                                  # such as S/ or L)

Every workload runs in a fresh subprocess so its memory figures are its own:
the data is generated (untimed), the peak-RSS counter is reset when the kernel
allows it, the RSS is read, the engine runs ``repeats`` times, and
``ru_maxrss`` is read again. The NumPy peer runs afterwards in the same
process, outside the memory measurement.
"""

import argparse
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

from workloads import ARG_ORDER, WORKLOADS  # noqa: E402


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


def worker(name, repeats, peer_repeats):
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

    ptimes = []
    pfinal = None
    for _ in range(peer_repeats):
        t = time.perf_counter()
        pr = numpy_backtest(args["price_values"], args["pos_values"], reb_bars,
                            params["fee_ratio"], params["tax_ratio"])
        ptimes.append(time.perf_counter() - t)
        pfinal = float(pr[-1])

    return dict(name=name, group=w["group"], bars=w["bars"],
                stocks=w["stocks"], held=w["held"], repeats=repeats,
                times=times, trades=trades, rss_before_kib=rss_before,
                maxrss_kib=maxrss, peak_reset=peak_reset, gen_s=gen_s,
                final=final, peer_times=ptimes, peer_final=pfinal,
                finite=bool(np.all(np.isfinite(creturn))))


def make_args(w):
    from workloads import make_data
    return make_data(w)


# ---------------------------------------------------------------- driver side

def run_one(name, repeats, peer_repeats):
    cmd = [sys.executable, os.path.abspath(__file__), "--worker", name,
           "--repeats", str(repeats), "--peer-repeats", str(peer_repeats)]
    p = subprocess.run(cmd, capture_output=True, text=True)
    if p.returncode != 0:
        return dict(name=name, error=f"exit {p.returncode}: "
                    + (p.stderr.strip().splitlines() or ["?"])[-1])
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
    return [
        r["name"], f"{r['bars']}x{r['stocks']}/{r['held']}",
        fmt_t(med), fmt_t(min(r["times"])), fmt_t(max(r["times"])),
        fmt_mib(r["rss_before_kib"]), fmt_mib(r["maxrss_kib"]),
        fmt_mib(r["maxrss_kib"] - r["rss_before_kib"]),
        f"{work / med / 1e6:.2f}M", f"{med / work * 1e9:.0f}",
        str(trades), per_trade, fmt_t(pmed), ratio,
        f"{r['final']:.3g}|{r['peer_final']:.3g}",
    ]


HEAD = ["workload", "bars x stk/held", "median", "min", "max", "RSS0 MiB",
        "peak MiB", "+MiB", "bar*held/s", "ns/bar*held", "trades", "t/trade",
        "numpy", "torvex/np", "end tv|np"]


def print_table(rows):
    widths = [max(len(str(x[i])) if i < len(x) else 0 for x in rows + [HEAD])
              for i in range(len(HEAD))]
    line = "  ".join(h.ljust(wd) if i == 0 else h.rjust(wd)
                     for i, (h, wd) in enumerate(zip(HEAD, widths)))
    print(line)
    print("-" * len(line))
    for x in rows:
        if len(x) == 2:
            print(f"{x[0].ljust(widths[0])}  {x[1]}")
            continue
        print("  ".join(str(c).ljust(wd) if i == 0 else str(c).rjust(wd)
                        for i, (c, wd) in enumerate(zip(x, widths))), flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true",
                    help="fewer repeats, skip the L workloads")
    ap.add_argument("--only", metavar="NAME",
                    help="run only workloads whose name equals NAME or starts with it")
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    ap.add_argument("--repeats", type=int, help=argparse.SUPPRESS)
    ap.add_argument("--peer-repeats", type=int, default=3, help=argparse.SUPPRESS)
    a = ap.parse_args()

    if a.worker:
        res = worker(a.worker, a.repeats, a.peer_repeats)
        print(json.dumps(res))
        return 0

    import torvex
    try:
        from importlib.metadata import version
        tv = version("torvex")
    except Exception:
        tv = getattr(torvex, "__version__", "?")
    print(f"torvex benchmarks  |  {platform.platform()}  |  "
          f"{platform.processor() or platform.machine()}  |  "
          f"CPUs: {os.cpu_count()}  |  Python {platform.python_version()}  |  "
          f"numpy {np.__version__}  |  torvex {tv}")

    names = list(WORKLOADS)
    if a.only:
        names = [n for n in names if n == a.only or n.startswith(a.only)]
        if not names:
            print(f"no workload matches {a.only!r}; choose from: "
                  + ", ".join(WORKLOADS))
            return 2
    elif a.quick:
        names = [n for n in names if not n.startswith("L")]

    print("median/min/max: wall time of one backtest_ call; RSS0: RSS before "
          "the runs; peak: ru_maxrss after the runs; +MiB: their difference; "
          "numpy: plain NumPy rebalance without stops (median); "
          "trades: len(excursion.trades); end tv|np: final portfolio value of "
          "torvex and of the NumPy peer (the peer has no stops)")
    print()
    rows = []
    t_all = time.perf_counter()
    for n in names:
        w = WORKLOADS[n]
        reps = w["repeats"]
        if a.quick:
            reps = max(2, reps // 2) if w["group"] == "main" else 1
        peer_reps = 1 if (a.quick or w["group"] != "main") else 3
        if sys.stderr.isatty():
            print(f"  running {n} ...", file=sys.stderr, flush=True)
        r = run_one(n, reps, peer_reps)
        rows.append(row(r))
    print_table(rows)
    print()
    print(f"total wall time {time.perf_counter() - t_all:.1f}s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
