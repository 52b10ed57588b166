"""Report.rolling against the figures of each window computed by a plain loop over the windows."""

import warnings

import numpy as np
import pandas as pd
import pytest

import torvex
from torvex import stats as st
from torvex.datasets import synthetic_universe


@pytest.fixture(scope="module")
def reports(universe, momentum):
    """A monthly momentum run; weekly rebalances of random long and short weights, on dates of a time
    zone, out of the market for a while, against a benchmark listed late that stands still for a
    while; the same on weekly bars (52 a year)."""
    price = synthetic_universe(n_stocks=8, n_bars=500, seed=9).tz_localize("Asia/Taipei")
    rng = np.random.default_rng(9)
    weights = pd.DataFrame(rng.choice([0.0, 0.3, -0.2], size=price.shape), index=price.index, columns=price.columns)
    weights = weights.where(price.notna(), 0.0)
    weights.iloc[300:380] = 0.0
    bench = price.iloc[:, 0].copy()
    bench.iloc[:60] = np.nan
    bench.iloc[200:240] = bench.iloc[200]
    return [
        torvex.backtest(momentum, universe, stop_loss=0.08),
        torvex.backtest(weights, price, resample="W", benchmark=bench),
        torvex.backtest(weights.iloc[::5], price.iloc[::5], benchmark=bench.iloc[::5]),
    ]


def window_figures(report, window):
    """return, volatility, sharpe, drawdown (and beta with a benchmark) of each row's window, by the
    definitions (NaN where the window reaches back before the start)."""
    r = report.returns
    root = np.sqrt(st.periods_per_year(report.creturn.index))
    out = np.full((len(r), 5), np.nan)
    p = report.benchmark
    b = (p.iloc[1:].to_numpy() / p.iloc[:-1].to_numpy() - 1)[-len(r) :] if p is not None else np.full(len(r), np.nan)
    for i, t in enumerate(r.index):
        if isinstance(window, int):
            if i < window - 1:
                continue
            inside = np.arange(len(r)) > i - window
        else:
            span = pd.Timedelta(window)
            if t - span < report.start:
                continue
            inside = r.index > t - span
        inside &= np.arange(len(r)) <= i
        x, bx = r.to_numpy()[inside], b[inside]
        curve = np.r_[1.0, np.cumprod(1 + x)]
        std = (0.0 if x.min() == x.max() else np.std(x, ddof=1)) if x.size > 1 else np.nan
        drawdown = (curve / np.maximum.accumulate(curve)).min() - 1
        out[i, :4] = [curve[-1] - 1, std * root, x.mean() / std * root, drawdown]
        pair = ~np.isnan(bx)  # returns are never NaN here
        if pair.sum() >= 2 and (pair.all() or not isinstance(window, int)) and np.var(bx[pair]) > 0:
            out[i, 4] = np.cov(x[pair], bx[pair])[0, 1] / np.var(bx[pair], ddof=1)
    columns = ["return", "volatility", "sharpe", "drawdown", "beta"]
    return pd.DataFrame(out, index=r.index, columns=columns).iloc[:, : 4 if p is None else 5]


@pytest.mark.parametrize("window", [2, 5, 63, 300, 1000, "1D", "30D", "91D", pd.Timedelta(hours=24 * 45)])
def test_rolling_figures_match_a_loop_over_the_windows(reports, window):
    for report in reports:
        got = report.rolling(window)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            want = window_figures(report, window)
        assert list(got.columns) == list(want.columns) and got.index.equals(report.returns.index)
        assert (got.dtypes == np.float64).all()
        pd.testing.assert_frame_equal(got, want, rtol=1e-9, atol=1e-12)


@pytest.mark.parametrize(
    "window, error, found",
    [
        (1, ValueError, "found 1$"),
        (0, ValueError, "found 0$"),
        (True, TypeError, "found bool"),
        (2.5, TypeError, "found float"),
        (None, TypeError, "found NoneType"),
        ("3ME", ValueError, "found '3ME', a calendar span of varying length"),
        ("W", ValueError, "varying length"),
        ("5B", ValueError, "varying length"),
        ("63", ValueError, "not a pandas frequency"),
        ("0D", ValueError, "not a positive span"),
        (pd.Timedelta("-3D"), ValueError, "not a positive span"),
    ],
)
def test_rolling_refuses_a_window_that_cannot_work(reports, window, error, found):
    with pytest.raises(error, match="^window: expected an int number of bars .*" + found):
        reports[0].rolling(window)


def test_a_benchmark_jump_beyond_the_float_range_is_quiet():
    # Positive finite prices, 1e-310 then 100 again: a return of 1e312, an overflow to inf.
    dates = pd.bdate_range("2024-01-01", periods=12)
    price = pd.DataFrame({"A": np.linspace(10.0, 12.0, 12)}, index=dates)
    bench = pd.Series(100.0, index=dates)
    bench.iloc[6] = 1e-310
    report = torvex.backtest(price.notna(), price, benchmark=bench, fee_ratio=0, tax_ratio=0)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        roll = report.rolling(2)
    assert np.isinf(roll["beta"].dropna()).sum() == 0 and len(roll) == len(report.returns)
