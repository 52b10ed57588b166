"""Input checks of the front end (:func:`torvex.backtest`).

Each function takes plain numbers or arrays and either returns quietly,
returns the text of a note (a warning the caller lists in ``report.warnings``
and issues once per kind with :func:`warn`), or raises an error in the form
``"<argument>: expected <what>; found <what> (first at <label or date>)"``.
Array checks are NumPy reductions: no Python loop runs over cells.
"""

from __future__ import annotations

import math
import warnings

import numpy as np
import pandas as pd

from torvex._stops import StopTable

__all__ = [
    "flat_columns",
    "date_values",
    "in_ns_range",
    "gross_note",
    "percent_note",
    "held_prices",
    "check_equity",
    "excursion_limits",
    "warn",
]

#: Gross weight above which a row counts as rescaled (sums of many fractions round a little above 1).
GROSS_SLACK = 1e-9
#: Estimated excursion records above this many bytes are refused.
EXCURSION_BYTES = 2 * 1024**3
#: Bytes of one excursion sample of one trade (six float64 statistics).
SAMPLE_BYTES = 48


def _date(ts) -> str:
    ts = pd.Timestamp(ts)
    if ts.tzinfo is None and ts == ts.normalize():
        return ts.strftime("%Y-%m-%d")
    return str(ts)


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
    labs = None if labels is None else list(labels)

    def where(i: int) -> str:
        return f"row {i}" if labs is None else repr(labs[i])

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
    # Most weights above 1 look like prices rather than per cents.
    swapped = (
        "; are position and price swapped? backtest(position, price) takes the target weights first"
        if big.size > weights.size // 2 and (weights > 0).all()
        else ""
    )
    return (
        f"position: weights are fractions: 0.1 means 10%; found {weights[big[0]]:g} for {symbols[c]!r}"
        f" on {_date(row_dates[r])} ({big.size} weights above 1 in all){swapped}"
    )


