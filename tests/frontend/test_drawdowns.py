"""The drawdown table (stats.drawdown_periods, Report.drawdowns) and max_drawdown_duration.

Against pyfolio-reloaded's drawdown table on business-day return series.  pyfolio's conventions
differ in form only where checked here by hand: it pads missing rows with NaN (here: fewer rows),
gives a row of depth 0 on the first date without any drawdown (here: no row), counts its Duration in
business days from peak to recovery inclusive and leaves it NaN when not recovered (here:
bars_under_water, bars from peak to recovery or to the last bar).
"""

import warnings

import numpy as np
import pandas as pd
import pytest

import torvex
from torvex import stats as st

timeseries = pytest.importorskip("pyfolio.timeseries")

COLUMNS = ["peak", "valley", "recovery", "depth", "bars_to_valley", "bars_under_water"]


def pyfolio_table(returns, top):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return timeseries.gen_drawdown_table(returns, top=top).iloc[:top]


def held_report(path):
    """A report fully invested from the second bar in one stock whose closes are ``path`` (no costs):
    from its start on, creturn is the path over its second value."""
    dates = pd.bdate_range("2021-03-01", periods=len(path))
    price = pd.DataFrame({"A": np.asarray(path, dtype=float)}, index=dates)
    return torvex.backtest(pd.DataFrame({"A": [1.0]}, index=dates[:1]), price, fee_ratio=0, tax_ratio=0)


def assert_same_as_pyfolio(ours, returns):
    """``ours`` (a drawdowns table) against pyfolio's of ``returns`` (whose curve starts at the first);
    the durations too where the dates are every business day."""
    theirs = pyfolio_table(returns, len(ours))
    assert len(ours) == len(theirs)
    for mine, col in [("peak", "Peak date"), ("valley", "Valley date"), ("recovery", "Recovery date")]:
        assert pd.DatetimeIndex(ours[mine]).equals(pd.DatetimeIndex(theirs[col]).as_unit(ours[mine].dt.unit)), mine
    np.testing.assert_allclose(-100 * ours["depth"], theirs["Net drawdown in %"].astype(float), rtol=1e-9)
    back = ours["recovery"].notna().to_numpy()
    if not returns.index.equals(pd.bdate_range(returns.index[0], periods=len(returns))):
        return
    # Business days from peak to recovery, both counted: one more than the bars between them.
    np.testing.assert_array_equal(theirs["Duration"][back].astype(int), ours["bars_under_water"][back] + 1)


