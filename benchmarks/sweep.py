"""Sweep benchmark: 1,000 runs of workload M over a stop-loss x take-profit grid.

    .venv/bin/python benchmarks/sweep.py              # every backend, 3 timings each
    .venv/bin/python benchmarks/sweep.py --quick      # 200 runs, one timing each
    .venv/bin/python benchmarks/sweep.py --only local # one backend

Each backend runs in a fresh process: the data is made (untimed), a cluster
is started and timed apart (Dask LocalCluster with 2 one-thread workers, Ray
with 2 CPUs), then the same sweep is timed `repeats` times. "local" is the
default backend, which takes threads for this grid of backtest options;
"processes" the local process pool, whose first timing includes starting the
fork server (the pool's workers start from it); a cluster's start-up is
reported in its own column.

Columns: wall time (min / median / max), runs per second and speed-up over
serial (from the medians); the overhead per run beyond the run itself, in CPU
time: the workers' CPU per run (their runtime's own threads included) less the
serial CPU per run, plus the caller's CPU for the sweep spread over its runs
(CPU time does not change with other load on the machine, wall time does);
the CPU time per run inside the workers (serial, local and threads: in the
caller, all its threads) and the caller's own CPU time for the whole sweep; and
the peak resident memory of each worker process (VmHWM, the largest of the
workers; the in-process rows show the caller, which also holds the data).
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

BACKENDS = ("serial", "local", "threads", "processes", "dask", "ray")
# Rows whose runs are made in the timed process itself (the default backend takes threads for this
# grid of backtest options): their CPU per run is the process's own, and no value is kept per run.
IN_PROCESS = ("serial", "local", "threads")
WORKERS = 2


def grid(n_runs):
    import numpy as np

    n_tp = 25
    n_sl = n_runs // n_tp
    return {
        "stop_loss": [round(float(x), 4) for x in np.linspace(0.02, 0.41, n_sl)],
        "take_profit": [round(float(x), 4) for x in np.linspace(0.05, 1.25, n_tp)],
    }


def make_inputs():
    """Workload M as pandas frames: the close prices and the target weights."""
    import numpy as np
    import pandas as pd

    from workloads import WORKLOADS, make_data

    w = WORKLOADS["M"]
    args, reb = make_data(w)
    dates = pd.DatetimeIndex(args["price_index"].view("datetime64[ns]"))
    cols = list(args["price_columns"])
    close = pd.DataFrame(args["close_values"], index=dates, columns=cols)
    position = pd.DataFrame(args["pos_values"], index=dates[reb], columns=cols)
    fixed = {k: v for k, v in w["params"].items() if k != "stop_loss"}
    del np
    return position, close, fixed


def peak_memory(report):
    """(pid, VmHWM bytes, CPU seconds so far) of the process that ran this report."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return os.getpid(), int(line.split()[1]) * 1024, time.process_time()
    return os.getpid(), None, time.process_time()


def own_peak():
    return peak_memory(None)[1]


def worker(backend, n_runs, repeats):
    from torvex._sweep import sweep

    position, close, fixed = make_inputs()
    g = grid(n_runs)
    opts = dict(progress=False, keep="stats" if backend in IN_PROCESS else peak_memory, **fixed)
    startup = None
    shutdown = None
    if backend == "serial":
        opts["n_jobs"] = 1
    elif backend == "local":
        opts["n_jobs"] = WORKERS
    elif backend in ("threads", "processes"):
        opts["n_jobs"] = WORKERS
        opts["backend"] = backend
    elif backend == "dask":
        import distributed

        t = time.perf_counter()
        cluster = distributed.LocalCluster(
            n_workers=WORKERS, threads_per_worker=1, processes=True, dashboard_address=None
        )
        client = distributed.Client(cluster)
        startup = time.perf_counter() - t
        opts["backend"] = client

        def shutdown():
            client.close()
            cluster.close()
    elif backend == "ray":
        import ray

        t = time.perf_counter()
        ray.init(num_cpus=WORKERS, include_dashboard=False, log_to_driver=False)
        startup = time.perf_counter() - t
        opts["backend"] = "ray"
        shutdown = ray.shutdown
    times, peaks, errors, cpu, caller_cpu = [], {}, 0, [], []
    for _ in range(repeats):
        first, last = {}, {}
        t = time.perf_counter()
        c = time.process_time()
        out = sweep(position, close, g, **opts)
        res, kept = out if isinstance(out, tuple) else (out, {})
        times.append(time.perf_counter() - t)
        caller_cpu.append(time.process_time() - c)
        errors += int(res["error"].notna().sum())
        for v in kept.values():
            if v is not None:
                peaks[v[0]] = max(peaks.get(v[0], 0), v[1] or 0)
                first[v[0]] = min(first.get(v[0], v[2]), v[2])
                last[v[0]] = max(last.get(v[0], v[2]), v[2])
        # CPU the workers spent between their first and last reported run,
        # per run in between: load on the machine does not change it.
        spans = sum(last[p] - first[p] for p in last)
        between = len(res) - len(last)
        cpu.append(spans / between if between > 0 else None)
    if shutdown:
        shutdown()
    if backend in IN_PROCESS:
        worker_peak = own_peak()
        cpu = [c / len(res) for c in caller_cpu]
    else:
        worker_peak = max(peaks.values()) if peaks else None
    return dict(
        backend=backend,
        runs=len(res),
        times=times,
        startup=startup,
        peak=worker_peak,
        workers=len(peaks),
        errors=errors,
        cpu_per_run=statistics.median(c for c in cpu if c is not None) if any(c is not None for c in cpu) else None,
        caller_cpu=statistics.median(caller_cpu),
        in_process=backend in IN_PROCESS,
    )


