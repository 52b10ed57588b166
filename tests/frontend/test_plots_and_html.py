"""Figures and the HTML page, headless; a clear ImportError without matplotlib."""

import builtins
import pickle
import warnings
import re

import pandas as pd
import pytest

import torvex

matplotlib = pytest.importorskip("matplotlib")


@pytest.fixture(scope="module")
def report(universe, momentum):
    return torvex.backtest(momentum, universe, stop_loss=0.06)


def test_figures(report, universe):
    fig = report.plot()
    assert [a.get_ylabel() for a in fig.axes] == ["equity", "drawdown"]
    assert report.plot() is fig  # built once
    bench = report.plot(benchmark=universe["close"]["S0001"].ffill())
    assert len(bench.axes[0].lines) == 2
    scatter = report.plot_trades()
    n = sum(len(c.get_offsets()) for c in scatter.axes[0].collections)
    assert n == int((report.trades["exit_bar"] != -1).sum())
    heat = report.plot_monthly()
    assert heat.axes[0].get_title(loc="left") == "Monthly returns"
    # Figures are left out of a pickle and drawn again on demand.
    back = pickle.loads(pickle.dumps(report))
    assert back.plot() is not fig and len(back.plot().axes) == 2


def test_monthly_table_compounds_the_returns(report):
    from torvex.plotting import monthly_returns

    table = monthly_returns(report)
    total = (1 + table.stack()).prod() - 1
    assert total == pytest.approx(report.stats()["total_return"], rel=1e-9)


def test_html_page(report, tmp_path):
    path = tmp_path / "r.html"
    page = report.to_html(path)
    assert path.read_text(encoding="utf-8") == page
    assert len(re.findall(r'src="data:image/png;base64,', page)) == 4  # equity, rolling Sharpe, monthly returns, trades
    for section in ("Statistics", "Trades", "Next actions", "Trade list"):
        assert f">{section}" in page
    assert "http" not in page.replace("http-equiv", "")  # self-contained: nothing fetched
    assert "<table>" in report._repr_html_()


def test_missing_matplotlib_names_the_package(report, monkeypatch):
    real = builtins.__import__

    def no_mpl(name, *a, **k):
        if name.startswith("matplotlib"):
            raise ImportError("no matplotlib")
        return real(name, *a, **k)

    from torvex import plotting

    monkeypatch.setattr(builtins, "__import__", no_mpl)
    with pytest.raises(ImportError, match="need matplotlib: pip install matplotlib$"):
        plotting.plot_monthly(report)


def test_page_of_a_run_without_trades(tmp_path):
    # One bar: nothing is traded yet, but the page (and its empty figures) still renders.
    d = pd.date_range("2024-01-01", periods=1)
    r = torvex.backtest(pd.DataFrame({"A": [1.0]}, index=d), pd.DataFrame({"A": [10.0]}, index=d))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        page = r.to_html(tmp_path / "empty.html")
    assert "enter" in page


def test_page_sections_with_a_benchmark(universe, momentum):
    report = torvex.backtest(momentum, universe, stop_loss=0.06, benchmark="S0003")
    page = report.to_html()
    for section in ("stats", "drawdowns", "rolling", "monthly", "trades-plot", "next", "trade-list"):
        assert f'id="{section}"' in page, section
    assert "Benchmark: S0003." in page and ">tracking_error<" in page and ">correlation<" in page
    # The five deepest drawdowns, deepest first, their depths as the table gives them.
    depths = [f"{d:.2%}" for d in report.drawdowns(top=5)["depth"]]
    at = [page.index(f"<td>{d}</td>") for d in depths]
    assert at == sorted(at)
    # The trade list is newest first: the last recorded trade's entry date comes before the first one's.
    t = report.trades
    listing = page[page.index('id="trade-list"') :]
    last, first = t["entry_date"].iloc[-1].strftime("%Y-%m-%d"), t["entry_date"].iloc[0].strftime("%Y-%m-%d")
    assert listing.index(last) < listing.rindex(first)
    # The equity figure draws the benchmark; the rolling one adds beta.
    assert [line.get_label() for line in report.plot().axes[0].get_lines()] == ["strategy", "S0003"]
    assert [a.get_ylabel() for a in report.plot_rolling(21).axes] == ["Sharpe", "beta"]
