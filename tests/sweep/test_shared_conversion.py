"""Runs of a sweep share one conversion of their inputs: each run is still exactly the run
`torvex.backtest` makes on its own, notes, errors and all, on one thread or several."""

import warnings

import numpy as np
import pandas as pd
import pytest

import torvex
from torvex._sweep import _api, _backends
from torvex._sweep import sweep
from torvex.datasets import synthetic_universe

from sweep import _sweep_helpers as helpers


@pytest.fixture(scope="module")
def ohlc():
    data = synthetic_universe(n_stocks=16, n_bars=260, seed=23, ohlc=True)
    # A stock that stops trading (delisting), one listed late (unpriced targets removed).
    for frame in data.values():
        frame.iloc[200:, 3] = np.nan
        frame.iloc[:60, 5] = np.nan
    return data


def stop_tables(close):
    per_stock = pd.Series(np.linspace(0.03, 0.12, close.shape[1]), index=close.columns)
    per_bar = pd.DataFrame(0.06, index=close.index[::40], columns=close.columns)
    per_bar.iloc[2:, :4] = 0.02
    return per_stock, per_bar


def random_sets(rng, close, n):
    per_stock, per_bar = stop_tables(close)
    choices = {
        "resample": [None, "ME", "W", list(close.index[[30, 90, 150, 210]])],
        "trade_at": ["close", "open"],
        "touched_exit": [False, True],
        "delisting": ["auto", None, {close.columns[7]: close.index[120]}],
        "stop_loss": [None, 0.04, 0.1, per_stock, per_bar],
        "take_profit": [None, 0.08, per_stock],
        "trail_stop": [None, 0.05],
        "excursion_window": [0, 4],
        "position_limit": [1.0, 0.3],
    }
    sets = []
    for _ in range(n):
        params = {}
        for name, values in choices.items():
            if rng.random() < 0.6:
                params[name] = values[rng.integers(len(values))]
        sets.append(params)
    return sets