def run_backend(backend, n_runs, repeats):
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    cmd = [
        sys.executable,
        os.path.abspath(__file__),
        "--worker",
        backend,
        "--runs",
        str(n_runs),
        "--repeats",
        str(repeats),
    ]
    p = subprocess.run(cmd, capture_output=True, text=True, env=env)
    if p.returncode != 0:
        last = (p.stderr.strip().splitlines() or ["?"])[-1]
        return dict(backend=backend, error=f"exit {p.returncode}: {last}")
    return json.loads(p.stdout.strip().splitlines()[-1])


def fmt_s(s):
    if s is None:
        return "-"
    return f"{s:.2f} s" if s >= 1 else (f"{s * 1e3:.0f} ms" if s >= 0.1 else f"{s * 1e3:.1f} ms")


def print_table(rows, n_runs):
    load = " / ".join(f"{x:.1f}" for x in os.getloadavg())
    print(
        f"\nSweep: {n_runs} runs of workload M (stop_loss x take_profit), "
        f"{WORKERS} workers, {os.process_cpu_count()} CPUs, load average {load}"
    )
    head = (
        f"{'backend':<9} {'wall min / median / max':>26} {'runs/s':>8} {'speed-up':>9} "
        f"{'overhead/run':>13} {'cpu/run':>9} {'caller cpu':>11} {'peak/worker':>12} "
        f"{'start-up':>9}"
    )
    print(head)
    print("-" * len(head))
    serial = next((r for r in rows if r["backend"] == "serial" and "times" in r), None)
    per_run = statistics.median(serial["times"]) / serial["runs"] if serial else None
    for r in rows:
        if "error" in r:
            print(f"{r['backend']:<9} failed: {r['error']}")
            continue
        t = r["times"]
        med = statistics.median(t)
        wall = f"{fmt_s(min(t))} / {fmt_s(med)} / {fmt_s(max(t))}"
        speed = f"{statistics.median(serial['times']) / med:.2f}x" if serial else "-"
        over = "-"
        if serial and r["backend"] != "serial" and r["cpu_per_run"] is not None:
            extra = r["cpu_per_run"] - serial["cpu_per_run"]
            if not r.get("in_process"):  # the caller's share comes on top of the workers'
                extra += r["caller_cpu"] / r["runs"]
            over = f"{extra * 1e3:+.2f} ms"
        peak = "-" if r["peak"] is None else f"{r['peak'] / 2**20:.0f} MiB"
        print(
            f"{r['backend']:<9} {wall:>26} {r['runs'] / med:>8.1f} {speed:>9} {over:>13} "
            f"{fmt_s(r['cpu_per_run']):>9} {fmt_s(r['caller_cpu']):>11} "
            f"{peak:>12} {fmt_s(r['startup']):>9}" + (f"  ({r['errors']} failed runs)" if r["errors"] else "")
        )
    if serial:
        print(
            f"serial time per run (backtest + stats): {per_run * 1e3:.1f} ms wall, "
            f"{serial['cpu_per_run'] * 1e3:.1f} ms CPU"
        )
    if os.getloadavg()[0] > (os.process_cpu_count() or 1):
        print(
            "the machine is busy with other work (load average above its CPUs): the "
            "wall times and speed-ups say more about that than about the backends; "
            "the CPU columns still hold"
        )


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--worker")
    ap.add_argument("--runs", type=int, default=1000)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--only", action="append", choices=BACKENDS)
    a = ap.parse_args()
    if a.worker:
        print(json.dumps(worker(a.worker, a.runs, a.repeats)))
        return
    if a.quick:
        a.runs, a.repeats = 200, 1
    rows = []
    for b in a.only or BACKENDS:
        print(f"  sweep benchmark: {b} ...", file=sys.stderr, flush=True)
        rows.append(run_backend(b, a.runs, a.repeats))
    print_table(rows, a.runs)


if __name__ == "__main__":
    main()