def held_prices(
    arrays: dict[str, np.ndarray],
    exec_bars: np.ndarray,
    rows: np.ndarray,
    cols: np.ndarray,
    symbols,
    dates,
    *,
    ohlc: bool,
    hint: str = "",
) -> str | None:
    """Refuse a bad price the run can read; the note of opens or closes outside their bar.

    ``arrays`` maps the argument name of each frame the run reads to its values (bars x price
    columns; with ``ohlc`` the keys "open", "high", "low" and "close" or "price" for the close).
    Held cell ``k`` is price column ``cols[k]`` from bar ``exec_bars[rows[k]]`` through the next
    executed bar.  A zero, negative or infinite price there, and with ``ohlc`` a high below its low,
    is a ValueError naming the symbol (``symbols[column]``) and date; ``hint`` is added to the
    first.  NaN is a missing price and passes.  Opens and closes outside [low, high] (with a
    relative slack of 1e-9, where all four prices exist) give the note.

    Examples
    --------
    >>> dates = pd.date_range("2024-01-01", periods=3)
    >>> close = np.array([[10.0], [0.0], [11.0]])
    >>> held_prices({"price": close}, np.array([1]), np.array([0]), np.array([0]), ["A"], dates, ohlc=False)
    Traceback (most recent call last):
    ...
    ValueError: price: expected positive finite prices; found 0.0 for 'A' on 2024-01-02 (row 1)
    """
    from torvex.core import _scan

    if rows.size == 0:
        return None
    names = list(arrays)
    grids = tuple(arrays[k] for k in names)
    four = None
    close = "close" if "close" in arrays else "price"  # the close's argument name
    if ohlc:
        four = (names.index("open"), names.index("high"), names.index("low"), names.index(close))
    bad, inverted, outside, count = _scan.held_prices(
        grids,
        np.asarray(exec_bars, dtype=np.int64),
        np.asarray(rows, dtype=np.int64),
        np.asarray(cols, dtype=np.int64),
        four,
    )
    if bad[1] >= 0:
        f, r, c = bad
        raise ValueError(
            f"{names[f]}: expected positive finite prices; found {float(grids[f][r, c])!r} for {symbols[c]!r}"
            f" on {_date(dates[r])} (row {r}){hint}"
        )
    if inverted[1] >= 0:
        _, r, c = inverted
        high, low = arrays["high"], arrays["low"]
        raise ValueError(
            f"high: expected highs at or above the lows; found {high[r, c]:g} below the low {low[r, c]:g}"
            f" for {symbols[c]!r} on {_date(dates[r])}"
        )
    if outside[1] < 0:
        return None
    which, r, c = outside
    name = "open" if which == 0 else "close"
    a = arrays["open"] if which == 0 else arrays[close]
    return (
        f"{name}: {a[r, c]:g} for {symbols[c]!r} on {_date(dates[r])} lies outside the bar's low"
        f" {arrays['low'][r, c]:g} and high {arrays['high'][r, c]:g} ({count} such prices while held); are the"
        " closes adjusted and the highs and lows not? touched exits fill by these bands"
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


EXIT_WORDS = ("rebalance", "stop loss", "take profit", "trailing stop", "delisting", "open")


def ledger_notes(
    runlog: dict, trades: list, symbols: pd.Index, dates: pd.DatetimeIndex, ohlc: dict | None, colmap: np.ndarray | None
) -> list[str]:
    """Warnings of what the ledger did that the trades table alone does not say: exits on bars
    without a price, touched fills outside a bar without an open, cash that no trade records."""
    notes = []
    n = len(trades)
    unpriced = runlog.get("unpriced_exit")
    if unpriced is not None and len(unpriced) == n and unpriced.any():
        why = runlog["exit_reason"]
        for k in np.flatnonzero(unpriced):
            sid, _, bar = trades[k]
            notes.append(
                f"exit: {symbols[sid]!r} has no trading price on {_date(dates[bar])}, where its position"
                f" was closed ({EXIT_WORDS[int(why[k])]}); closed at its last price"
                f" {runlog['exit_price'][k]:g}"
            )
    touched = runlog.get("touched")
    # Only a bar without an open can hide a gap (most open frames have none).
    if (
        ohlc is not None
        and touched is not None
        and len(touched) == n
        and touched.any()
        and np.isnan(ohlc["open"]).any()
    ):
        # Without the bar's open a gap through the band cannot be seen: the fill is the band's level,
        # which may lie beyond everything the bar traded.
        ks = np.flatnonzero(touched)
        sids = np.fromiter((trades[k][0] for k in ks), dtype=np.intp, count=ks.size)
        bars = np.fromiter((trades[k][2] for k in ks), dtype=np.intp, count=ks.size)
        cols = sids if colmap is None else colmap[sids]
        fill = runlog["exit_price"][ks]
        lo, hi, op = ohlc["low"][bars, cols], ohlc["high"][bars, cols], ohlc["open"][bars, cols]
        outside = np.isnan(op) & ((fill > hi) | (fill < lo))
        for sid, bar, p in zip(sids[outside], bars[outside], fill[outside]):
            notes.append(
                f"touched_exit: {symbols[sid]!r} has no open on {_date(dates[bar])}, and the bar traded"
                f" wholly beyond the band; filled at the band's level {p:g}, outside the bar's range"
            )
    for sid, pnl in zip(runlog.get("unrecorded_sids", ()), runlog.get("unrecorded_pnl", ())):
        notes.append(
            f"reconcile: {symbols[int(sid)]!r} was held at a value of exactly 0.0, which the trade log counts"
            f" as no holding; its cash flow of {pnl:g} is in no trade, so report.reconcile() is off by it"
        )
    return notes


def _largest(th) -> float:
    if type(th) is float:
        return abs(th) if math.isfinite(th) else -np.inf
    vals = np.asarray(th.values if isinstance(th, StopTable) else th, dtype=float)
    vals = np.abs(vals[np.isfinite(vals)])
    return float(vals.max()) if vals.size else -np.inf


def threshold_notes(stop_loss, take_profit, traded: np.ndarray) -> list[tuple[str, str]]:
    """Notes of a stop that no traded position can reach: a stop loss of 1 or more on longs only, a
    take-profit of 1 or more on shorts only (both would need a price of zero or below).

    ``traded`` are the weights of the executed non-zero targets.
    """
    out = []
    long_only, short_only = not (traded < 0).any(), not (traded > 0).any()
    for name, th, side, why in (
        ("stop_loss", stop_loss, long_only, "a long position"),
        ("take_profit", take_profit, short_only, "a short position"),
    ):
        big = _largest(th)
        if side and big >= 1:
            out.append(
                (
                    name,
                    f"{name}: {big:g} can never be reached by {why} (that would take a price of zero or below);"
                    f" thresholds are fractions, 0.1 means 10%",
                )
            )
    return out


def calendar_note(trade: np.ndarray, dates: pd.DatetimeIndex, exec_bars: np.ndarray) -> str | None:
    """The note of a calendar-daily price frame: Saturday and Sunday rows without any trading price.

    Only the weekend rows are read, so a frame of trading days costs nothing.

    Examples
    --------
    >>> d = pd.date_range("2024-01-01", periods=14, freq="D")
    >>> p = np.where(d.day_of_week.to_numpy()[:, None] >= 5, np.nan, 1.0)
    >>> calendar_note(p, d, np.array([5]))[:60]
    'price: 4 Saturday and Sunday rows have no trading price for '
    """
    weekend = np.flatnonzero(np.asarray(dates.day_of_week) >= 5)
    if weekend.size < 2:
        return None
    empty = weekend[np.isnan(trade[weekend]).all(axis=1)]
    if empty.size < max(2, weekend.size // 2):
        return None
    hit = int(np.count_nonzero(np.isin(exec_bars, empty)))
    executed = f"; {hit} rebalance{'s' if hit != 1 else ''} executed on them traded nothing" if hit else ""
    return (
        f"price: {empty.size} Saturday and Sunday rows have no trading price for any symbol (first"
        f" {_date(dates[empty[0]])}): a calendar-daily frame? Each row is a bar of the run{executed}, and the"
        " statistics count 365 bars a year; drop such rows first, price.dropna(how='all')"
    )


class Notes(list):
    """The notes of a run as (kind, text) pairs, in the order they were made.

    A kind groups notes of one sort (``"gross"``, ``"unpriced"``, ``"delisting"``, ...): the Python
    warnings of a run are one per kind, and a sweep counts runs per kind.
    """

    def add(self, kind: str, text: str | None) -> None:
        if text:
            self.append((kind, text))

    def texts(self) -> list[str]:
        return [t for _, t in self]

    def kinds(self) -> list[str]:
        return [k for k, _ in self]


def issue(notes: list[tuple[str, str]], stacklevel: int = 3) -> None:
    """One UserWarning per kind of note: its first text, and how many there are.

    The default ``stacklevel`` points at the caller of the function that calls this one.
    """
    groups: dict[str, list[str]] = {}
    for kind, text in notes:
        groups.setdefault(kind, []).append(text)
    for texts in groups.values():
        more = f" (and {len(texts) - 1} more like it in report.warnings)" if len(texts) > 1 else ""
        warnings.warn(texts[0] + more, UserWarning, stacklevel=stacklevel)


def summary(counts: dict[str, tuple[int, str]], noted: int, runs: int, what: str = "sweep") -> str | None:
    """The text of one warning for the notes of many runs: ``noted`` of ``runs`` runs made notes;
    ``counts`` maps each kind to (the runs with it, its first text).

    Examples
    --------
    >>> print(summary({"gross": (3, "position: the row of 2024-01-01 has a gross weight of 2")}, 3, 10))
    sweep: 3 of 10 runs made notes (see a run's report.warnings): 3 with 'gross', first: position: the row of 2024-01-01 has a gross weight of 2
    """
    if not counts:
        return None
    parts = [f"{n} with {kind!r}, first: {first}" for kind, (n, first) in counts.items()]
    return f"{what}: {noted} of {runs} runs made notes (see a run's report.warnings): " + "; ".join(parts)


def warn(notes: list[str], stacklevel: int = 3) -> None:
    """Issue one UserWarning for notes of one kind: the first, and how many there are.

    The default ``stacklevel`` points at the caller of the function that calls this one.
    """
    if notes:
        more = f" (and {len(notes) - 1} more like it in report.warnings)" if len(notes) > 1 else ""
        warnings.warn(notes[0] + more, UserWarning, stacklevel=stacklevel)
