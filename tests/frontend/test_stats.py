"""Report.stats against empyrical-reloaded on the same returns, and against hand-computed values."""

import warnings

import numpy as np
import pandas as pd
import pytest

import torvex
from torvex import stats as st

empyrical = pytest.importorskip("empyrical")


@pytest.fixture(scope="module")
def report(universe, momentum):
    return torvex.backtest(momentum, universe, stop_loss=0.08)


def test_return_figures_agree_with_empyrical(report):
    r = report.returns
    s = report.stats(risk_free=0.02)
    rf = 0.02 / 252
    assert s["annual_volatility"] == pytest.approx(empyrical.annual_volatility(r), rel=1e-12, abs=1e-12)
    assert s["cagr"] == pytest.approx(empyrical.cagr(r), rel=1e-12, abs=1e-12)
    assert s["sharpe"] == pytest.approx(empyrical.sharpe_ratio(r, risk_free=rf), rel=1e-12, abs=1e-12)
    assert s["sortino"] == pytest.approx(empyrical.sortino_ratio(r, required_return=rf), rel=1e-12, abs=1e-12)
    assert s["max_drawdown"] == pytest.approx(empyrical.max_drawdown(r), rel=1e-12, abs=1e-12)
    assert s["calmar"] == pytest.approx(empyrical.calmar_ratio(r), rel=1e-12, abs=1e-12)
    assert s["total_return"] == pytest.approx(empyrical.cum_returns_final(r), rel=1e-12, abs=1e-12)


def test_benchmark_figures_agree_with_empyrical(report, universe):
    bench = universe["close"]["S0002"].ffill()
    s = report.stats(benchmark=bench, risk_free=0.01)
    r = report.returns
    b = bench.reindex(r.index.union([report.start])).pct_change().reindex(r.index)
    alpha, beta = empyrical.alpha_beta(r, b, risk_free=0.01 / 252)
    assert s["beta"] == pytest.approx(beta, rel=1e-12)
    assert s["alpha"] == pytest.approx(alpha, rel=1e-12)
    assert s["information_ratio"] == pytest.approx(empyrical.excess_sharpe(r, b) * np.sqrt(252), rel=1e-12)
    # The same benchmark's returns compounded back into prices.
    base = pd.Series([1.0], index=[report.start])
    s2 = report.stats(benchmark=pd.concat([base, (1 + b).cumprod()]), risk_free=0.01)
    assert s2["beta"] == pytest.approx(beta, rel=1e-12)


def test_worked_series():
    # Four bars of returns +10%, -20%, +5%, +10%: values 1.1, 0.88, 0.924, 1.0164.
    r = np.array([0.10, -0.20, 0.05, 0.10])
    assert st.total_return(r) == pytest.approx(0.0164, abs=1e-15)
    # Peak 1.1, trough 0.88: drawdown -20%.
    assert st.max_drawdown(r) == pytest.approx(-0.2, abs=1e-15)
    # Mean 0.0125; squared deviations sum to 0.061875, sample std sqrt(0.061875 / 3) = 0.143614...;
    # Sharpe with 4 bars a year = 0.0125 / 0.143614 * sqrt(4) = 0.174078.
    assert st.sharpe(r, periods_per_year=4) == pytest.approx(0.0125 / np.sqrt(0.061875 / 3) * 2, rel=1e-14)
    # Downside: only -0.2 counts: sqrt(0.04 / 4) * 2 = 0.2; Sortino = 0.0125 * 4 / 0.2 = 0.25.
    assert st.sortino(r, periods_per_year=4) == pytest.approx(0.25, rel=1e-14)
    # One year of four bars: CAGR is the total return.
    assert st.cagr(r, periods_per_year=4) == pytest.approx(0.0164, rel=1e-13)
    # Values 1, 1.1, 0.88, 0.924, 1.0164: below the 1.1 peak from bar 1 until the end (bar 4).
    assert st.max_drawdown_duration(np.r_[1.0, np.cumprod(1 + r)]) == 3


