"""The progress bar and the heatmap of a sweep."""

import sys

import numpy as np
import pandas as pd
import pytest

from torvex._sweep import plot_sweep, sweep


def test_progress_is_quiet_off_a_terminal_unless_asked(top5, price, capfd):
    sweep(top5, price, {"stop_loss": [0.05, 0.1]}, n_jobs=1)
    assert capfd.readouterr().err == ""
    sweep(top5, price, {"stop_loss": [0.05, 0.1]}, n_jobs=1, progress="always")
    err = capfd.readouterr().err
    assert "sweep" in err and "2/2" in err


def sample_result():
    idx = pd.MultiIndex.from_product([[0.05, 0.1, np.nan], [0.1, 0.2]], names=["stop_loss", "take_profit"])
    return pd.DataFrame({"sharpe": [0.1, 0.4, 0.3, np.nan, 0.5, 0.6], "error": None}, index=idx)


def test_heatmap_rows_and_columns_are_the_two_parameters():
    pytest.importorskip("matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    fig = plot_sweep(sample_result(), "sharpe")
    ax = fig.axes[0]
    img = ax.images[0].get_array()
    # rows: stop_loss 0.05, 0.1, default; columns: take_profit 0.1, 0.2
    np.testing.assert_array_equal(img.filled(np.nan), [[0.1, 0.4], [0.3, np.nan], [0.5, 0.6]])
    assert [t.get_text() for t in ax.get_yticklabels()] == ["0.05", "0.1", "default"]
    assert ax.get_xlabel() == "take_profit" and ax.get_ylabel() == "stop_loss"
    assert "n/a" in [t.get_text() for t in ax.texts]


def test_heatmap_of_a_larger_grid_needs_an_aggregate():
    pytest.importorskip("matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    idx = pd.MultiIndex.from_product([[1, 2], [3, 4], [5, 6]], names=["a", "b", "c"])
    res = pd.DataFrame({"sharpe": np.arange(8.0)}, index=idx)
    with pytest.raises(ValueError, match="also varies \\['c'\\].*agg="):
        plot_sweep(res, "sharpe", x="b", y="a")
    fig = plot_sweep(res, "sharpe", x="b", y="a", agg="max")
    # a=1, b=3: runs 0 (c=5) and 1 (c=6), the larger is 1
    np.testing.assert_array_equal(fig.axes[0].images[0].get_array(), [[1, 3], [5, 7]])
    with pytest.raises(ValueError, match="stat: expected a column.*'sharp'"):
        plot_sweep(res, "sharp", x="b", y="a", agg="max")


def test_heatmaps_leave_no_pyplot_figure_open():
    import matplotlib.pyplot as plt

    before = plt.get_fignums()
    for _ in range(3):
        plot_sweep(sample_result(), "sharpe")
    assert plt.get_fignums() == before


def test_heatmap_without_matplotlib_names_the_package(monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
    with pytest.raises(ImportError, match="needs matplotlib: pip install matplotlib$"):
        plot_sweep(sample_result(), "sharpe")
