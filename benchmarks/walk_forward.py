"""Walk-forward benchmark: 10 folds x 100 parameter sets on workload M's universe.

    .venv/bin/python benchmarks/walk_forward.py               # the default local backend
    .venv/bin/python benchmarks/walk_forward.py --n-jobs 1    # serial, in this process
    .venv/bin/python benchmarks/walk_forward.py --quick       # 10 sets

Prices: ``torvex.datasets.synthetic_universe`` with workload M's 500 stocks and
2,520 bars (made untimed). Position: a momentum function, the 20 stocks with
the best return over ``lookback`` bars, rebalanced at month ends with workload
M's costs. Grid: 10 lookbacks x 10 stop losses = 100 sets. Folds: rolling
train windows of 504 bars and test windows of 201 bars, 10 folds.

Prints the folds, the sets, the wall time, and the time per run: the wall time
over all runs made (each fold's train runs and its test run, and the stitched
run).
"""

import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

TRAIN, TEST, FOLDS = 504, 201, 10


def momentum(price, lookback=60, held=20):
    """Top `held` stocks by return over `lookback` bars, one row per bar (causal)."""
    score = price / price.shift(lookback) - 1
    return score.rank(axis=1, ascending=False, method="first") <= held


def grid(n_sets):
    n_lb = 10 if n_sets >= 10 else n_sets
    lookbacks = [20 + 20 * i for i in range(n_lb)]
    n_sl = max(1, n_sets // n_lb)
    stops = [round(0.04 + 0.02 * i, 4) for i in range(n_sl)]
    return {"lookback": lookbacks, "stop_loss": stops}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n-jobs", type=int, default=None)
    ap.add_argument("--sets", type=int, default=100)
    ap.add_argument("--quick", action="store_true")
    a = ap.parse_args()
    if a.quick:
        a.sets = 10

    import torvex
    from torvex.datasets import synthetic_universe
    from workloads import COSTS, WORKLOADS

    w = WORKLOADS["M"]
    price = synthetic_universe(n_stocks=w["stocks"], n_bars=w["bars"], seed=12345)
    g = grid(a.sets)
    n_sets = len(g["lookback"]) * len(g["stop_loss"])

    t = time.perf_counter()
    wf = torvex.walk_forward(momentum, price, g, train=TRAIN, test=TEST, resample="ME", n_jobs=a.n_jobs, **COSTS)
    wall = time.perf_counter() - t

    folds = len(wf.folds)
    runs = folds * n_sets + folds + (wf.report is not None)
    workers = a.n_jobs or os.process_cpu_count()
    print(
        f"\nWalk-forward: {folds} folds x {n_sets} sets on {w['stocks']} stocks x {w['bars']} bars"
        f" (train {TRAIN} bars, test {TEST} bars), {workers} workers, {os.process_cpu_count()} CPUs,"
        f" load average {' / '.join(f'{x:.1f}' for x in os.getloadavg())}"
    )
    print(f"wall time {wall:.2f} s, {runs} runs, {wall / runs * 1e3:.1f} ms per run ({wall / folds:.2f} s per fold)")
    print(
        f"failed sets: {int(wf.folds['n_failed'].sum())}; {wf.join};"
        f" mean train {wf.metric} {wf.folds['train_metric'].mean():.3f},"
        f" mean test {wf.folds['test_metric'].mean():.3f}"
    )
    if folds != FOLDS and not a.quick:
        print(f"expected {FOLDS} folds, found {folds}")


if __name__ == "__main__":
    main()
