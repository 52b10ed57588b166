"""A benchmark's prices checked and laid on the bars of a run (plain functions).

A benchmark is a Series of prices by date, or the name of a column of the
close frame.  Its prices are laid on the price bars by date: the last price
dated on or before each bar, forward-filled inside the benchmark's own dates
and NaN outside them.  When both indexes are daily (at most one stamp per
calendar day) and one of them carries a time of day (closes stamped 16:00
against bars stamped at midnight), dates are matched by calendar date.  The
two indexes must be in the same time zone, or both tz-naive, as for the
position: a midnight stamp in one zone is the day before in another, so
nothing is converted.
"""

from __future__ import annotations

from typing import Any, cast

import numpy as np
import pandas as pd

__all__ = ["resolve", "clean_prices", "align", "gross_returns_note", "prepare"]

#: Gross returns 1 + r read as prices change by about r_t - r_(t-1): a lag-1 autocorrelation near -0.5.
GROSS_AUTOCORRELATION = -0.4
GROSS_MIN_BARS = 50

_HOW_RETURNS = "pass returns r as prices with (1 + r).cumprod()"


def _fmt(ts) -> str:
    ts = pd.Timestamp(ts)
    if ts.tzinfo is None and ts == ts.normalize():
        return ts.strftime("%Y-%m-%d")
    return str(ts)


def resolve(benchmark: Any, close: pd.DataFrame | None, name: str = "benchmark") -> pd.Series:
    """The benchmark as a Series of prices: itself, or the column of ``close`` it names.

    Parameters
    ----------
    benchmark : Series or str
        Prices by date, or the label of a column of ``close``.
    close : DataFrame or None
        The close frame; None where no column can be named.
    name : str
        The argument's name in error messages.

    Returns
    -------
    Series

    Examples
    --------
    >>> import pandas as pd
    >>> close = pd.DataFrame({"A": [1.0, 2.0]}, index=pd.date_range("2024-01-01", periods=2))
    >>> resolve("A", close).tolist()
    [1.0, 2.0]
    """
    if isinstance(benchmark, pd.Series):
        return benchmark
    if isinstance(benchmark, str):
        if close is None:
            raise TypeError(
                f"{name}: expected a Series of prices by date or a Report; found the str {benchmark!r}"
                " (a price column is named as benchmark= of backtest)"
            )
        cols = close.columns
        if benchmark in cols:
            return close[benchmark]
        text = [str(c) for c in cols]
        if benchmark in text:
            return close.iloc[:, text.index(benchmark)]
        shown = ", ".join(repr(c) for c in list(cols)[:5]) + (" ..." if len(cols) > 5 else "")
        raise ValueError(
            f"{name}: expected the name of a price column or a Series of prices; found {benchmark!r},"
            f" not among the price columns ({shown})"
        )
    raise TypeError(
        f"{name}: expected a Series of prices by date or the name of a price column; found {type(benchmark).__name__}"
    )


def clean_prices(series: pd.Series, name: str = "benchmark") -> pd.Series:
    """The benchmark's prices as float64, by ascending unique dates, NaN dropped.

    Refuses an index that is not of dates, missing or repeated dates and any
    value that is not a positive finite price (returns are not prices).

    Examples
    --------
    >>> import pandas as pd
    >>> s = pd.Series([2.0, None, 1.0], index=pd.to_datetime(["2024-01-03", "2024-01-02", "2024-01-01"]))
    >>> clean_prices(s).tolist()
    [1.0, 2.0]
    """
    index = series.index
    if not isinstance(index, pd.DatetimeIndex):
        raise TypeError(
            f"{name}: expected a Series indexed by dates; found an index of dtype {index.dtype}"
            " (convert it with pd.to_datetime)"
        )
    if index.hasnans:
        i = int(np.flatnonzero(index.isna())[0])
        raise ValueError(f"{name}: expected a date for every price; found NaT at row {i}")
    dtype = series.dtype
    if getattr(dtype, "kind", None) not in ("i", "u", "f"):
        raise TypeError(f"{name}: expected numeric prices; found dtype {dtype}")
    values = (
        series.to_numpy(dtype=np.float64, na_value=np.nan)
        if not isinstance(dtype, np.dtype)
        else series.to_numpy(dtype=np.float64)
    )
    if not index.is_monotonic_increasing:
        order = np.argsort(index.as_unit("ns").asi8, kind="stable")
        index, values = index[order], values[order]
    if not index.is_unique:
        ns = index.as_unit("ns").asi8
        same = ns[1:] == ns[:-1]
        first = int(np.flatnonzero(same)[0])
        count = int(np.count_nonzero(ns == ns[first]))
        raise ValueError(
            f"{name}: expected each date once; found {_fmt(index[first])} {count} times"
            f" ({int(np.count_nonzero(same))} repeated dates in all)"
        )
    have = ~np.isnan(values)
    bad = have & ~((values > 0) & np.isfinite(values))
    if bad.any():
        i = int(np.flatnonzero(bad)[0])
        raise ValueError(
            f"{name}: expected positive finite prices; found {float(values[i])!r} on {_fmt(index[i])}"
            f" (to use returns, {_HOW_RETURNS})"
        )
    if not have.all():
        index, values = index[have], values[have]
    return pd.Series(values, index=index, name=series.name, copy=False)


_DAY = 86_400 * 10**9


def _wall_ns(index: pd.DatetimeIndex) -> np.ndarray:
    """Local wall-clock times of ascending dates as nanoseconds since 1970-01-01 00:00."""
    if index.tz is not None:
        index = index.tz_localize(None)
    return index.asi8 if index.unit == "ns" else index.as_unit("ns").asi8


