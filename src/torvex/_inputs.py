"""Input checks and conversions of the front end (:func:`torvex.backtest`).

Each function takes plain numbers or arrays and either returns quietly,
returns the text of a note (a warning the caller lists in ``report.warnings``
and issues once per kind with :func:`warn`), or raises an error in the form
``"<argument>: expected <what>; found <what> (first at <label or date>)"``.
Array checks are NumPy reductions: no Python loop runs over cells.
"""

from __future__ import annotations

import warnings

import numpy as np
import pandas as pd

__all__ = [
    "cost_ratio",
    "position_limit_note",
    "flag",
    "flat_columns",
    "date_values",
    "in_ns_range",
    "gross_note",
    "percent_note",
    "check_prices",
    "ohlc_note",
    "check_equity",
    "excursion_limits",
    "warn",
]

#: Gross weight above which a row counts as rescaled (sums of many fractions round a little above 1).
GROSS_SLACK = 1e-9
#: A fee or tax above this is more likely a per-cent figure than a fraction.
LARGE_COST = 0.05
#: Estimated excursion records above this many bytes are refused.
EXCURSION_BYTES = 2 * 1024**3
#: Bytes of one excursion sample of one trade (six float64 statistics).
SAMPLE_BYTES = 48


def _date(ts) -> str:
    ts = pd.Timestamp(ts)
    if ts.tzinfo is None and ts == ts.normalize():
        return ts.strftime("%Y-%m-%d")
    return str(ts)


def cost_ratio(value: float, name: str) -> str | None:
    """Refuse a cost ratio outside [0, 1); the text of a note above :data:`LARGE_COST`.

    Examples
    --------
    >>> cost_ratio(0.001425, "fee_ratio") is None
    True
    >>> cost_ratio(0.1425, "fee_ratio")[:44]
    'fee_ratio: 0.1425 is a cost of 14.25% of the'
    >>> cost_ratio(-1.0, "fee_ratio")
    Traceback (most recent call last):
    ...
    ValueError: fee_ratio: expected a fraction of at least 0 and below 1; found -1.0
    """
    if not 0.0 <= value < 1.0:
        raise ValueError(f"{name}: expected a fraction of at least 0 and below 1; found {value!r}")
    if value > LARGE_COST:
        return (
            f"{name}: {value:g} is a cost of {value * 100:g}% of the traded value; costs are fractions,"
            f" 0.001425 means 0.1425%"
        )
    return None


def position_limit_note(limit: float) -> str | None:
    """The text of a note for a position limit above 1, which never binds."""
    if limit > 1.0:
        return (
            f"position_limit: {limit:g} has no effect (no holding exceeds the whole equity);"
            f" limits are fractions, 0.2 means 20%"
        )
    return None


def flag(value, name: str) -> bool:
    """A bool option as a bool: True, False, their NumPy forms, or the integers 0 and 1.

    Examples
    --------
    >>> flag(True, "touched_exit"), flag(0, "touched_exit")
    (True, False)
    >>> flag("yes", "touched_exit")
    Traceback (most recent call last):
    ...
    TypeError: touched_exit: expected True or False; found str 'yes'
    """
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    if isinstance(value, (int, np.integer)) and value in (0, 1):
        return bool(value)
    raise TypeError(f"{name}: expected True or False; found {type(value).__name__} {value!r}")


def flat_columns(frame: pd.DataFrame, name: str) -> None:
    """Refuse columns of several levels (one symbol per column is expected)."""
    if isinstance(frame.columns, pd.MultiIndex):
        raise ValueError(
            f"{name}: expected one column per symbol; found MultiIndex columns of {frame.columns.nlevels} levels"
            f" (first {frame.columns[0]!r}); pass one level, e.g. frame.xs('close', axis=1, level=0),"
            " or a mapping of frames {'open': ..., 'close': ...}"
        )


def date_values(values, labels, name: str) -> pd.DatetimeIndex:
    """Dates as a DatetimeIndex, refusing NaT and text that is no date, naming the label (a mapping's
    key) or, with ``labels`` None, the row of the first such value.

    Examples
    --------
    >>> date_values(["2024-01-05"], ["A"], "delisting").strftime("%Y-%m-%d").tolist()
    ['2024-01-05']
    >>> date_values([pd.NaT], ["A"], "delisting")
    Traceback (most recent call last):
    ...
    ValueError: delisting: expected a date; found NaT (first at 'A')
    >>> date_values(["2024-01-05", "soon"], None, "resample")
    Traceback (most recent call last):
    ...
    ValueError: resample: expected a date; found 'soon' (first at row 1)
    """
    values = list(values)
    where = (lambda i: f"row {i}") if labels is None else (lambda i, labs=list(labels): repr(labs[i]))
    try:
        index = pd.DatetimeIndex(values)
    except (ValueError, TypeError, OverflowError) as exc:
        for i, v in enumerate(values):  # find the value that is no date
            try:
                pd.Timestamp(v)
            except (ValueError, TypeError, OverflowError) as bad:
                raise ValueError(f"{name}: expected a date; found {v!r} (first at {where(i)})") from bad
        raise ValueError(f"{name}: expected dates in one time zone; found {exc}") from exc
    if index.hasnans:
        raise ValueError(f"{name}: expected a date; found NaT (first at {where(int(np.argmax(index.isna())))})")
    return in_ns_range(index, name)


