"""Several reports side by side: :func:`compare` and the :class:`Comparison` it returns."""

from __future__ import annotations

import html as _html
import os
import types
from collections.abc import Mapping
from typing import cast

import numpy as np
import pandas as pd

from torvex.report import STAT_NAMES, Report

__all__ = ["compare", "Comparison"]

# One colour per report, the first that of a single report's equity curve.
_COLOURS = (
    "#1f4e79",
    "#c0504d",
    "#2e7d32",
    "#e69f00",
    "#6a3d9a",
    "#17becf",
    "#8c564b",
    "#e377c2",
    "#7f7f7f",
    "#bcbd22",
)
_BENCHMARK = "#999999"


def _named(reports) -> dict[str, Report]:
    """``reports`` as a dict name -> Report, names as text, or an error naming ``reports``."""
    if isinstance(reports, Report):
        raise TypeError(
            "reports: expected a mapping name -> Report or a list of Reports; found a single Report (pass [report])"
        )
    if isinstance(reports, Mapping):
        items = list(reports.items())
    elif isinstance(reports, (list, tuple)):
        items = [(str(i), r) for i, r in enumerate(reports)]
    else:
        raise TypeError(
            f"reports: expected a mapping name -> Report or a list of Reports; found {type(reports).__name__}"
        )
    if not items:
        raise ValueError(f"reports: expected at least one report; found an empty {type(reports).__name__}")
    out: dict[str, Report] = {}
    for name, report in items:
        if not isinstance(report, Report):
            raise TypeError(f"reports: expected torvex Reports; found {type(report).__name__} for {name!r}")
        text = name if isinstance(name, str) else str(name)
        if text in out:
            raise ValueError(
                f"reports: expected distinct names; found {text!r} twice"
                + ("" if text is name else f" (the name {name!r} as text)")
            )
        out[text] = report
    naive = [n for n, r in out.items() if r.start.tz is None]
    if naive and len(naive) < len(out):
        aware = next(n for n, r in out.items() if r.start.tz is not None)
        raise ValueError(
            f"reports: expected dates all tz-naive or all tz-aware; found {naive[0]!r} tz-naive and"
            f" {aware!r} in {out[aware].start.tz}"
        )
    return out


def _in_zone(ts: pd.Timestamp, index: pd.DatetimeIndex) -> pd.Timestamp:
    return ts if index.tz is None or ts.tz is None else ts.tz_convert(index.tz)


def _rebased(curve: pd.Series, start: pd.Timestamp) -> pd.Series:
    """``curve`` from its last bar at or before ``start`` (its first bar when none), divided by its value there."""
    index = cast(pd.DatetimeIndex, curve.index)  # an equity curve or a benchmark: by date
    at = max(int(index.searchsorted(_in_zone(start, index), side="right")) - 1, 0)
    part = curve.iloc[at:]
    return part / part.iloc[0]


def _prices(benchmark, zone_of: Report) -> pd.Series:
    """A benchmark's prices by date (a Report's equity curve), NaN left out, checked."""
    if isinstance(benchmark, Report):
        benchmark = benchmark.creturn
    if not isinstance(benchmark, pd.Series) or not isinstance(benchmark.index, pd.DatetimeIndex):
        raise TypeError(f"benchmark: expected a Series of prices by date or a Report; found {type(benchmark).__name__}")
    try:
        s = benchmark.astype(np.float64).dropna()
    except (TypeError, ValueError):
        raise TypeError(f"benchmark: expected prices (numbers); found values of dtype {benchmark.dtype}") from None
    if s.empty:
        raise ValueError("benchmark: expected some prices; found none (all NaN or empty)")
    bad = ~(np.isfinite(s.to_numpy()) & (s.to_numpy() > 0))
    if bad.any():
        k = int(np.flatnonzero(bad)[0])
        raise ValueError(
            f"benchmark: expected positive finite prices; found {float(s.iloc[k])!r} on {_date(s.index[k])}"
        )
    tz = cast(pd.DatetimeIndex, s.index).tz  # a DatetimeIndex, checked above
    if (tz is None) != (zone_of.start.tz is None):
        theirs = "tz-naive" if tz is None else f"in {tz}"
        ours = "tz-naive" if zone_of.start.tz is None else f"in {zone_of.start.tz}"
        raise ValueError(f"benchmark: dates are {theirs} but the reports' are {ours}")
    if not s.index.is_monotonic_increasing:
        s = s.sort_index()
    return s


def compare(reports) -> Comparison:
    """Several reports side by side: their statistics in one table, their equity curves in one plot.

    Parameters
    ----------
    reports : mapping or list
        A mapping name -> :class:`~torvex.Report` (in its order), or a list
        or tuple of reports, named ``"0"``, ``"1"``, ... in order.  Names are
        shown as text (``str(name)``); two that read the same are refused.

    Returns
    -------
    Comparison

    Examples
    --------
    >>> import torvex
    >>> from torvex.datasets import synthetic_universe
    >>> price = synthetic_universe(n_stocks=5, n_bars=300, seed=3)
    >>> monthly = torvex.backtest(price.notna(), price, resample="ME")
    >>> stopped = torvex.backtest(price.notna(), price, resample="ME", stop_loss=0.05)
    >>> both = torvex.compare({"monthly": monthly, "stop 5%": stopped})
    >>> list(both.stats.columns), both.stats.dtypes.unique().tolist()
    (['monthly', 'stop 5%'], [dtype('float64')])
    >>> bool(both.stats["monthly"].equals(monthly.stats()))
    True
    """
    return Comparison(_named(reports))


