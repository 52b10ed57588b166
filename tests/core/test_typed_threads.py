"""Runs of the typed entry on many threads at once give what the same runs give one after
another: the run's state is in the call. Run under the ThreadSanitizer build by `make tsan`."""

import threading

import numpy as np
import pandas as pd
from support.inputs import REQUIRED
from support.scenarios import scenario

import torvex
from torvex.core import _typed

POSITIONAL = REQUIRED  # backtest_'s positional arguments, in order


def _run(args):
    res = _typed.run(*(args[k] for k in POSITIONAL), **{k: v for k, v in args.items() if k not in POSITIONAL})
    return res.creturn.copy(), res.sid.copy(), res.exit_bar.copy(), res.pnl.copy(), res.excursion.copy()


def _on_threads(fn, jobs, nthreads):
    out = [None] * len(jobs)
    errors = []
    barrier = threading.Barrier(nthreads)

    def work(k0):
        barrier.wait()
        try:
            for k in range(k0, len(jobs), nthreads):
                out[k] = fn(jobs[k])
        except BaseException as exc:  # reported below, in the test's thread
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(nthreads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    return out


def _same(a, b):
    return all(np.array_equal(x, y, equal_nan=True) for x, y in zip(a, b, strict=True))


def test_many_threads_many_runs_equal_serial():
    settings = [
        {},
        {"stop_loss": 0.05, "take_profit": 0.1},
        {"touched": True, "stop_loss": 0.04, "trail_stop": 0.03},
        {"shorts": True, "position_limit": 0.4},
        {"excursion_window": 5, "excursion_window_step": 2},
    ]
    jobs = [scenario(seed, nbars=120, ncols=12, **settings[seed % len(settings)]) for seed in range(48)]
    serial = [_run(a) for a in jobs]
    for nthreads in (2, 8):
        parallel = _on_threads(_run, jobs, nthreads)
        assert all(_same(s, p) for s, p in zip(serial, parallel))


def test_backtest_on_threads_equals_serial():
    rng = np.random.default_rng(7)
    dates = pd.bdate_range("2021-01-01", periods=150)
    frames = []
    for k in range(8):
        price = pd.DataFrame(
            100 * np.exp(np.cumsum(rng.normal(0, 0.02, (150, 10)), axis=0)),
            index=dates,
            columns=[f"s{i}" for i in range(10)],
        )
        frames.append((price.rank(axis=1) > 5 + k % 3, price, 0.03 + 0.01 * k))

    def run(job):
        position, price, stop = job
        report = torvex.backtest(position, price, resample="W", stop_loss=stop)
        return report.creturn.to_numpy(), report.trades.pnl.to_numpy(), report.stats().to_numpy(dtype=float)

    serial = [run(j) for j in frames]
    parallel = _on_threads(run, frames, 4)
    assert all(_same(s, p) for s, p in zip(serial, parallel))


def test_a_thread_sweep_over_one_shared_conversion_equals_serial():
    # Every run of the grid reads one conversion of the inputs while others run the engine.
    from torvex.datasets import synthetic_universe

    price = synthetic_universe(n_stocks=12, n_bars=200, seed=5)
    position = price.pct_change(10, fill_method=None).rank(axis=1, ascending=False) <= 4
    grid = {"stop_loss": [0.02, 0.05, None], "take_profit": [0.04, 0.1], "resample": [None, "W"]}
    options = dict(progress=False, keep="returns")
    serial, serial_returns = torvex.sweep(position, price, grid, n_jobs=1, **options)
    for chunksize in (1, 3):
        table, returns = torvex.sweep(
            position, price, grid, backend="threads", n_jobs=4, chunksize=chunksize, **options
        )
        pd.testing.assert_frame_equal(table, serial, check_exact=True)
        pd.testing.assert_frame_equal(returns, serial_returns, check_exact=True)