def in_ns_range(index: pd.DatetimeIndex, name: str) -> pd.DatetimeIndex:
    """Refuse dates outside what nanosecond timestamps hold (the engine's unit: 1677 .. 2262)."""
    if index.unit != "ns" and len(index):
        lo, hi = pd.Timestamp.min.as_unit(index.unit), pd.Timestamp.max.as_unit(index.unit)
        if index.tz is not None:
            lo, hi = lo.tz_localize("UTC"), hi.tz_localize("UTC")
        out = np.flatnonzero(np.asarray((index < lo) | (index > hi)))
        if out.size:
            i = int(out[0])
            raise ValueError(
                f"{name}: expected dates between {pd.Timestamp.min} and {pd.Timestamp.max};"
                f" found {index[i]} (first at row {i})"
            )
    return index


def gross_note(rows: np.ndarray, weights: np.ndarray, nrows: int, row_dates: pd.DatetimeIndex) -> str | None:
    """The note of the executed rows whose gross weight exceeds 1 (rescaled by the engine).

    ``rows`` (0 .. ``nrows`` - 1) and ``weights`` are the executed non-zero cells; ``row_dates`` the
    dates of the executed rows.

    Examples
    --------
    >>> d = pd.DatetimeIndex(["2024-01-01"])
    >>> gross_note(np.array([0, 0]), np.array([1.0, -1.0]), 1, d)[:60]
    'position: the row of 2024-01-01 has a gross weight of 2 (sum'
    >>> gross_note(np.zeros(20, int), np.full(20, 0.05), 1, d) is None
    True
    """
    if rows.size == 0:
        return None
    gross = np.bincount(rows, weights=np.abs(weights), minlength=nrows)
    over = np.flatnonzero(gross > 1.0 + GROSS_SLACK)
    if over.size == 0:
        return None
    g = float(gross[over[0]])
    more = f"; {over.size} rows in all" if over.size > 1 else ""
    return (
        f"position: the row of {_date(row_dates[over[0]])} has a gross weight of {g:g} (sum of absolute"
        f" weights); it was scaled by {1 / g:g} to a gross of 1{more}"
    )


def percent_note(cells: np.ndarray, weights: np.ndarray, ncols: int, symbols, row_dates) -> str | None:
    """The note of weights above 1 in absolute value (per cents given for fractions).

    ``cells`` are flat indices ``row * ncols + column`` of the non-zero weights ``weights``.
    """
    big = np.flatnonzero(np.abs(weights) > 1.0)
    if big.size == 0:
        return None
    r, c = divmod(int(cells[big[0]]), ncols)
    return (
        f"position: weights are fractions: 0.1 means 10%; found {weights[big[0]]:g} for {symbols[c]!r}"
        f" on {_date(row_dates[r])} ({big.size} weights above 1 in all)"
    )


def check_prices(arrays: dict, first_bar: int, cols: np.ndarray, symbols, dates, col_names=None) -> None:
    """Refuse a zero, negative or infinite price from ``first_bar`` on in the price columns ``cols``.

    ``arrays`` maps the argument name of each frame to its values (bars x price columns);
    ``symbols[k]`` names price column ``cols[k]``.  NaN is a missing price and passes.

    Examples
    --------
    >>> dates = pd.date_range("2024-01-01", periods=3)
    >>> close = np.array([[10.0], [0.0], [11.0]])
    >>> check_prices({"price": close}, 1, np.array([0]), ["A"], dates)
    Traceback (most recent call last):
    ...
    ValueError: price: expected positive finite prices; found 0.0 for 'A' on 2024-01-02 (row 1)
    """
    if cols.size == 0:
        return
    for name, a in arrays.items():
        # One pass per frame: the smallest and largest price of each column (NaN skipped), read in
        # place; only a frame with a bad column is searched cell by cell.
        view = a[first_bar:]
        if view.shape[0] == 0:
            continue
        with np.errstate(invalid="ignore"):
            lo = np.fmin.reduce(view, axis=0)[cols]
            hi = np.fmax.reduce(view, axis=0)[cols]
        if (((lo > 0) | np.isnan(lo)) & (hi != np.inf)).all():
            continue
        v = a[first_bar:, cols]
        bad = ~(v > 0) & ~np.isnan(v) | np.isinf(v)
        if bad.any():
            r, k = np.argwhere(bad)[0]
            raise ValueError(
                f"{name}: expected positive finite prices; found {float(v[r, k])!r} for {symbols[k]!r}"
                f" on {_date(dates[first_bar + r])} (row {first_bar + r})"
            )