class Comparison:
    """Reports side by side, built by :func:`compare`: statistics, plot and an HTML page.

    Examples
    --------
    >>> import torvex
    >>> from torvex.datasets import synthetic_universe
    >>> price = synthetic_universe(n_stocks=5, n_bars=300, seed=3)
    >>> runs = [torvex.backtest(price.notna(), price, resample=r) for r in ("ME", "QE")]
    >>> c = torvex.compare(runs)
    >>> c.names, c.stats.shape[1]
    (('0', '1'), 2)
    """

    def __init__(self, reports: dict[str, Report]):
        self._reports = dict(reports)
        self._stats: pd.DataFrame | None = None

    @property
    def names(self) -> tuple[str, ...]:
        """The reports' names, in order."""
        return tuple(self._reports)

    @property
    def reports(self) -> Mapping[str, Report]:
        """The reports by name (read-only)."""
        return types.MappingProxyType(self._reports)

    @property
    def stats(self) -> pd.DataFrame:
        """float64 table indexed by :data:`~torvex.report.STAT_NAMES`: one column per report, its ``report.stats()``.

        Examples
        --------
        >>> import torvex
        >>> from torvex.datasets import synthetic_universe
        >>> price = synthetic_universe(n_stocks=5, n_bars=300, seed=3)
        >>> c = torvex.compare([torvex.backtest(price.notna(), price, resample="ME")])
        >>> c.stats.index.tolist()[:3]
        ['total_return', 'cagr', 'annual_volatility']
        """
        if self._stats is None:
            columns = {name: r.stats() for name, r in self._reports.items()}
            table = pd.DataFrame(columns, index=pd.Index(STAT_NAMES, dtype=object)).astype(np.float64)
            self._stats = table
        return self._stats.copy()

    @property
    def periods(self) -> pd.DataFrame:
        """Each report's ``start`` and ``end`` (rows), one column per report.

        Examples
        --------
        >>> import torvex
        >>> from torvex.datasets import synthetic_universe
        >>> price = synthetic_universe(n_stocks=5, n_bars=300, seed=3)
        >>> c = torvex.compare({"m": torvex.backtest(price.notna(), price, resample="ME")})
        >>> c.periods.index.tolist()
        ['start', 'end']
        """
        return pd.DataFrame(
            {name: [r.start, r.end] for name, r in self._reports.items()},
            index=pd.Index(["start", "end"], dtype=object),
        )

    @property
    def common_start(self) -> pd.Timestamp:
        """The latest of the reports' starts: from there on every report has run.

        Examples
        --------
        >>> import torvex
        >>> from torvex.datasets import synthetic_universe
        >>> price = synthetic_universe(n_stocks=5, n_bars=300, seed=3)
        >>> a = torvex.backtest(price.notna(), price, resample="ME")
        >>> b = torvex.backtest(price.notna().iloc[100:], price, resample="ME")
        >>> torvex.compare([a, b]).common_start == max(a.start, b.start)
        True
        """
        return max(r.start for r in self._reports.values())

    def _curves(self) -> dict[str, pd.Series]:
        start = self.common_start
        return {name: _rebased(r.creturn, start) for name, r in self._reports.items()}

    def plot(self, benchmark=None):
        """Every equity curve rebased to 1.0 at :attr:`common_start`, and their drawdowns, as a matplotlib Figure.

        Each curve is drawn on its own dates from its last bar at or before
        the common start (valued 1.0 there); the drawdown panel below shows
        each curve's distance below its running peak from there.

        Parameters
        ----------
        benchmark : Series or Report, optional
            Benchmark prices by date (or a report's equity curve), rebased to
            1.0 at its last price at or before the common start (its first
            price when it starts later) and drawn in grey.  None: the first
            report's own benchmark (``report.benchmark``) where its run has
            one.

        Returns
        -------
        matplotlib.figure.Figure

        Examples
        --------
        >>> import torvex
        >>> from torvex.datasets import synthetic_universe
        >>> price = synthetic_universe(n_stocks=5, n_bars=300, seed=3)
        >>> c = torvex.compare({"m": torvex.backtest(price.notna(), price, resample="ME"),
        ...                     "q": torvex.backtest(price.notna(), price, resample="QE")})
        >>> fig = c.plot(benchmark=price.iloc[:, 0])
        >>> [ax.get_ylabel() for ax in fig.axes], len(fig.axes[0].lines)
        (['equity', 'drawdown'], 3)
        """
        from torvex import plotting

        first = next(iter(self._reports.values()))
        label = "benchmark"
        if benchmark is None:  # the first report's own benchmark, where its run has one
            benchmark = getattr(first, "benchmark", None)
            if benchmark is not None and benchmark.name is not None:
                label = f"benchmark ({benchmark.name})"
        bench = None if benchmark is None else _rebased(_prices(benchmark, first), self.common_start)
        fig, (top, bottom) = plotting._figure((10, 5.5), 2, 1, sharex=True, height_ratios=(3, 1))
        for i, (name, curve) in enumerate(self._curves().items()):
            colour = _COLOURS[i % len(_COLOURS)]
            values = curve.to_numpy()
            top.plot(curve.index, values, color=colour, lw=1.3, label=name)
            bottom.plot(curve.index, values / np.fmax.accumulate(values) - 1.0, color=colour, lw=0.9)
        if bench is not None:
            top.plot(bench.index, bench.to_numpy(), color=_BENCHMARK, lw=1.0, label=label)
        top.legend(loc="best", frameon=False)
        top.set_ylabel("equity")
        top.grid(alpha=0.3)
        top.set_title(f"Equity from {_date(self.common_start)} (1.0) and drawdown", loc="left")
        bottom.set_ylabel("drawdown")
        bottom.yaxis.set_major_formatter(plotting._percent())
        bottom.grid(alpha=0.3)
        return fig

    def _tables(self) -> tuple[str, str]:
        from torvex.html import _fmt

        stats = self.stats
        head = "".join(f"<th>{_html.escape(n)}</th>" for n in self.names)
        body = "".join(
            f"<tr><td>{_html.escape(str(k))}</td>" + "".join(f"<td>{_fmt(k, v)}</td>" for v in row) + "</tr>"
            for k, row in zip(stats.index, stats.to_numpy())
        )
        runs = [
            ("start", [_fmt("start", r.start) for r in self._reports.values()]),
            ("end", [_fmt("end", r.end) for r in self._reports.values()]),
            ("trades", [_fmt("trades", int(stats.at["trades", n])) for n in self.names]),  # type: ignore[arg-type]
            ("warnings", [_fmt("warnings", len(r.warnings)) for r in self._reports.values()]),
        ]
        run_rows = "".join(f"<tr><td>{k}</td>" + "".join(f"<td>{v}</td>" for v in vals) + "</tr>" for k, vals in runs)
        return (
            f"<table><tr><th>statistic</th>{head}</tr>{body}</table>",
            f"<table><tr><th>run</th>{head}</tr>{run_rows}</table>",
        )

    def to_html(self, path: str | os.PathLike | None = None) -> str:
        """One self-contained HTML page: the statistics side by side, the plot, each run's trades and warnings.

        Parameters
        ----------
        path : str or path-like, optional
            File to write the page to (UTF-8).

        Returns
        -------
        str
            The page.

        Examples
        --------
        >>> import torvex
        >>> from torvex.datasets import synthetic_universe
        >>> price = synthetic_universe(n_stocks=5, n_bars=300, seed=3)
        >>> c = torvex.compare({"monthly": torvex.backtest(price.notna(), price, resample="ME")})
        >>> page = c.to_html()
        >>> page.startswith("<!DOCTYPE html>") and "monthly" in page
        True
        """
        from torvex import html

        stats, runs = self._tables()
        picture = html._png(self.plot())
        notes = "".join(
            f"<details><summary>{_html.escape(name)}: {len(r.warnings):,} warning{'s' * (len(r.warnings) != 1)}"
            f"</summary>{html.warnings_list(r.warnings)}</details>"
            for name, r in self._reports.items()
            if r.warnings
        )
        title = "torvex comparison: " + ", ".join(self.names)
        page = f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>{_html.escape(title)}</title><style>{html._STYLE}</style></head>
