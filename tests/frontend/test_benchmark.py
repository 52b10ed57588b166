"""A benchmark given once: its refusals, its alignment to the bars, its figures against empyrical,
overrides, pickling, the plot and sweeps."""

import pickle
import warnings

import numpy as np
import pandas as pd
import pytest

import torvex
from torvex.datasets import synthetic_universe
from torvex.report import STAT_NAMES
from torvex.stats import periods_per_year

empyrical = pytest.importorskip("empyrical")

FIGURES = ["alpha", "beta", "correlation", "tracking_error", "information_ratio"]


@pytest.fixture(scope="module")
def price():
    return synthetic_universe(n_stocks=8, n_bars=300, seed=11)


def walk(index, seed, start=100.0):
    r = np.random.default_rng(seed).normal(0.0003, 0.012, len(index))
    return pd.Series(start * np.cumprod(1 + r), index=index, name="index")


def reference_alignment(bench, dates):
    """Plain pandas: the last price on or before each bar, only within the benchmark's dates."""
    s = bench.dropna().sort_index()
    out = s.reindex(s.index.union(dates)).ffill().reindex(dates)
    return out.where((dates >= s.index[0]) & (dates <= s.index[-1])).to_numpy()


def run(price, **kw):
    return torvex.backtest(price.notna(), price, resample="ME", **kw)


# ------------------------------------------------------------------ alignment


@pytest.mark.parametrize("seed", range(4))
def test_alignment_by_date_fills_inside_the_overlap_only(price, seed):
    rng = np.random.default_rng(seed)
    # Some bars left out, calendar days the prices lack (weekends) added, a shorter span, NaN prices.
    days = pd.date_range(price.index[0] - pd.Timedelta(days=10), price.index[-1] + pd.Timedelta(days=10))
    bench = walk(days, seed)[rng.random(len(days)) < 0.6]
    bench = bench.iloc[rng.integers(0, 60) : len(bench) - rng.integers(0, 60)]
    bench[rng.random(len(bench)) < 0.05] = np.nan
    got = run(price, benchmark=bench.sample(frac=1, random_state=seed)).benchmark  # order does not matter
    np.testing.assert_array_equal(got.to_numpy(), reference_alignment(bench, price.index))
    assert got.index.equals(price.index) and got.name == "index"


@pytest.mark.parametrize("zone", [None, "America/New_York"])
@pytest.mark.parametrize("stamped", ["benchmark", "price"])
def test_daily_closes_stamped_with_a_time_match_by_calendar_date(price, zone, stamped):
    bars = price.index.tz_localize(zone)
    bench = walk(price.index, 1).tz_localize(zone)
    if stamped == "benchmark":
        bench.index = bench.index + pd.Timedelta(hours=16)
    else:
        bars = bars + pd.Timedelta(hours=16)
    p = price.set_axis(bars)
    got = run(p, benchmark=bench).benchmark.to_numpy()
    np.testing.assert_array_equal(got, bench.to_numpy())  # no day's shift


def test_intraday_bars_match_by_time_not_by_day():
    bars = pd.date_range("2024-01-01 09:00", periods=40, freq="6h")
    p = pd.DataFrame({"A": np.linspace(10, 12, 40)}, index=bars)
    bench = walk(pd.date_range("2024-01-01", periods=10), 2)  # midnights
    got = run(p, benchmark=bench).benchmark
    np.testing.assert_array_equal(got.to_numpy(), reference_alignment(bench, bars))


def test_a_price_column_by_name(price):
    report = run(price, benchmark="S0003")
    np.testing.assert_array_equal(report.benchmark.to_numpy(), reference_alignment(price["S0003"], price.index))
    assert report.benchmark.name == "S0003"


# ------------------------------------------------------------------ refusals


