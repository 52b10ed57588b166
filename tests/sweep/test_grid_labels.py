"""How grids become parameter sets and the index of the results."""

import numpy as np
import pandas as pd
import pytest

import torvex
from torvex._sweep import sweep


def test_explicit_sets_leave_missing_keys_nan_and_use_the_default(top5, price):
    grid = [{"stop_loss": 0.05}, {"take_profit": 0.1}, {"stop_loss": 0.05, "take_profit": 0.1}]
    res = sweep(top5, price, grid, n_jobs=1, progress=False, resample="ME")
    assert res.index.names == ["stop_loss", "take_profit"]
    sl = res.index.get_level_values("stop_loss").to_numpy()
    np.testing.assert_array_equal(sl, [0.05, np.nan, 0.05])
    # the second set ran with backtest's default stop_loss
    want = torvex.backtest(top5, price, take_profit=0.1, resample="ME").stats()
    assert res["total_return"].iloc[1] == want["total_return"]


def test_unhashable_values_are_labelled_by_position(top5, price):
    # a stop table by symbol: 5% for the first half of the symbols, 20% after
    half = len(price.columns) // 2
    table = pd.Series([0.05] * half + [0.2] * (len(price.columns) - half), index=price.columns)
    grid = {"stop_loss": [0.1, table], "fee_ratio": [0.0, 0.001]}
    res = sweep(top5, price, grid, n_jobs=2, progress=False, resample="ME")
    assert res.index.get_level_values("stop_loss").tolist() == [0, 0, 1, 1]
    assert res.index.get_level_values("fee_ratio").tolist() == [0.0, 0.001, 0.0, 0.001]
    want = torvex.backtest(top5, price, stop_loss=table, fee_ratio=0.001, resample="ME").stats()
    assert res.loc[(1, 0.001), "sharpe"] == want["sharpe"]

    explicit = sweep(
        top5, price, [{"stop_loss": table}, {"stop_loss": table * 2}], n_jobs=1, progress=False, resample="ME"
    )
    assert explicit.index.get_level_values("stop_loss").tolist() == [0, 1]


@pytest.mark.parametrize(
    "grid, fixed, match",
    [
        ({"stop_loss": [0.1], "lookback": [5]}, {}, "'lookback' is neither a backtest option"),
        ({"stop_loss": [0.1]}, {"stop_loss": 0.2}, "'stop_loss' is also given as a fixed option"),
        ({"stop_loss": [0.1, 0.1]}, {}, "parameter set 1 .* repeats parameter set 0"),
        ({"stop_loss": []}, {}, "at least one value for 'stop_loss'"),
        ({}, {}, "at least one parameter"),
        ({"stop_loss": 0.1}, {}, "expected a list of values for 'stop_loss', found float"),
        ([{"stop_loss": 0.1}, 0.2], {}, "expected a dict for parameter set 1, found float"),
    ],
)
def test_malformed_grids_are_refused_before_any_run(top5, price, grid, fixed, match):
    with pytest.raises((ValueError, TypeError), match=match):
        sweep(top5, price, grid, n_jobs=1, progress=False, **fixed)


@pytest.mark.parametrize(
    "kwargs, match",
    [
        (dict(backend="spark"), "backend: expected None, 'local', 'threads', 'processes', 'dask', 'ray'"),
        (dict(n_jobs=0), "n_jobs: expected a positive int, found 0"),
        (dict(chunksize=2.5), "chunksize: expected a positive int, found 2.5"),
        (dict(keep="trades"), "keep: expected 'stats', 'reports', 'returns' or a callable"),
    ],
)
def test_bad_sweep_options_name_themselves(top5, price, kwargs, match):
    with pytest.raises((ValueError, TypeError), match=match):
        sweep(top5, price, {"stop_loss": [0.1]}, progress=False, **kwargs)


def _guarded(price, lookback=20, stop_loss=0.0):
    """A position function with a parameter named like a backtest option."""
    held = price.pct_change(lookback, fill_method=None).rank(axis=1, ascending=False) <= 5
    return held & (price.pct_change(fill_method=None).abs() >= stop_loss)


def test_a_name_both_option_and_parameter_must_say_where_it_goes(price):
    with pytest.raises(ValueError, match="'stop_loss' is both a backtest option and a parameter of position"):
        sweep(_guarded, price, {"stop_loss": [0.05, 0.1]}, n_jobs=1, progress=False)
    with pytest.raises(ValueError, match="'stop_loss' is both"):
        sweep(_guarded, price, {"lookback": [10]}, stop_loss=0.05, n_jobs=1, progress=False)
    to_backtest = sweep(_guarded, price, {"backtest__stop_loss": [0.05, 0.1]}, n_jobs=1, progress=False)
    want = [torvex.backtest(_guarded(price), price, stop_loss=sl).stats()["total_return"] for sl in (0.05, 0.1)]
    assert to_backtest["total_return"].tolist() == want
    to_position = sweep(_guarded, price, {"position__stop_loss": [0.0, 0.01]}, n_jobs=1, progress=False)
    want = [torvex.backtest(_guarded(price, stop_loss=sl), price).stats()["total_return"] for sl in (0.0, 0.01)]
    assert to_position["total_return"].tolist() == want and want[0] != want[1]
    with pytest.raises(ValueError, match="'position__lookbak' names no parameter of position"):
        sweep(_guarded, price, {"position__lookbak": [1]}, n_jobs=1, progress=False)