@pytest.mark.parametrize("kind", ["plain", "rounded", "ends under water", "rising"])
def test_drawdown_periods_agree_with_pyfolio(kind):
    rng = np.random.default_rng(len(kind))
    for _ in range(30):
        n = int(rng.integers(3, 400))
        r = rng.standard_normal(n) * 0.01 + {"rising": 0.004, "ends under water": -0.001}.get(kind, 0.0)
        if kind == "rounded":  # equal valleys, equal depths, flat stretches
            r = np.round(r, 2)
            r[rng.integers(0, n, n // 4)] = 0.0
        if kind == "ends under water":
            r[-n // 5 :] = -np.abs(r[-n // 5 :])
        r[0] = 0.0  # pyfolio's curve starts at 1 + r[0]: the curve starts at 1.0 on the first date
        dates = pd.bdate_range("2015-01-01", periods=n)
        peak, valley, recovery, depth = st.drawdown_periods(np.cumprod(1 + r))
        order = np.argsort(depth, kind="stable")
        back = recovery[order] >= 0
        ours = pd.DataFrame(
            {
                "peak": dates[peak[order]],
                "valley": dates[valley[order]],
                "recovery": dates[np.where(back, recovery[order], 0)].where(back),
                "depth": depth[order],
                "bars_under_water": np.where(back, recovery[order], n - 1) - peak[order],
            }
        )
        if len(ours):
            assert_same_as_pyfolio(ours, pd.Series(r, index=dates))
        if kind == "ends under water":
            assert not back.all()


def test_report_drawdowns_agree_with_pyfolio(universe, momentum):
    reports = [
        torvex.backtest(momentum, universe, stop_loss=0.08),
        held_report(100 * np.cumprod(1 + np.random.default_rng(4).standard_normal(300) * 0.02)),
    ]
    for report in reports:
        table = report.drawdowns(top=None)
        returns = pd.concat([pd.Series([0.0], index=[report.start]), report.returns])
        assert_same_as_pyfolio(table, returns)
        # The bar counts and depth from the curve itself.
        bar = pd.Series(np.arange(len(report.creturn)), index=report.creturn.index)
        assert (table["bars_to_valley"] == bar[table["valley"]].to_numpy() - bar[table["peak"]].to_numpy()).all()
        value = report.creturn
        np.testing.assert_allclose(
            table["depth"], value[table["valley"]].to_numpy() / value[table["peak"]].to_numpy() - 1, rtol=1e-14
        )
        assert table["depth"].is_monotonic_increasing and (table["depth"] < 0).all()
        pd.testing.assert_frame_equal(report.drawdowns(top=3), table.iloc[:3])
        assert report.stats()["max_drawdown_duration"] == table["bars_under_water"].max()


@pytest.mark.parametrize(
    "values, expected",
    [
        # (peak, valley, recovery or -1) per drawdown, in order of time
        ([1.0, 0.9, 1.0], [(0, 1, 2)]),  # starts on the first bar
        ([1.0, 1.0, 0.9, 0.8, 0.8, 0.9, 1.0, 1.0, 0.7], [(1, 3, 6), (7, 8, -1)]),  # flat peak, flat valley
        ([1.0, 0.8, 1.0, 0.8, 1.2], [(0, 1, 2), (2, 3, 4)]),  # back exactly at the peak
        ([1.0, np.nan, 0.9, np.nan, 1.0, 1.1, np.nan], [(0, 2, 4)]),  # NaN: skipped
        ([np.nan, 2.0, 1.5, np.nan], [(1, 2, -1)]),  # NaN first, NaN last under water
        ([1.0, 1.0, 1.2, 1.2], []),
        ([np.nan, np.nan], []),
        ([], []),
    ],
)
def test_drawdown_periods_by_hand(values, expected):
    peak, valley, recovery, depth = st.drawdown_periods(values)
    assert list(zip(peak.tolist(), valley.tolist(), recovery.tolist())) == expected
    v = np.asarray(values, dtype=float)
    np.testing.assert_array_equal(depth, v[valley] / v[peak] - 1)
    assert peak.dtype == valley.dtype == recovery.dtype == np.int64 and depth.dtype == np.float64


def test_report_drawdowns_conventions():
    # Two drawdowns of equal depth (-20%) and the end under water: equal depths keep the order of time.
    report = held_report([10, 10, 8, 10, 20, 16, 20, 40, 39, 39.5])
    table = report.drawdowns()
    dates = report.creturn.index
    assert table["peak"].tolist() == list(dates[[1, 4, 7]])
    assert table["depth"].round(12).tolist() == [-0.2, -0.2, -0.025]
    assert table["recovery"].tolist()[:2] == list(dates[[3, 6]]) and pd.isna(table["recovery"].iloc[2])
    assert table["bars_under_water"].tolist() == [2, 2, 2] and table["bars_to_valley"].tolist() == [1, 1, 1]
    assert report.drawdowns(top=1).equals(table.iloc[:1]) and report.drawdowns(top=np.int64(10)).equals(table)
    # No drawdown: no rows, the same columns and types.
    empty = held_report([10, 10, 11, 12, 12]).drawdowns()
    assert empty.empty and list(empty.columns) == COLUMNS and empty.dtypes.equals(table.dtypes)


@pytest.mark.parametrize(
    "top, error", [(0, ValueError), (-2, ValueError), (2.0, TypeError), (True, TypeError), ("3", TypeError)]
)
def test_report_drawdowns_refuses_a_bad_top(top, error):
    with pytest.raises(error, match="^top: expected a positive int or None; found"):
        held_report([10, 10, 9, 10]).drawdowns(top=top)


def test_max_drawdown_duration_is_the_longest_stretch_under_water():
    # A deep short fall (peak bar 1 to recovery bar 3) and a shallow long one (bar 3 to bar 8).
    path = [10, 10, 5, 10, 9.9, 9.9, 9.8, 9.9, 10.5, 10.6]
    report = held_report(path)
    assert st.max_drawdown_duration(np.asarray(path)) == 5
    s = report.stats()
    assert s["max_drawdown_duration"] == 5 and s["max_drawdown"] == pytest.approx(-0.5)
    assert report.drawdowns()["bars_under_water"].tolist() == [2, 5]
    # Not recovered: to the last bar.
    assert st.max_drawdown_duration([1.0, 2.0, 1.5, 1.9]) == 2 and st.max_drawdown_duration([1.0, 1.0]) == 0