def reference(position, price, params):
    """(stats, warnings, trades, creturn) of one backtest, or its error text."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            r = torvex.backtest(position, price, **params)
    except Exception as exc:
        return f"{type(exc).__name__}: {exc}"
    return r.stats(), r.warnings, r.trades, r.creturn


def assert_report_is(report, want):
    stats, texts, trades, creturn = want
    assert report.stats().to_numpy().tobytes() == stats.to_numpy().tobytes()
    assert report.warnings == texts
    pd.testing.assert_frame_equal(report.trades, trades, check_exact=True)
    assert report.creturn.to_numpy().tobytes() == creturn.to_numpy().tobytes()


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("backend, n_jobs", [(None, 1), ("threads", 2), ("threads", 3)])
def test_runs_sharing_a_conversion_are_the_runs_made_alone(ohlc, seed, backend, n_jobs):
    rng = np.random.default_rng(seed)
    position = helpers.momentum(ohlc["close"], 20, 4)
    if seed == 1:  # weights, not flags: the gross and per-cent notes
        position = position.astype(float) * 0.4
    sets = random_sets(rng, ohlc["close"], 24)
    res, reports = sweep(
        position, ohlc, sets, backend=backend, n_jobs=n_jobs, chunksize=int(rng.integers(1, 6)),
        keep="reports", progress=False,
    )  # fmt: skip
    assert res["error"].isna().sum() >= len(sets) // 2  # the grid mostly runs
    kept = list(reports.values())  # in grid order (labels holding NaN cannot be looked up)
    for k, params in enumerate(sets):
        want = reference(position, ohlc, params)
        if isinstance(want, str):
            assert res["error"].iloc[k] == want, params
            assert kept[k] is None
            continue
        assert res["error"].iloc[k] is None, (params, res["error"].iloc[k])
        assert_report_is(kept[k], want)
        row = res.iloc[k][want[0].index].to_numpy(dtype=np.float64)
        assert row.tobytes() == want[0].to_numpy().tobytes()


def test_a_conversion_that_fails_fails_every_run_of_it_with_its_own_error(ohlc):
    close = ohlc["close"]
    position = helpers.momentum(close, 20, 4)
    grid = [{"resample": "not-a-frequency", "stop_loss": sl} for sl in (0.05, 0.1, 0.2)]
    grid += [{"resample": "ME", "stop_loss": 0.05}]
    res = sweep(position, close, grid, n_jobs=1, progress=False)
    want = reference(position, close, grid[0])
    assert isinstance(want, str)
    assert list(res["error"][:3]) == [want] * 3
    assert res["error"].iloc[3] is None


def test_a_runs_own_error_comes_before_a_bad_held_price_as_alone(ohlc):
    # A zero close of a held stock is refused after the run's own checks: a stop table naming an
    # unknown symbol is that run's error, as it is for the run made alone.
    close = ohlc["close"].copy()
    position = helpers.momentum(ohlc["close"], 20, 4)
    held = position.iloc[100].to_numpy().nonzero()[0][0]
    close.iloc[150, held] = 0.0
    bad_table = pd.Series({"no-such-symbol": 0.1})
    grid = {"stop_loss": [0.1, bad_table, 0.2]}
    res = sweep(position, close, grid, n_jobs=1, progress=False)
    for k, sl in enumerate(grid["stop_loss"]):
        want = reference(position, close, {"stop_loss": sl})
        assert isinstance(want, str) and res["error"].iloc[k] == want
    assert res["error"].iloc[0] != res["error"].iloc[1]


def test_threads_are_chosen_for_grids_of_backtest_options_alone(top5, price, monkeypatch):
    chosen = []

    def spy(backend, n_jobs, **kw):
        engine = _backends.resolve(backend, n_jobs, **kw)
        chosen.append(type(engine).__name__)
        return engine

    monkeypatch.setattr(_api, "resolve", spy)
    sweep(top5, price, {"stop_loss": [0.05, 0.1]}, n_jobs=2, progress=False)
    sweep(top5, price, {"stop_loss": [0.05, 0.1]}, n_jobs=2, keep="reports", progress=False)
    sweep(helpers.momentum, price, {"stop_loss": [0.05, 0.1]}, n_jobs=2, lookback=10, progress=False)
    # A position function's parameters in the grid hold the lock: processes. So does a kept callable.
    sweep(helpers.momentum, price, {"lookback": [10, 20]}, n_jobs=2, progress=False)
    sweep(top5, price, {"stop_loss": [0.05, 0.1]}, n_jobs=2, keep=helpers.worker_pid, progress=False)
    sweep(top5, price, {"stop_loss": [0.05, 0.1]}, n_jobs=1, progress=False)
    assert chosen == ["Threads", "Threads", "Threads", "Processes", "Processes", "Serial"]


def test_reports_kept_from_a_shared_conversion_do_not_change_each_other(top5, price):
    _, reports = sweep(top5, price, {"stop_loss": [0.05, 0.1]}, backend="threads", keep="reports", progress=False)
    a, b = reports.values()
    before = b.position.copy()
    frame = a.position
    frame.iloc[:, :] = 7.0  # a copy: the run's weights are not the frame handed out
    pd.testing.assert_frame_equal(b.position, before)
    assert a.actions.equals(torvex.backtest(top5, price, stop_loss=0.05).actions)


def test_a_position_function_is_called_once_for_the_threads_that_share_its_weights(price):
    calls = []

    def signal(price, lookback=20, n=5):
        calls.append(lookback)
        return helpers.momentum(price, lookback, n)

    grid = {"stop_loss": [0.02, 0.04, 0.06, 0.08, 0.1, None]}
    res = sweep(signal, price, grid, backend="threads", n_jobs=4, chunksize=1, lookback=15, progress=False)
    assert calls == [15] and res["error"].isna().all()


def test_more_stop_tables_than_are_kept_each_give_their_own_run(top5, price):
    tables = [pd.Series(0.02 + 0.01 * k, index=price.columns) for k in range(11)]
    grid = {"stop_loss": tables + tables[:3]}  # the first ones again, after they were dropped
    res = sweep(top5, price, grid, backend="threads", n_jobs=2, chunksize=2, progress=False)
    for k, table in enumerate(grid["stop_loss"]):
        want = torvex.backtest(top5, price, stop_loss=table).stats()
        row = res.iloc[k][want.index].to_numpy(dtype=np.float64)
        assert row.tobytes() == want.to_numpy().tobytes(), k