<body>
<h1>{_html.escape(title)}</h1>
<p class="muted">{len(self._reports)} reports; curves rebased to 1.0 on {_date(self.common_start)}, the latest start.
Generated by torvex.</p>
<h2 id="stats">Statistics</h2>
<div class="grid"><div>{stats}</div><div style="flex:1"><img alt="equity and drawdown" src="{picture}">
<h2 id="runs">Runs</h2>{runs}{notes}</div></div>
</body></html>
"""
        if path is not None:
            with open(os.fspath(path), "w", encoding="utf-8") as f:
                f.write(page)
        return page

    def __repr__(self) -> str:
        parts = []
        for name, r in list(self._reports.items())[:5]:
            h = r._headline()
            parts.append(f"{name!r} total return {h['total']:+.2%}, Sharpe {h['sharpe']:.2f}")
        more = f"; ... and {len(self._reports) - 5} more" if len(self._reports) > 5 else ""
        return (
            f"<torvex.Comparison of {len(self._reports)} reports from {_date(self.common_start)}: "
            + "; ".join(parts)
            + more
            + ">"
        )

    def _repr_html_(self) -> str:
        stats, runs = self._tables()
        return stats + runs


def _date(ts: pd.Timestamp) -> str:
    from torvex.html import _fmt

    return _fmt("start", ts)