def test_trade_figures_by_hand():
    # Two stocks bought on bar 1 at 10; A ends +20% at the rebalance, B -10%: no fees.
    dates = pd.date_range("2024-01-01", periods=4, freq="D")
    price = pd.DataFrame({"A": [10, 10, 11, 12.0], "B": [10, 10, 9.5, 9.0]}, index=dates)
    pos = pd.DataFrame({"A": [0.5, 0.0], "B": [0.5, 0.0]}, index=dates[[0, 2]])
    s = torvex.backtest(pos, price, fee_ratio=0, tax_ratio=0).stats()
    # Sold at bar 3's close: A +20%, B -10%.
    assert s["trades"] == 2 and s["win_rate"] == 0.5
    assert s["avg_win"] == pytest.approx(0.2) and s["avg_loss"] == pytest.approx(-0.1)
    assert s["profit_factor"] == pytest.approx(2.0) and s["expectancy"] == pytest.approx(0.05)
    assert s["avg_holding_bars"] == 2
    # Returns start at bar 0 (the signal bar); positions are held at the close of bars 1 and 2 of bars 1..3.
    assert s["exposure"] == pytest.approx(2 / 3)
    # Bought 1.0 gross and sold 1.0: one-way turnover 1.0 over 3 bars of 252 a year (weekdays only).
    assert s["turnover"] == pytest.approx(1.0 / (3 / 252))
    assert s["total_return"] == pytest.approx(0.05)


def test_stable_index_and_types(report):
    s = report.stats()
    assert list(s.index) == list(torvex.report.STAT_NAMES)
    # One shape on every run: a float64 Series, so rounding and arithmetic work and sweep tables are numeric.
    assert s.dtype == np.float64 and s.round(3).dtype == np.float64
    assert float(s["trades"]).is_integer() and s["trades"] == len(report.trades)
    assert np.isnan(s[["alpha", "beta", "information_ratio"]]).all()
    assert report.start <= report.end == report.creturn.index[-1]


@pytest.mark.parametrize(
    "freq,expected", [("B", 252), ("D", 365), ("W-FRI", 52), ("ME", 12), ("QE", 4), ("YE", 1), ("h", 252 * 24)]
)
def test_periods_per_year(freq, expected):
    assert st.periods_per_year(pd.date_range("2021-01-01", periods=24 * 10, freq=freq)) == expected


def test_turnover_sum_over_sparse_rows_equals_the_dense_sum():
    from torvex.report import _cells, _row_changes

    rng = np.random.default_rng(0)
    for _ in range(200):
        table = rng.choice([0, 0, 0, 0.2, -0.3, 0.5, 1.1], size=(rng.integers(1, 8), rng.integers(1, 6)))
        rows = np.sort(rng.choice(len(table), size=rng.integers(1, len(table) + 1), replace=False))
        t = table[rows] / np.maximum(1, np.abs(table[rows]).sum(axis=1, keepdims=True))
        dense = np.abs(t[0]).sum() + np.abs(np.diff(t, axis=0)).sum()
        assert _row_changes(*_cells(table, rows), len(rows), table.shape[1]) == pytest.approx(dense, abs=1e-12)


def test_returns_start_at_the_first_row_that_holds_anything():
    dates = pd.date_range("2024-01-01", periods=6, freq="B")
    price = pd.DataFrame({"A": [10, 10, 10, 10, 11, 12.0]}, index=dates)
    # Rows of cash while a signal warms up, then A from bar 2's row (traded on bar 3).
    pos = pd.DataFrame({"A": [0.0, 0.0, 1.0]}, index=dates[:3])
    r = torvex.backtest(pos, price, fee_ratio=0, tax_ratio=0)
    assert r.start == dates[2] and r.returns.index[0] == dates[3]
    assert r.stats()["bars"] == 3 and r.stats()["exposure"] == 1.0