def _refusals(idx):
    other = pd.date_range("2001-01-01", periods=20)
    return {
        "zero": (pd.Series(1.0, idx).mask(idx == idx[5], 0.0), ValueError, "positive finite prices; found 0.0"),
        "negative": (pd.Series(0.01, idx).mask(idx == idx[7], -0.02), ValueError, "(1 + r).cumprod()"),
        "inf": (pd.Series(1.0, idx).mask(idx == idx[3], np.inf), ValueError, "found inf on"),
        "repeated": (pd.Series(1.0, idx[[0, 1, 1, 2]]), ValueError, "each date once; found"),
        "no overlap": (pd.Series(1.0, other), ValueError, "found no overlap"),
        "one common bar": (
            pd.Series(1.0, [idx[-1], idx[-1] + pd.Timedelta(days=3)]),
            ValueError,
            "found only the bar of",
        ),
        "wrong type": ([1.0, 2.0], TypeError, "found list"),
        "frame": (pd.DataFrame({"x": 1.0}, idx), TypeError, "found DataFrame"),
        "not dates": (pd.Series([1.0, 2.0]), TypeError, "indexed by dates"),
        "unknown column": ("NOPE", ValueError, "'NOPE', not among the price columns"),
        "zone": (
            pd.Series(1.0, idx.tz_localize("UTC")),
            ValueError,
            "in time zone UTC but the price dates are tz-naive",
        ),
    }


@pytest.mark.parametrize("case", list(_refusals(pd.date_range("2020-01-01", periods=10))))
def test_refusals_name_the_benchmark(price, case):
    bench, kind, words = _refusals(price.index)[case]
    with pytest.raises(kind, match="^benchmark: ") as exc:
        run(price, benchmark=bench)
    assert words in str(exc.value)
    if case != "unknown column":  # the same rules when stats() is given one
        with pytest.raises(kind, match="^benchmark: "):
            run(price).stats(benchmark=bench)


# ------------------------------------------------------------------ gross returns


def test_gross_returns_given_as_prices_are_warned_about(price):
    gross = 1 + walk(price.index, 4).pct_change().fillna(0)
    with pytest.warns(UserWarning, match="autocorrelation of -0.[45].*\\(1 \\+ r\\).cumprod\\(\\)"):
        report = run(price, benchmark=gross)
    assert any(w.startswith("benchmark: ") for w in report.warnings)


@pytest.mark.parametrize("seed", range(5))
def test_no_warning_on_a_random_walk(price, seed):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        warnings.filterwarnings("ignore", message="delisting: ")  # the universe's delisted stock, noted by the run
        report = run(price, benchmark=walk(price.index, seed))
    assert not any(w.startswith("benchmark") for w in report.warnings)


# ------------------------------------------------------------------ figures


@pytest.mark.parametrize("seed", range(6))
def test_figures_agree_with_empyrical_and_pandas(seed):
    rng = np.random.default_rng(seed)
    price = synthetic_universe(n_stocks=10, n_bars=int(rng.integers(150, 500)), seed=seed)
    bench = walk(price.index, 100 + seed)
    bench = bench.iloc[int(rng.integers(0, 40)) :]  # starts inside the run
    bench[rng.random(len(bench)) < 0.05] = np.nan  # filled inside its dates
    rf = float(rng.uniform(0, 0.05))
    report = torvex.backtest(price.rank(axis=1) <= 3, price, resample="W", stop_loss=0.1, benchmark=bench)
    s = report.stats(risk_free=rf)
    r = report.returns
    b = pd.Series(reference_alignment(bench, price.index), price.index).loc[report.start :]
    b = b.pct_change(fill_method=None).iloc[1:]
    ppy = periods_per_year(price.index)
    alpha, beta = empyrical.alpha_beta(r, b, risk_free=rf / ppy, annualization=ppy)
    both = b.notna()
    want = {
        "alpha": alpha,
        "beta": beta,
        "correlation": r.corr(b),
        "tracking_error": (r - b)[both].std(ddof=1) * np.sqrt(ppy),
        "information_ratio": empyrical.excess_sharpe(r[both], b[both]) * np.sqrt(ppy),
    }
    for k, v in want.items():
        assert s[k] == pytest.approx(v, rel=1e-12, abs=1e-14), k
    assert list(STAT_NAMES[-5:]) == FIGURES and s.dtype == np.float64
    plain = torvex.backtest(price.rank(axis=1) <= 3, price, resample="W", stop_loss=0.1).stats(risk_free=rf)
    assert plain[FIGURES].isna().all() and list(plain.index) == list(s.index)
    assert plain.drop(FIGURES).equals(s.drop(FIGURES))


