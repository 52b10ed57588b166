"""torvex.compare: statistics side by side, curves rebased at the common start, the page, refusals."""

import html

import numpy as np
import pandas as pd
import pytest
from pandas.testing import assert_series_equal

import torvex
from torvex.report import STAT_NAMES


@pytest.fixture(scope="module")
def runs(universe, momentum):
    """Three runs starting on different bars; one on a weekly calendar of its own."""
    weekly = {k: v.iloc[::5] for k, v in universe.items()}
    return {
        "monthly": torvex.backtest(momentum, universe),
        "late <start> & stops": torvex.backtest(momentum.iloc[4:], universe, stop_loss=0.04),
        "weekly bars": torvex.backtest(weekly["close"].notna(), weekly, resample="QE"),
    }


@pytest.mark.parametrize("as_list", [False, True])
def test_stats_are_each_reports_stats(runs, as_list):
    given = list(runs.values()) if as_list else runs
    c = torvex.compare(given)
    names = [str(i) for i in range(len(runs))] if as_list else list(runs)
    assert list(c.stats.columns) == names == list(c.names)
    assert list(c.stats.index) == list(STAT_NAMES) and (c.stats.dtypes == np.float64).all()
    for name, report in zip(names, runs.values()):
        assert_series_equal(c.stats[name], report.stats(), check_names=False, check_exact=True)
        assert list(c.periods[name]) == [report.start, report.end]
    assert c.common_start == max(r.start for r in runs.values())


def test_plot_rebases_every_curve_at_the_common_start(runs, universe):
    pytest.importorskip("matplotlib")
    c = torvex.compare(runs)
    start = c.common_start
    bench = universe["close"].iloc[:, 0]
    fig = c.plot(benchmark=bench)
    top, bottom = fig.axes
    lines = {line.get_label(): line for line in top.lines}
    assert list(lines) == [*runs, "benchmark"]
    for (name, report), dd in zip(runs.items(), bottom.lines):
        x, y = pd.DatetimeIndex(lines[name].get_xdata()), np.asarray(lines[name].get_ydata())
        curve = report.creturn
        first = curve.index[curve.index <= start][-1]  # its own bar in force at the common start
        assert x[0] == first and y[0] == 1.0 and x.equals(curve.loc[first:].index)
        np.testing.assert_allclose(y, curve.loc[first:] / curve.loc[first], rtol=1e-15)
        np.testing.assert_allclose(dd.get_ydata(), y / np.maximum.accumulate(y) - 1, atol=1e-15)
    b = np.asarray(lines["benchmark"].get_ydata())
    assert b[0] == 1.0 and pd.DatetimeIndex(lines["benchmark"].get_xdata())[0] == start
    np.testing.assert_allclose(b, (bench / bench.loc[start]).loc[start:].dropna(), rtol=1e-15)


def test_plot_draws_the_first_reports_benchmark_by_default(runs, universe, momentum):
    pytest.importorskip("matplotlib")
    own = torvex.backtest(momentum, universe, benchmark="S0003")
    labels = [line.get_label() for line in torvex.compare({"own": own, **runs}).plot().axes[0].lines]
    assert labels == ["own", *runs, "benchmark (S0003)"]
    assert "benchmark" not in [line.get_label() for line in torvex.compare(runs).plot().axes[0].lines]


def test_html_page_names_every_report(runs, tmp_path):
    pytest.importorskip("matplotlib")
    c = torvex.compare(runs)
    page = c.to_html(tmp_path / "c.html")
    assert (tmp_path / "c.html").read_text(encoding="utf-8") == page
    assert page.count('src="data:image/png;base64,') == 1 and "http" not in page
    assert "late &lt;start&gt; &amp; stops" in page and "late <start>" not in page
    for name, report in runs.items():
        assert f"<th>{html.escape(name)}</th>" in page and f"<td>{report.stats()['total_return']:.2%}</td>" in page
    runs_table = page[page.index('id="runs"') :]
    trades = "".join(f"<td>{len(r.trades):,}</td>" for r in runs.values())
    warnings = "".join(f"<td>{len(r.warnings):,}</td>" for r in runs.values())
    assert f"<td>trades</td>{trades}" in runs_table and f"<td>warnings</td>{warnings}" in runs_table
    assert all(n.split()[0] in repr(c) for n in runs) and "<table>" in c._repr_html_()


@pytest.mark.parametrize(
    "given, error, match",
    [
        (lambda r: {}, ValueError, "reports: expected at least one report; found an empty dict"),
        (lambda r: [], ValueError, "reports: expected at least one report"),
        (lambda r: "abc", TypeError, "reports: expected a mapping"),
        (lambda r: {"a": r, "b": 1.5}, TypeError, "reports: expected torvex Reports; found float for 'b'"),
        (lambda r: r, TypeError, "found a single Report"),
        (lambda r: {1: r, "1": r}, ValueError, "reports: expected distinct names; found '1' twice"),
    ],
)
def test_refusals_name_reports(runs, given, error, match):
    with pytest.raises(error, match=match):
        torvex.compare(given(runs["monthly"]))


def test_refuses_mixed_zones_and_bad_benchmarks(runs, universe, momentum):
    zoned = {k: v.tz_localize("UTC") for k, v in universe.items()}
    aware = torvex.backtest(momentum.tz_localize("UTC"), zoned)
    with pytest.raises(ValueError, match="reports: expected dates all tz-naive or all tz-aware"):
        torvex.compare({"naive": runs["monthly"], "aware": aware})
    c = torvex.compare(runs)
    bad = universe["close"].iloc[:, 0].copy()
    bad.iloc[300] = -1.0
    with pytest.raises(ValueError, match=r"benchmark: expected positive finite prices; found -1\.0 on"):
        c.plot(benchmark=bad)
    with pytest.raises(ValueError, match="benchmark: dates are in UTC but the reports' are tz-naive"):
        c.plot(benchmark=zoned["close"].iloc[:, 0])
    with pytest.raises(TypeError, match="benchmark: expected a Series"):
        c.plot(benchmark=[1.0, 2.0])
