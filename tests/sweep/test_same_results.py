"""A sweep gives exactly what serial backtests give, on every backend."""

import concurrent.futures as cf
import multiprocessing

import numpy as np
import pandas as pd
import pytest

import torvex
from torvex.datasets import synthetic_universe
from torvex._sweep import sweep

from sweep import _sweep_helpers as helpers

GRID = {"stop_loss": [0.03, 0.08, None], "take_profit": [0.05, None]}
FIXED = dict(resample="ME", fee_ratio=0.001)


def serial_stats(position, price, grid=GRID, **fixed):
    """The reference: one backtest(...).stats() per parameter set, in order."""
    rows = []
    for sl in grid["stop_loss"]:
        for tp in grid["take_profit"]:
            rows.append(torvex.backtest(position, price, stop_loss=sl, take_profit=tp, **FIXED, **fixed).stats())
    return rows


def assert_same(result, reference):
    """Every figure equal to the bit (NaN where the reference has NaN)."""
    assert len(result) == len(reference)
    for (_, row), ref in zip(result.iterrows(), reference):
        assert row["error"] is None
        for name, want in ref.items():
            got = row[name]
            if isinstance(want, float) and np.isnan(want):
                assert np.isnan(got), name
            else:
                assert got == want, (name, got, want)
                if isinstance(want, float):
                    assert np.float64(got).tobytes() == np.float64(want).tobytes(), name


@pytest.fixture(scope="module")
def reference(top5, price):
    return serial_stats(top5, price)


def test_index_is_the_grid_and_columns_are_the_stats(top5, price, reference):
    res = sweep(top5, price, GRID, n_jobs=1, progress=False, **FIXED)
    assert res.index.names == ["stop_loss", "take_profit"]
    # product order, the last key fastest; None (no stop) shows as NaN
    sl = res.index.get_level_values("stop_loss").to_numpy()
    tp = res.index.get_level_values("take_profit").to_numpy()
    np.testing.assert_array_equal(sl, [0.03, 0.03, 0.08, 0.08, np.nan, np.nan])
    np.testing.assert_array_equal(tp, [0.05, np.nan] * 3)
    assert list(res.columns) == list(reference[0].index) + ["error"]
    assert_same(res, reference)


@pytest.mark.parametrize("n_jobs, chunksize", [(2, None), (2, 1), (2, 4), (3, 5)])
@pytest.mark.parametrize("backend", [None, "processes"])
def test_local_pool_matches_serial_for_any_workers_and_chunks(top5, price, reference, n_jobs, chunksize, backend):
    res = sweep(top5, price, GRID, backend=backend, n_jobs=n_jobs, chunksize=chunksize, progress=False, **FIXED)
    assert_same(res, reference)


def test_process_executor_matches_serial(top5, price, reference):
    ctx = multiprocessing.get_context("forkserver")
    with cf.ProcessPoolExecutor(2, mp_context=ctx) as ex:
        res = sweep(top5, price, GRID, backend=ex, progress=False, **FIXED)
    assert_same(res, reference)


@pytest.mark.parametrize("chunksize", [None, 1, 4])
def test_threads_match_serial_for_any_chunks(top5, price, reference, chunksize):
    assert_same(
        sweep(top5, price, GRID, backend="threads", n_jobs=3, chunksize=chunksize, progress=False, **FIXED), reference
    )
    with cf.ThreadPoolExecutor(2) as ex:
        assert_same(sweep(top5, price, GRID, backend=ex, chunksize=chunksize, progress=False, **FIXED), reference)


def test_threads_run_a_position_function_too(price):
    grid = {"lookback": [10, 40], "n": [3, 8], "stop_loss": [0.05, None]}
    threaded = sweep(helpers.momentum, price, grid, backend="threads", n_jobs=2, chunksize=1, progress=False, **FIXED)
    serial = sweep(helpers.momentum, price, grid, n_jobs=1, progress=False, **FIXED)
    pd.testing.assert_frame_equal(threaded, serial)


def test_callable_position_sweeps_signal_parameters(price):
    # lookback and n go to the position function, stop_loss to backtest
    grid = {"lookback": [10, 40], "n": [3, 8], "stop_loss": [0.05, None]}
    res = sweep(helpers.momentum, price, grid, n_jobs=2, chunksize=3, progress=False, **FIXED)
    assert res.index.names == ["lookback", "n", "stop_loss"]
    for (lookback, n, sl), row in res.iterrows():
        sl = None if pd.isna(sl) else sl
        want = torvex.backtest(helpers.momentum(price, lookback, n), price, stop_loss=sl, **FIXED).stats()
        assert row["error"] is None
        assert row["trades"] == want["trades"] and row["sharpe"] == want["sharpe"]
        assert row["total_return"] == want["total_return"]
    # different signals give different runs (the cached weights are per signal)
    assert res.loc[(10, 3, 0.05), "total_return"] != res.loc[(40, 8, 0.05), "total_return"]


def test_kept_reports_and_extracted_values(top5, price, reference):
    res, reports = sweep(top5, price, GRID, n_jobs=2, keep="reports", progress=False, **FIXED)
    assert list(reports) == list(res.index)
    first = reports[res.index[0]]
    pd.testing.assert_series_equal(first.stats(), reference[0])
    res2, finals = sweep(top5, price, GRID, n_jobs=2, progress=False, keep=lambda r: float(r.creturn.iloc[-1]), **FIXED)
    for key, ref in zip(res2.index, reference):
        # total return is measured from the first rebalance, where the value is 1
        assert finals[key] == pytest.approx(1.0 + ref["total_return"], rel=1e-12)


@pytest.mark.timeout(120)
def test_dask_matches_serial(top5, price, reference, dask_client):
    res = sweep(top5, price, GRID, backend="dask", progress=False, **FIXED)
    assert_same(res, reference)
    res = sweep(top5, price, GRID, backend=dask_client, chunksize=1, progress=False, **FIXED)
    assert_same(res, reference)


@pytest.mark.timeout(120)
def test_dask_keeps_the_returns_a_serial_sweep_keeps(top5, price, dask_client):
    table, returns = sweep(top5, price, GRID, backend=dask_client, keep="returns", progress=False, **FIXED)
    serial_table, serial_returns = sweep(top5, price, GRID, n_jobs=1, keep="returns", progress=False, **FIXED)
    pd.testing.assert_frame_equal(returns, serial_returns)
    assert table.attrs == serial_table.attrs and table.attrs["n_trials"] == 6


@pytest.mark.timeout(120)
def test_ray_matches_serial(top5, price, reference, ray_session):
    res = sweep(top5, price, GRID, backend="ray", chunksize=2, progress=False, **FIXED)
    assert_same(res, reference)


def test_ohlc_frames_with_touched_exits_match_serial():
    # four frames placed in shared memory; stops touched intrabar need all four
    ohlc = synthetic_universe(n_stocks=20, n_bars=300, seed=11, ohlc=True)
    top = helpers.momentum(ohlc["close"], 20, 4)
    grid = {"stop_loss": [0.03, 0.06], "touched_exit": [True, False]}
    res = sweep(top, ohlc, grid, n_jobs=2, chunksize=1, progress=False, resample="ME")
    for (sl, touched), row in res.iterrows():
        want = torvex.backtest(top, ohlc, stop_loss=sl, touched_exit=touched, resample="ME").stats()
        assert row["error"] is None
        assert row["total_return"] == want["total_return"] and row["trades"] == want["trades"]
    # touched exits change the result at all (the grid is not degenerate)
    assert res.loc[(0.03, True), "total_return"] != res.loc[(0.03, False), "total_return"]