def ohlc_note(open_: np.ndarray, high: np.ndarray, low: np.ndarray, close: np.ndarray, symbols, dates) -> str | None:
    """Refuse a high below its low; the note of opens or closes outside [low, high].

    Only cells where all four prices exist are compared, with a relative slack of 1e-9.

    Examples
    --------
    >>> d = pd.date_range("2024-01-01", periods=1)
    >>> one = lambda x: np.array([[x]])
    >>> ohlc_note(one(10.0), one(11.0), one(9.0), one(12.0), ["A"], d)[:58]
    "close: 12 for 'A' on 2024-01-01 lies outside the bar's low"
    """
    # Blocks of rows keep the temporaries in cache: each frame is read once. The plain comparisons
    # come first (NaN compares False); the slack and the four-prices rule are applied to what they find.
    step = max(1, 65536 // max(1, high.shape[1]))
    first = None  # (name, row, column) of the first open or close outside its bar
    count = 0
    with np.errstate(invalid="ignore"):
        for r0 in range(0, high.shape[0], step):
            h, lw = high[r0 : r0 + step], low[r0 : r0 + step]
            inverted = h < lw
            if inverted.any():
                r, c = np.argwhere(inverted)[0]
                raise ValueError(
                    f"high: expected highs at or above the lows; found {h[r, c]:g} below the low"
                    f" {lw[r, c]:g} for {symbols[c]!r} on {_date(dates[r0 + r])}"
                )
            if first is not None:
                continue  # the note names the first block's cases; the rest is only checked for inverted bars
            for name, a in (("open", open_), ("close", close)):
                part = a[r0 : r0 + step]
                rows, cols = np.nonzero((part < lw) | (part > h))
                if rows.size == 0:
                    continue
                p, lo_, hi_ = part[rows, cols], lw[rows, cols], h[rows, cols]
                out = (p < lo_ * (1 - 1e-9)) | (p > hi_ * (1 + 1e-9))
                out &= ~np.isnan(open_[r0 + rows, cols]) & ~np.isnan(close[r0 + rows, cols])
                n = int(np.count_nonzero(out))
                if n:
                    count += n
                    if first is None:
                        k = int(np.flatnonzero(out)[0])
                        first = (name, r0 + int(rows[k]), int(cols[k]))
    if first is None:
        return None
    name, r, c = first
    r0_end = (r // step + 1) * step - 1  # the last row of the block the cases were counted in
    a = open_ if name == "open" else close
    return (
        f"{name}: {a[r, c]:g} for {symbols[c]!r} on {_date(dates[r])} lies outside the bar's low"
        f" {low[r, c]:g} and high {high[r, c]:g} ({count} such prices up to {_date(dates[min(r0_end, len(dates) - 1)])}"
        f"{'' if r0_end >= len(dates) - 1 else ', maybe more later'}); are the closes"
        " adjusted and the highs and lows not? touched exits fill by these bands"
    )


def check_equity(creturn: np.ndarray, close: np.ndarray, cols: np.ndarray, symbols, dates) -> None:
    """Refuse an equity curve that leaves the finite range, naming the bar and the extreme prices there.

    ``close`` holds the closes (bars x price columns), ``symbols[k]`` names price column ``cols[k]``.
    Prices above 1e100 or below 1e-100 on that bar or the one before are named.
    """
    bad = ~np.isfinite(creturn)
    if not bad.any():
        return
    i = int(np.argmax(bad))
    v = close[max(i - 1, 0) : i + 1, cols]
    with np.errstate(invalid="ignore"):
        extreme = np.flatnonzero(((v > 1e100) | (v < 1e-100)).any(axis=0))
    named = ", ".join(f"{symbols[k]!r}" for k in extreme[:5]) or "none of the held symbols"
    raise ValueError(
        f"price: expected prices that keep the equity finite; found equity {creturn[i]} on"
        f" {_date(dates[i])} (row {i}), with prices above 1e100 or below 1e-100 there or on the bar"
        f" before: {named}"
    )


def excursion_limits(window: int, step: int, nbars: int, trades: int) -> None:
    """Refuse an excursion window longer than the data or whose records would not fit in memory.

    ``trades`` estimates the number of trades (the executed non-zero cells).

    Examples
    --------
    >>> excursion_limits(5, 1, 100, 10)
    >>> excursion_limits(500, 1, 100, 10)
    Traceback (most recent call last):
    ...
    ValueError: excursion_window: expected at most 100 (the number of price bars); found 500
    """
    if window > nbars:
        raise ValueError(f"excursion_window: expected at most {nbars} (the number of price bars); found {window}")
    need = trades * SAMPLE_BYTES * ((window + step - 1) // step + 1)
    if window and need > EXCURSION_BYTES:
        raise ValueError(
            f"excursion_window_step: expected a step whose samples fit in memory; found {step}, whose"
            f" records for about {trades} trades would take {need / 1024**3:.1f} GiB (limit"
            f" {EXCURSION_BYTES / 1024**3:g} GiB); take a larger step or a shorter window"
        )


def warn(notes: list[str], stacklevel: int = 3) -> None:
    """Issue one UserWarning for notes of one kind: the first, and how many there are.

    The default ``stacklevel`` points at the caller of the function that calls this one.
    """
    if notes:
        more = f" (and {len(notes) - 1} more like it in report.warnings)" if len(notes) > 1 else ""
        warnings.warn(notes[0] + more, UserWarning, stacklevel=stacklevel)