@pytest.fixture(scope="module")
def short_squeeze():
    """A short of the whole equity through a price that triples: the value falls below 0."""
    dates = pd.date_range("2024-01-01", periods=5)
    price = pd.DataFrame({"A": [10.0, 10.0, 25.0, 30.0, 31.0]}, index=dates)
    return torvex.backtest(pd.DataFrame({"A": [-1.0]}, index=dates[:1]), price, fee_ratio=0, tax_ratio=0)


def test_a_value_below_zero_gives_nan_figures_without_numpy_warnings(short_squeeze):
    assert short_squeeze.creturn.iloc[-1] < 0
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        s = short_squeeze.stats(periods_per_year=10)  # a fractional power of a negative growth
    assert np.isnan(s["cagr"]) and s["total_return"] == pytest.approx(-2.1)


@pytest.mark.parametrize(
    "kwargs, exc, text",
    [
        (dict(risk_free="0.02"), TypeError, "risk_free"),
        (dict(risk_free=float("nan")), ValueError, "risk_free"),
        (dict(risk_free=float("inf")), ValueError, "risk_free"),
        (dict(risk_free=10**400), ValueError, "risk_free"),
        (dict(periods_per_year=0), ValueError, "periods_per_year"),
        (dict(periods_per_year=-12), ValueError, "periods_per_year"),
        (dict(periods_per_year=float("nan")), ValueError, "periods_per_year"),
        (dict(periods_per_year=True), TypeError, "periods_per_year"),
        (dict(periods_per_year="252"), TypeError, "periods_per_year"),
    ],
)
def test_stats_arguments_are_checked(short_squeeze, kwargs, exc, text):
    with pytest.raises(exc, match=text):
        short_squeeze.stats(**kwargs)


def test_stats_takes_any_positive_number_of_bars_per_year(short_squeeze):
    base = short_squeeze.stats(periods_per_year=12)
    assert short_squeeze.stats(periods_per_year=np.int64(12)).equals(base)
    assert short_squeeze.stats(periods_per_year=12.0).equals(base)
    assert np.isfinite(short_squeeze.stats(periods_per_year=10**30)["annual_volatility"])


def test_excursion_means_of_trades_without_excursions_are_nan_without_a_warning():
    from torvex.report import _trade_figures

    fills = {k: np.array([v]) for k, v in dict(pnl=0.1, committed=1.0, fees=0.0, taxes=0.0).items()}
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        out = _trade_figures(np.array([0]), np.array([2]), np.full((1, 6), np.nan), 3, fills)
    assert np.isnan(out["avg_mae"]) and np.isnan(out["avg_mfe"]) and out["win_rate"] == 1.0


def test_a_run_that_loses_everything_gives_its_figures_without_warnings():
    # A short of the whole equity through a doubling: a value of exactly 0, then 0 / 0 returns.
    dates = pd.date_range("2024-01-01", periods=5)
    price = pd.DataFrame({"A": [10.0, 10.0, 20.0, 20.0, 20.0]}, index=dates)
    report = torvex.backtest(pd.DataFrame({"A": [-1.0]}, index=dates[:1]), price, fee_ratio=0, tax_ratio=0)
    assert report.creturn.tolist() == [1.0, 1.0, 0.0, 0.0, 0.0]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        text, s, roll = repr(report), report.stats(), report.rolling(2)
    assert "-100.00%" in text and s["total_return"] == -1.0 and s["max_drawdown"] == -1.0
    assert roll.index.equals(report.returns.index)


def test_a_benchmark_return_beyond_the_float_range_leaves_alpha_and_beta_nan_quietly():
    dates = pd.date_range("2024-01-01", periods=6)
    price = pd.DataFrame({"A": [10.0, 10.0, 11.0, 12.0, 11.0, 12.0]}, index=dates)
    bench = pd.Series([100.0, 100.0, 1e-310, 100.0, 101.0, 102.0], index=dates)  # positive finite prices
    report = torvex.backtest(pd.DataFrame({"A": [1.0]}, index=dates[:1]), price, benchmark=bench)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        s = report.stats()
    assert np.isnan(s["beta"]) and np.isnan(s["alpha"]) and np.isfinite(s["sharpe"])