def test_overrides_by_series_and_by_report(price):
    report = run(price, benchmark="S0001")
    other = run(price, benchmark=price["S0002"])
    assert report.stats().equals(run(price).stats(benchmark=price["S0001"]))
    assert report.stats(benchmark=price["S0002"]).equals(other.stats())
    vs_run = report.stats(benchmark=other)
    assert vs_run.equals(report.stats(benchmark=other.creturn))
    self_ = report.stats(benchmark=report)
    assert self_["beta"] == pytest.approx(1, rel=1e-12) and self_["correlation"] == pytest.approx(1, rel=1e-12)
    assert self_["tracking_error"] == 0
    with pytest.raises(TypeError, match="^benchmark: .*found the str"):
        report.stats(benchmark="S0002")


def test_benchmark_survives_pickling_and_is_read_only(price):
    report = run(price, benchmark=price["S0004"].iloc[40:250])
    back = pickle.loads(pickle.dumps(report))
    assert back.benchmark.equals(report.benchmark) and back.benchmark.name == "S0004"
    assert back.stats().equals(report.stats())
    with pytest.raises(ValueError):
        back.benchmark.to_numpy()[50] = 1.0
    assert run(price).benchmark is None


def test_plot_draws_the_benchmark_rebased(price):
    pytest.importorskip("matplotlib")
    report = run(price, benchmark=price["S0005"].rename("market"))
    (_strategy, bench), start = report.plot().axes[0].lines, report.creturn.index.get_loc(report.start)
    assert bench.get_label() == "market" and bench.get_color() == "#999999"
    want = report.benchmark.iloc[start:] / report.benchmark.iloc[start] * report.creturn.iloc[start]
    np.testing.assert_allclose(bench.get_ydata(), want.to_numpy(), rtol=1e-14)
    assert report.plot(benchmark=report).axes[0].lines[1].get_label() == "benchmark"
    assert len(run(price).plot().axes[0].lines) == 1


# ------------------------------------------------------------------ sweeps


def test_sweep_with_a_benchmark_gives_the_serial_stats(price):
    top = price.rank(axis=1, ascending=False) <= 3
    bench = walk(price.index, 9)
    grid = {"stop_loss": [0.05, None]}
    res = torvex.sweep(top, price, grid, n_jobs=2, chunksize=1, progress=False, resample="ME", benchmark=bench)
    for (sl,), row in res.drop(columns="error").iterrows():
        want = torvex.backtest(
            top, price, resample="ME", stop_loss=None if np.isnan(sl) else sl, benchmark=bench
        ).stats()
        assert row.to_numpy().tobytes() == want.to_numpy().tobytes()
    assert res[FIGURES].notna().all().all()
    with pytest.raises(ValueError, match="^grid: 'benchmark' cannot be swept"):
        torvex.sweep(top, price, {"benchmark": ["S0001", "S0002"]}, n_jobs=1, progress=False)
    with pytest.warns(DeprecationWarning, match="pass benchmark= to sweep") as caught:
        old = torvex.sweep(
            top, price, grid, n_jobs=1, progress=False, resample="ME", stats_options={"benchmark": bench}
        )
    assert sum(issubclass(w.category, DeprecationWarning) for w in caught) == 1
    assert old.drop(columns="error").equals(res.drop(columns="error"))


def test_sweep_places_the_benchmark_once_in_shared_memory(price, monkeypatch):
    from torvex._sweep import _shm
    from torvex._sweep._task import SweepTask

    monkeypatch.setattr(_shm, "MIN_BYTES", 1024)
    bench = walk(price.index, 3)
    arena = _shm.SharedArena()
    try:
        arena.dumps(SweepTask(price.notna(), price, {"benchmark": bench}, [{}] * 50, set(), {}, "stats"))
        assert sum(np.array_equal(a, bench.to_numpy()) for a in arena._keep) == 1
    finally:
        arena.close()
