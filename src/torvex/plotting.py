"""Figures of a :class:`torvex.Report` (matplotlib, from the ``plot`` extra).

matplotlib is imported inside each function, so the rest of torvex works
without it.  Figures are built with the object-oriented API
(:class:`matplotlib.figure.Figure`), not pyplot, so they need no display and
are not kept alive by pyplot's figure registry.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np
import pandas as pd

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from torvex.report import Report

__all__ = ["plot_equity", "plot_trades", "plot_monthly", "plot_rolling", "monthly_returns"]


def _figure(figsize, *grid, **kwargs):
    """A Figure of size ``figsize`` with constrained layout and its axes (``fig.subplots(*grid, **kwargs)``)."""
    try:
        from matplotlib.figure import Figure
    except ImportError as exc:
        raise ImportError("torvex plots need matplotlib: pip install matplotlib") from exc
    fig = Figure(figsize=figsize, layout="constrained")
    return fig, fig.subplots(*grid, **kwargs)


def plot_equity(report, benchmark=None):
    """Equity curve (top) and drawdown (bottom) of ``report`` from its start, with its benchmark's prices.

    Parameters
    ----------
    report : Report
    benchmark : Series or Report, optional
        Benchmark prices by date, or another report (its equity curve),
        instead of the run's benchmark (``report.benchmark``).  Drawn as a
        grey line labelled with the benchmark's name (else "benchmark"),
        rebased to the strategy's value at ``report.start`` (where the
        benchmark starts later, at its first bar).

    Returns
    -------
    matplotlib.figure.Figure

    Examples
    --------
    >>> import torvex
    >>> from torvex.datasets import synthetic_universe
    >>> price = synthetic_universe(n_stocks=3, n_bars=120, seed=2)
    >>> fig = plot_equity(torvex.backtest(price.notna(), price, resample="ME"))
    >>> [ax.get_ylabel() for ax in fig.axes]
    ['equity', 'drawdown']
    """
    fig, (top, bottom) = _figure((10, 5.5), 2, 1, sharex=True, height_ratios=(3, 1))
    equity = report.creturn.loc[report.start :]
    top.plot(equity.index, equity.to_numpy(), color="#1f4e79", lw=1.3, label="strategy")
    prices, name = report._benchmark_prices(benchmark)
    if prices is not None:
        p = prices[len(prices) - len(equity) :]
        have = np.flatnonzero(~np.isnan(p))
        if have.size:
            first = int(have[0])
            curve = p / p[first] * equity.to_numpy()[first]
            top.plot(equity.index, curve, color="#999999", lw=1.0, label="benchmark" if name is None else str(name))
            top.legend(loc="upper left", frameon=False)
    top.set_ylabel("equity")
    top.grid(alpha=0.3)
    top.set_title("Equity and drawdown", loc="left")
    dd = report.drawdown.loc[report.start :]
    bottom.fill_between(dd.index, dd.to_numpy(), 0.0, color="#b22222", alpha=0.5, lw=0)
    bottom.set_ylabel("drawdown")
    bottom.yaxis.set_major_formatter(_percent())
    bottom.grid(alpha=0.3)
    return fig


def plot_trades(report):
    """Each closed trade's maximum adverse excursion against its return; winners and losers in two colours.

    Returns
    -------
    matplotlib.figure.Figure

    Examples
    --------
    >>> import torvex
    >>> from torvex.datasets import synthetic_universe
    >>> price = synthetic_universe(n_stocks=3, n_bars=120, seed=2)
    >>> fig = plot_trades(torvex.backtest(price.notna(), price, resample="ME"))
    >>> fig.axes[0].get_xlabel()
    'MAE (worst excursion against the trade)'
    """
    fig, ax = _figure((7, 5))
    t = report.trades
    t = t[t["exit_bar"] != -1]
    win = t["pnl"] > 0
    # MAE as the trades table holds it: the worst excursion against the trade, 0 or below.
    for mask, colour, label in ((win, "#2e7d32", "winners"), (~win, "#c62828", "losers")):
        ax.scatter(
            t.loc[mask, "mae"],
            t.loc[mask, "return"],
            s=12,
            alpha=0.6,
            color=colour,
            label=f"{label} ({int(mask.sum())})",
        )
    ax.axhline(0.0, color="black", lw=0.6)
    ax.axvline(0.0, color="black", lw=0.6)
    ax.set_xlabel("MAE (worst excursion against the trade)")
    ax.set_ylabel("return")
    ax.xaxis.set_major_formatter(_percent())
    ax.yaxis.set_major_formatter(_percent())
    ax.grid(alpha=0.3)
    ax.legend(frameon=False)
    ax.set_title("Trades: adverse excursion and return", loc="left")
    return fig


def monthly_returns(report) -> pd.DataFrame:
    """Compounded returns by calendar month: years x months (1..12), NaN outside the run.

    Examples
    --------
    >>> import torvex
    >>> from torvex.datasets import synthetic_universe
    >>> price = synthetic_universe(n_stocks=3, n_bars=120, seed=2)
    >>> table = monthly_returns(torvex.backtest(price.notna(), price, resample="ME"))
    >>> list(table.columns) == list(range(1, 13))
    True
    """
    r = report.returns
    idx = r.index.tz_localize(None) if r.index.tz is not None else r.index
    grouped = (1.0 + pd.Series(r.to_numpy(), index=idx)).groupby([idx.year, idx.month]).prod() - 1.0
    table = grouped.unstack()
    return table.reindex(columns=range(1, 13)).rename_axis(index="year", columns="month")


def plot_monthly(report):
    """Heatmap of monthly returns (rows years, columns months), each cell labelled in per cent.

    Returns
    -------
    matplotlib.figure.Figure

    Examples
    --------
    >>> import torvex
    >>> from torvex.datasets import synthetic_universe
    >>> price = synthetic_universe(n_stocks=3, n_bars=120, seed=2)
    >>> fig = plot_monthly(torvex.backtest(price.notna(), price, resample="ME"))
    >>> fig.axes[0].get_title(loc="left")
    'Monthly returns'
    """
    table = monthly_returns(report)
    values = table.to_numpy(dtype=float)
    fig, ax = _figure((11, 0.55 * max(len(table), 2) + 1.3))
    ax.set_title("Monthly returns", loc="left")
    if not np.isfinite(values).any():
        ax.text(0.5, 0.5, "no returns yet", ha="center", va="center", transform=ax.transAxes)
        ax.set_axis_off()
        return fig
    finite = np.abs(values[np.isfinite(values)])
    lim = float(finite.max()) if finite.size else 0.01
    image = ax.imshow(values, cmap="RdYlGn", vmin=-lim, vmax=lim, aspect="auto")
    ax.set_xticks(range(12), ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"])
    ax.set_yticks(range(len(table)), [str(y) for y in table.index])
    ax.tick_params(length=0)
    for (i, j), v in np.ndenumerate(values):
        if np.isfinite(v):
            # White on the strong colours at either end of the scale, black on the pale middle.
            strong = abs(v) > 0.6 * lim
            ax.text(
                j,
                i,
                f"{v:.1%}",
                ha="center",
                va="center",
                fontsize=9,
                color="white" if strong else "black",
                fontweight="bold" if strong else "normal",
            )
    fig.colorbar(image, ax=ax, format=_percent(), shrink=0.8)
    return fig


def rolling_window(report: Report) -> int:
    """The page's rolling window: half a year of bars, or a quarter of the run when that is shorter
    (at least 2 bars)."""
    return max(2, min(report._periods_per_year() // 2, len(report.returns) // 4))


def plot_rolling(report: Report, window: int | str | pd.Timedelta | None = None) -> Figure:
    """Rolling Sharpe ratio (and, with a benchmark, rolling beta) over ``window`` bars or a time span.

    Parameters
    ----------
    report : Report
    window : int, str or Timedelta, optional
        As :meth:`Report.rolling` takes it; half a year of bars by default
        (a quarter of the run when that is shorter).

    Returns
    -------
    matplotlib.figure.Figure

    Examples
    --------
    >>> import torvex
    >>> from torvex.datasets import synthetic_universe
    >>> price = synthetic_universe(n_stocks=3, n_bars=400, seed=2)
    >>> fig = plot_rolling(torvex.backtest(price.notna(), price, resample="ME"), 63)
    >>> fig.axes[0].get_title(loc="left")
    'Rolling Sharpe ratio, 63 bars'
    """
    window = rolling_window(report) if window is None else window
    roll = report.rolling(window)
    beta = "beta" in roll.columns
    fig, axes = _figure((10, 4.5 if beta else 3), 2 if beta else 1, 1, sharex=True, squeeze=False)
    ax = axes[0, 0]
    what = f"{window} bars" if isinstance(window, (int, np.integer)) else str(window)
    ax.set_title(f"Rolling Sharpe ratio, {what}", loc="left")
    ax.plot(roll.index, roll["sharpe"].to_numpy(), color="#1f4e79", lw=1.1)
    ax.axhline(0.0, color="black", lw=0.6)
    ax.set_ylabel("Sharpe")
    ax.grid(alpha=0.3)
    if beta:
        low = axes[1, 0]
        low.plot(roll.index, roll["beta"].to_numpy(), color="#6a3d9a", lw=1.1)
        low.axhline(1.0, color="#999999", lw=0.6)
        low.set_ylabel("beta")
        low.grid(alpha=0.3)
    return fig


def _percent():
    from matplotlib.ticker import PercentFormatter

    return PercentFormatter(1.0, decimals=0)