def _day_keys(index: pd.DatetimeIndex) -> tuple[np.ndarray, bool, bool]:
    """(calendar days of ascending dates as midnights in nanoseconds, whether there is at most one
    date per day, whether any date carries a time of day)."""
    wall = _wall_ns(index)
    days = wall - wall % _DAY
    return days, bool((days[1:] != days[:-1]).all()), bool((days != wall).any())


def _zone(index: pd.DatetimeIndex) -> str | None:
    return None if index.tz is None else str(index.tz)


def align(prices: pd.Series, dates: pd.DatetimeIndex, name: str = "benchmark") -> np.ndarray:
    """Prices of :func:`clean_prices` on the bars ``dates``: float64, NaN outside the benchmark's dates.

    Each bar takes the last price dated on or before it, from the bar of the
    benchmark's first date to that of its last.  Daily indexes of which one
    carries a time of day are matched by calendar date.  Refuses other time
    zones, and fewer than two bars within the benchmark's dates.

    Examples
    --------
    >>> import pandas as pd
    >>> bars = pd.date_range("2024-01-01", periods=5)
    >>> closes = pd.Series([10.0, 11.0], index=pd.to_datetime(["2024-01-02 16:00", "2024-01-04 16:00"]))
    >>> align(closes, bars).tolist()
    [nan, 10.0, 10.0, 11.0, nan]
    """
    bidx = cast(pd.DatetimeIndex, prices.index)  # dated prices, as clean_prices gives them
    ours, theirs = _zone(dates), _zone(bidx)
    if ours != theirs:
        t = "tz-naive" if theirs is None else f"in time zone {theirs}"
        o = "tz-naive" if ours is None else f"in time zone {ours}"
        raise ValueError(f"{name}: dates are {t} but the price dates are {o}; give all inputs in one zone")
    if len(bidx) == 0:
        raise ValueError(
            f"{name}: expected prices overlapping the price dates {_fmt(dates[0])} .. {_fmt(dates[-1])};"
            " found no prices"
        )
    p, p_daily, p_timed = _day_keys(dates)
    b, b_daily, b_timed = _day_keys(bidx)
    if not ((p_timed or b_timed) and p_daily and b_daily):
        p = dates.asi8 if dates.unit == "ns" else dates.as_unit("ns").asi8
        b = bidx.asi8 if bidx.unit == "ns" else bidx.as_unit("ns").asi8
    lo, hi = np.searchsorted(p, b[0], side="left"), np.searchsorted(p, b[-1], side="right")
    if hi - lo < 2:
        found = "no overlap" if hi <= lo else f"only the bar of {_fmt(dates[lo])}"
        raise ValueError(
            f"{name}: expected at least two price bars within the benchmark's dates"
            f" {_fmt(bidx[0])} .. {_fmt(bidx[-1])}; found {found}"
            f" (the price dates are {_fmt(dates[0])} .. {_fmt(dates[-1])})"
        )
    out = np.full(len(dates), np.nan)
    at = np.searchsorted(b, p[lo:hi], side="right") - 1
    out[lo:hi] = prices.to_numpy(dtype=np.float64)[at]
    return out


def gross_returns_note(aligned: np.ndarray, name: str = "benchmark") -> str | None:
    """A warning's text when the aligned prices look like gross returns 1 + r, else None.

    Gross returns read as prices change by about ``r_t - r_(t-1)``: the lag-1
    autocorrelation of those changes is near -0.5.  Below
    :data:`GROSS_AUTOCORRELATION` over at least :data:`GROSS_MIN_BARS` bars,
    the prices are taken for gross returns.

    Examples
    --------
    >>> import numpy as np
    >>> r = np.random.default_rng(0).normal(0, 0.01, 300)
    >>> gross_returns_note(np.cumprod(1 + r)) is None
    True
    >>> gross_returns_note(1 + r)[:10]
    'benchmark:'
    """
    p = aligned[~np.isnan(aligned)]
    if p.size < GROSS_MIN_BARS + 1:
        return None
    r = p[1:] / p[:-1] - 1.0
    a, b = r[:-1] - r[:-1].mean(), r[1:] - r[1:].mean()
    denom = np.sqrt(np.dot(a, a) * np.dot(b, b))
    if not denom > 0:
        return None
    rho = float(np.dot(a, b) / denom)
    if rho >= GROSS_AUTOCORRELATION:
        return None
    return (
        f"{name}: the prices' bar-to-bar changes have a lag-1 autocorrelation of {rho:.2f} over {r.size} bars,"
        f" as gross returns 1 + r read as prices have (about -0.5); if these are returns, {_HOW_RETURNS}"
    )


def prepare(
    benchmark: Any, dates: pd.DatetimeIndex, close: pd.DataFrame | None = None, name: str = "benchmark"
) -> tuple[np.ndarray, Any, str | None]:
    """(prices on the bars ``dates``, the benchmark's name, a warning's text or None).

    Examples
    --------
    >>> import pandas as pd
    >>> bars = pd.date_range("2024-01-01", periods=3)
    >>> prices, label, note = prepare(pd.Series([1.0, 2.0, 3.0], index=bars, name="index"), bars)
    >>> prices.tolist(), label, note
    ([1.0, 2.0, 3.0], 'index', None)
    """
    series = resolve(benchmark, close, name)
    aligned = align(clean_prices(series, name), dates, name)
    return aligned, series.name, gross_returns_note(aligned, name)
