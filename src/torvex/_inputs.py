"""Conversions of the front end: the caller's frames, labels, dates, weights and thresholds as the
engine's arrays.

Each function refuses what the engine would take silently but get wrong (unsorted dates, other date
units, labels that collide as text, NaN or infinite weights, thresholds on unknown symbols) with an
error in the form ``"<argument>: expected <what>; found <what> (first at <label or date>)"``.  The
caller's objects are never written: arrays that are changed later are private copies.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from torvex import _checks
from torvex._stops import StopTable
from torvex.report import _derived

PRICE_KEYS = ("open", "high", "low", "close")


# ---------------------------------------------------------------- small checks


def date_text(ts) -> str:
    ts = pd.Timestamp(ts)
    if ts.tzinfo is None and ts == ts.normalize():
        return ts.strftime("%Y-%m-%d")
    return str(ts)


def first_labels(labels, n=5) -> str:
    labels = list(labels)
    text = ", ".join(repr(x) for x in labels[:n])
    return text + (f" and {len(labels) - n} more" if len(labels) > n else "")


def as_frame(obj, name: str) -> pd.DataFrame:
    """A pandas frame of one column per symbol: a Series as one column, a polars frame converted."""
    if isinstance(obj, pd.Series):
        return obj.to_frame()
    if not isinstance(obj, pd.DataFrame):
        if type(obj).__module__.partition(".")[0] == "polars" and hasattr(obj, "get_column"):
            return from_polars(obj, name)
        if isinstance(obj, (str, bytes)) or hasattr(obj, "__fspath__"):
            raise TypeError(
                f"{name}: expected a pandas DataFrame (dates x symbols); found the path {obj!r}: read the file"
                " first, with torvex.read_prices (CSV or Parquet) or pandas.read_excel (Excel)"
            )
        if isinstance(obj, np.ndarray):
            raise TypeError(
                f"{name}: expected a pandas DataFrame (dates x symbols); found a NumPy array of shape {obj.shape}:"
                " give it dates and symbols, pd.DataFrame(values, index=dates, columns=symbols)"
            )
        raise TypeError(f"{name}: expected a pandas DataFrame (dates x symbols); found {type(obj).__name__}")
    _checks.flat_columns(obj, name)
    return obj


def from_polars(obj: Any, name: str) -> pd.DataFrame:
    """A polars frame whose first column holds the dates as a pandas frame (dates x symbols).

    The columns are read through NumPy, so no pyarrow is needed; nulls become NaN.
    """
    columns = list(obj.columns)
    if not columns:
        raise ValueError(f"{name}: expected a polars DataFrame with a date column first; found no columns")
    first = obj.get_column(columns[0])
    kind = str(first.dtype)
    if not kind.startswith(("Date", "Datetime")):
        raise ValueError(
            f"{name}: expected a polars DataFrame whose first column holds the dates; found column"
            f" {columns[0]!r} of dtype {kind}"
        )
    dates = pd.DatetimeIndex(first.to_numpy(), name=columns[0])
    zone = getattr(first.dtype, "time_zone", None)
    if zone:
        dates = dates.tz_localize("UTC").tz_convert(zone)
    data = {}
    for c in columns[1:]:
        col = obj.get_column(c)
        if not str(col.dtype).startswith(("Float", "Int", "UInt", "Boolean")):
            raise TypeError(f"{name}: expected numeric or bool columns; found dtype {col.dtype} in column {c!r}")
        if str(col.dtype) == "Boolean" and col.null_count() == 0:
            data[c] = col.to_numpy()
        else:
            data[c] = col.cast(float).to_numpy() if str(col.dtype) != "Boolean" else col.fill_null(False).to_numpy()
    return pd.DataFrame(data, index=dates, columns=pd.Index(columns[1:], dtype=object))


def dates_of(index, name: str) -> pd.DatetimeIndex:
    """A strictly ascending DatetimeIndex, or a ValueError naming the first bad date."""
    if not isinstance(index, pd.DatetimeIndex):
        raise TypeError(
            f"{name}: expected a DatetimeIndex of dates; found {type(index).__name__} of dtype {index.dtype}"
            " (convert it with pd.to_datetime)"
        )
    if index.hasnans:
        i = int(np.flatnonzero(index.isna())[0])
        raise ValueError(f"{name}: expected dates without gaps; found NaT at row {i}")
    if not index.is_monotonic_increasing or not index.is_unique:
        ns = index.as_unit("ns").asi8
        i = int(np.flatnonzero(ns[1:] <= ns[:-1])[0]) + 1
        what = "repeated" if ns[i] == ns[i - 1] else f"after {date_text(index[i - 1])}"
        raise ValueError(
            f"{name}: expected dates in ascending order without repeats; found {date_text(index[i])} {what} (row {i})"
        )
    return _checks.in_ns_range(index, name)


def zone_of(index: pd.DatetimeIndex) -> str | None:
    return None if index.tz is None else str(index.tz)


def same_zone(index: pd.DatetimeIndex, zone, name: str) -> None:
    z = zone_of(index)
    if z != zone:
        theirs = "tz-naive" if z is None else f"in time zone {z}"
        ours = "tz-naive" if zone is None else f"in time zone {zone}"
        raise ValueError(f"{name}: dates are {theirs} but the price dates are {ours}; give all inputs in one zone")


def ns_of(index: pd.DatetimeIndex) -> np.ndarray:
    if index.unit == "ns":
        return index.asi8
    return _derived(index, "ns", _to_ns)


def _to_ns(index: pd.DatetimeIndex) -> np.ndarray:
    ns = index.as_unit("ns").asi8
    ns.flags.writeable = False  # shared by every run on this index
    return ns


def labels_text(columns, name: str) -> np.ndarray:
    """Column labels as the text the engine matches, refusing labels that collide."""
    if not isinstance(columns, pd.Index):
        columns = pd.Index(list(columns), dtype=object)
    # Labels that are all text already (an object index may mix in numbers: those become text below).
    if (
        len(columns)
        and pd.api.types.is_string_dtype(columns.dtype)
        and type(columns[0]) is str
        and not columns.hasnans
        and (isinstance(columns.dtype, pd.StringDtype) or columns.inferred_type == "string")
    ):
        if columns.is_unique:
            return columns.to_numpy(dtype=object)
        text = list(columns)
    else:
        text = [str(c) for c in columns]
    if len(set(text)) != len(text):
        seen: dict[str, Any] = {}
        for c, t in zip(columns, text):
            if t in seen:
                if seen[t] is c or seen[t] == c:
                    raise ValueError(f"{name}: expected each symbol once; found {c!r} twice")
                raise ValueError(
                    f"{name}: expected symbols that differ as text; found {seen[t]!r} and {c!r}, both {t!r}"
                )
            seen[t] = c
    return np.array(text, dtype=object)


def block_dtypes(df: pd.DataFrame) -> list | None:
    """dtypes of the frame's storage blocks (a few, where ``df.dtypes`` lists one per column);
    None where this pandas keeps its columns otherwise."""
    blocks = getattr(getattr(df, "_mgr", None), "blocks", None)
    if blocks is None:
        return None
    try:
        sizes = [len(b.mgr_locs) for b in blocks]
        if sum(sizes) != df.shape[1]:
            return None
        return [b.dtype for b, n in zip(blocks, sizes) if n]
    except (AttributeError, TypeError):
        return None


def _numpy_numbers(dtypes) -> bool:
    return dtypes is not None and all(isinstance(dt, np.dtype) and dt.kind in "biuf" for dt in dtypes)


def values_of(df: pd.DataFrame, name: str, dtypes: list | None = None) -> np.ndarray:
    """float64 values of a numeric or bool frame; a view when the frame already holds float64."""
    if _numpy_numbers(block_dtypes(df) if dtypes is None else dtypes):
        return df.to_numpy(dtype=np.float64)
    kinds = set(df.dtypes)
    for dt in kinds:
        if dt.kind not in "biuf":
            col = df.columns[np.flatnonzero(df.dtypes == dt)[0]]
            raise TypeError(f"{name}: expected numeric or bool columns; found dtype {dt} in column {col!r}")
    if all(isinstance(dt, np.dtype) for dt in kinds):
        return df.to_numpy(dtype=np.float64)
    return df.to_numpy(dtype=np.float64, na_value=np.nan)


# --------------------------------------------------------------------- prices


def _first_difference(a: pd.Index, b: pd.Index) -> int:
    """The first position where two indexes of one length differ (labels of any types: an
    element-wise compare of, say, tuples against text is not defined for every index kind)."""
    for i, (x, y) in enumerate(zip(a, b)):
        try:
            same = x is y or bool(x == y)
        except (TypeError, ValueError):
            same = False
        if not same:
            return i
    return 0


def price_frames(price, open, high, low, close):
    """The close frame and a dict of the other given frames, all on the close's dates and symbols."""
    frames: dict[str, pd.DataFrame] = {}
    if isinstance(price, Mapping):
        unknown = [k for k in price if k not in PRICE_KEYS and k != "volume"]
        if unknown:
            raise ValueError(f"price: expected keys among 'open', 'high', 'low', 'close'; found {unknown[0]!r}")
        for k in PRICE_KEYS:
            if price.get(k) is not None:
                frames[k] = as_frame(price[k], f"price['{k}']")
    elif price is not None:
        frames["close"] = as_frame(price, "price")
    for k, v in (("open", open), ("high", high), ("low", low), ("close", close)):
        if v is not None:
            if k in frames:
                raise TypeError(f"{k}: given twice, in price and as a keyword")
            frames[k] = as_frame(v, k)
    if "close" not in frames:
        raise ValueError("price: expected a DataFrame of prices or a mapping with a 'close' frame; found no close")
    ref = frames["close"]
    for k, f in frames.items():
        if k == "close":
            continue
        if f.shape != ref.shape:
            raise ValueError(
                f"{k}: expected a frame of the close's shape {ref.shape} (dates x symbols); found shape {f.shape}"
            )
        if f.index is not ref.index and not f.index.equals(ref.index):
            i = _first_difference(f.index, ref.index)
            raise ValueError(f"{k}: expected the close's dates; found {f.index[i]!r} at row {i}")
        if f.columns is not ref.columns and not f.columns.equals(ref.columns):
            i = _first_difference(f.columns, ref.columns)
            raise ValueError(f"{k}: expected the close's symbols; found {f.columns[i]!r} in column {i}")
    return ref, frames


# ------------------------------------------------------------------- position


def position_frame(position, price_columns) -> pd.DataFrame:
    if isinstance(position, pd.Series):
        name = position.name
        if name is None:
            if len(price_columns) != 1:
                raise ValueError("position: a Series is one symbol's weights and needs its symbol as name; found none")
            name = price_columns[0]
        return position.to_frame(name)
    return as_frame(position, "position")


def weights_of(pos: pd.DataFrame) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Target weights (NaN counts as 0, a bool frame holds each row's True cells at equal weight), the
    flat indices of their non-zero cells (``row * columns + column``, ascending) and those cells' weights."""
    dtypes = block_dtypes(pos)
    if dtypes is None:
        dtypes = list(pos.dtypes)
    if pos.shape[1] and all(getattr(dt, "kind", None) == "b" for dt in dtypes):
        held = pos.to_numpy(dtype=bool, na_value=False)
        count = held.sum(axis=1, keepdims=True)
        w = np.divide(held, count, out=np.zeros(held.shape), where=count > 0)  # C-ordered
        cells = nonzero(w)
        return w, cells, w.ravel()[cells]
    # A C-ordered private copy: the engine reads the weight rows, and the removal of unpriced
    # targets below writes into it.
    w = np.array(values_of(pos, "position", dtypes), dtype=np.float64, order="C")
    # NaN and infinities are non-zero cells too; a finite sum of those cells has only finite terms.
    cells = nonzero(w)
    vals = w.ravel()[cells]
    if math.isfinite(np.add.reduce(vals)):
        return w, cells, vals
    w[np.isnan(w)] = 0.0
    if not np.isfinite(w).all():
        r, c = np.argwhere(~np.isfinite(w))[0]
        raise ValueError(
            f"position: expected finite weights; found {w[r, c]} for {pos.columns[c]!r} on {date_text(pos.index[r])}"
        )
    cells = nonzero(w)
    return w, cells, w.ravel()[cells]


def nonzero(table: np.ndarray) -> np.ndarray:
    """Flat indices of the non-zero cells of a 2-D table, row-major."""
    return np.flatnonzero(table != 0)  # a bool scan: much faster than NumPy's float one


def take(a: np.ndarray, rows: np.ndarray, cols: np.ndarray) -> np.ndarray:
    """``a[rows, cols]``, gathered through the flat memory when ``a`` is contiguous (scattered
    reads of a large table cost a fraction of NumPy's two-index gather)."""
    if a.flags.f_contiguous:
        return a.ravel(order="F")[cols * a.shape[0] + rows]
    if a.flags.c_contiguous:
        return a.ravel()[rows * a.shape[1] + cols]
    return a[rows, cols]


# ---------------------------------------------------------------- thresholds


class Lookup:
    """Positions of the position symbols by their text; the table is built on first use."""

    __slots__ = ("text", "_index")

    def __init__(self, text: np.ndarray):
        self.text = text
        self._index: dict | None = None

    def positions(self, labels, name: str) -> np.ndarray:
        if self._index is None:
            self._index = {t: i for i, t in enumerate(self.text)}
        index = self._index
        text = labels_text(labels, name)
        missing = [lab for lab, t in zip(labels, text) if t not in index]
        if missing:
            raise ValueError(f"{name}: expected symbols of position; found {first_labels(missing)}")
        return np.array([index[t] for t in text], dtype=np.intp)


def threshold(value, name, dates, price_ns, lookup: Lookup):
    """A stop argument in the engine's form; None and NaN mean no stop (infinity)."""
    if value is None:
        return np.inf
    if isinstance(value, StopTable):
        return value
    if isinstance(value, pd.DataFrame):
        _checks.flat_columns(value, name)
        index = dates_of(value.index, name)
        same_zone(index, zone_of(dates), name)
        cols = lookup.positions(value.columns, name)
        table = np.full((len(value) + 1, lookup.text.size), np.inf)
        v = values_of(value, name)
        table[1:, cols] = np.where(np.isnan(v), np.inf, v)
        # Bar d uses the newest row dated on or before it; bars before the first row have no stop (row 0).
        rows = np.searchsorted(ns_of(index), price_ns, side="right")
        return StopTable(table, rows)
    if isinstance(value, pd.Series):
        cols = lookup.positions(value.index, name)
        v = np.full(lookup.text.size, np.inf)
        s = values_of(value.to_frame(), name)[:, 0]
        v[cols] = np.where(np.isnan(s), np.inf, s)
        return v
    if isinstance(value, (numbers.Real, np.integer, np.floating)) and not isinstance(value, (bool, np.bool_)):
        try:
            number = float(value)
        except OverflowError:
            raise ValueError(f"{name}: expected a number that fits a float; found {value!r}") from None
        return np.inf if math.isnan(number) else number
    if isinstance(value, np.ndarray):
        return value  # laid out by position column, as the engine takes it
    raise TypeError(
        f"{name}: expected None, a number, a Series by symbol or a DataFrame by date and symbol;"
        f" found {type(value).__name__}"
    )


# ------------------------------------------------------------------ the steps


@dataclass
class Prices:
    """The price frames as the engine reads them.

    ``arrays`` maps "open", "high", "low" and "close" (those given) to float64 values (bars x
    symbols, views where the frame holds float64 already); ``names`` the argument each came from.
    """

    frame: pd.DataFrame  # the close frame: dates and symbols
    arrays: dict[str, np.ndarray]
    names: dict[str, str]
    dates: pd.DatetimeIndex
    zone: str | None
    ns: np.ndarray
    text: np.ndarray  # symbols as the engine's text
    trade: np.ndarray  # the trading price: arrays[trade_at]


def prices(price, open, high, low, close, *, trade_at: str, touched_exit: bool) -> Prices:
    """The price arguments of ``backtest`` checked and converted."""
    close_df, frames = price_frames(price, open, high, low, close)
    if close_df.shape[0] == 0 or close_df.shape[1] == 0:
        raise ValueError(
            f"price: expected at least one bar and one symbol; found an empty frame of shape {close_df.shape}"
        )
    if trade_at == "open" and "open" not in frames:
        raise ValueError("trade_at: 'open' needs the open prices (price['open'] or open=); found none")
    if touched_exit:
        missing = [k for k in ("open", "high", "low") if k not in frames]
        if missing:
            raise ValueError(f"touched_exit: True needs open, high and low prices; missing {', '.join(missing)}")
    dates = dates_of(close_df.index, "price")
    text = _derived(close_df.columns, "text", lambda c: labels_text(c, "price"))
    names = {k: "price" if k == "close" and price is not None and not isinstance(price, Mapping) else k for k in frames}
    arrays = {k: values_of(f, names[k]) for k, f in frames.items()}
    trade = arrays[trade_at]
    if np.isnan(trade[-1]).all() and np.isnan(trade).all():
        raise ValueError(f"price: expected some trading prices ({trade_at}); found only NaN")
    return Prices(close_df, arrays, names, dates, zone_of(dates), ns_of(dates), text, trade)


@dataclass
class Targets:
    """The position's weights on the price columns they can trade.

    ``weights`` is a private C-ordered copy (rows x kept columns; the removal of unpriced targets
    writes into it); ``cells`` the flat indices of its non-zero cells and ``cell_weights`` their
    weights; ``colmap`` the price column of each kept column (None: the price's columns, in order).
    """

    frame: pd.DataFrame
    dates: pd.DatetimeIndex
    ns: np.ndarray
    weights: np.ndarray
    cells: np.ndarray
    cell_weights: np.ndarray
    colmap: np.ndarray | None
    symbols: pd.Index
    text: np.ndarray
    lookup: Lookup
    boolean: bool

    def price_cols(self, cols: np.ndarray) -> np.ndarray:
        """Price columns of the kept position columns ``cols``."""
        return cols if self.colmap is None else self.colmap[cols]


def targets(position, data: Prices) -> Targets:
    """The position argument checked, converted and laid on the price columns."""
    pos = position_frame(position, data.frame.columns)
    if pos.shape[0] == 0:
        raise ValueError("position: expected at least one row of weights; found an empty frame")
    if pos.shape[1] == 0:
        raise ValueError("position: expected at least one symbol; found a frame without columns")
    pdates = dates_of(pos.index, "position")
    same_zone(pdates, data.zone, "position")
    pos_ns = ns_of(pdates)
    inside = (pos_ns >= data.ns[0]) & (pos_ns <= data.ns[-1])
    if not inside.any():
        raise ValueError(
            f"position: expected rows dated within the price dates {date_text(data.dates[0])} .."
            f" {date_text(data.dates[-1])}; found {date_text(pdates[0])} .. {date_text(pdates[-1])}"
        )
    weights, cells, cell_weights = weights_of(pos)
    price_text = data.text
    pos_text_all = (
        price_text
        if pos.columns is data.frame.columns
        else _derived(pos.columns, "text", lambda c: labels_text(c, "position"))
    )
    colmap = None
    symbols, pos_text = pos.columns, pos_text_all
    if not (
        pos_text_all is price_text
        or (pos_text_all.size == price_text.size and np.array_equal(pos_text_all, price_text))
    ):
        price_col = {t: i for i, t in enumerate(price_text)}
        colmap = np.fromiter((price_col.get(t, -1) for t in pos_text_all), dtype=np.intp, count=pos_text_all.size)
        known = colmap >= 0
        if not known.all():
            used = np.any(weights[:, ~known] != 0, axis=0)
            if used.any():
                missing = pos.columns[~known][used]
                raise ValueError(
                    f"position: expected symbols of price; found weights on {first_labels(missing)}"
                    " without a price column"
                )
            weights = weights[:, known]
            cells = nonzero(weights)
            cell_weights = weights.ravel()[cells]
            colmap = colmap[known]
            symbols, pos_text = pos.columns[known], pos_text_all[known]
    boolean = all(getattr(dt, "kind", None) == "b" for dt in pos.dtypes)
    return Targets(
        pos, pdates, pos_ns, weights, cells, cell_weights, colmap, symbols, pos_text, Lookup(pos_text), boolean
    )


def delisting_bars(delisting, data: Prices, target: Targets) -> np.ndarray | None:
    """The bar on which each position column is delisted (-1: never), or None for none at all.

    ``"auto"``: a stock whose trading prices stop for good before the last bar on which the others
    still have prices is closed on its last priced bar.  A mapping symbol -> date: the last bar dated
    on or before the date.
    """
    trade, colmap, nbars = data.trade, target.colmap, data.ns.size
    if isinstance(delisting, str):
        # Only a stock without a price on the last bar can have stopped trading for good, so the
        # scan for the last priced bar covers those columns alone (unless the last bar is empty).
        ncols = target.text.size
        cand = np.flatnonzero(np.isnan(trade[-1] if colmap is None else trade[-1, colmap]))
        if cand.size == ncols:
            valid = ~np.isnan(trade if colmap is None else trade[:, colmap])
            any_price = valid.any(axis=0)
            if not any_price.any():
                raise ValueError("price: expected trading prices for the position's symbols; found only NaN")
            last_priced = np.where(any_price, valid.shape[0] - 1 - np.argmax(valid[::-1], axis=0), -1)
            gone = any_price & (last_priced < last_priced.max())
        elif cand.size:
            last_priced = np.full(ncols, nbars - 1)
            valid = ~np.isnan(trade[:, cand if colmap is None else colmap[cand]])
            last_priced[cand] = np.where(valid.any(axis=0), valid.shape[0] - 1 - np.argmax(valid[::-1], axis=0), -1)
            gone = (last_priced >= 0) & (last_priced < nbars - 1)
        else:
            return None  # every position symbol has a price on the last bar
        return np.where(gone, last_priced, -1).astype(np.int64) if gone.any() else None
    if isinstance(delisting, Mapping):
        bars = np.full(target.text.size, -1, dtype=np.int64)
        cols = target.lookup.positions(list(delisting.keys()), "delisting")
        when = _checks.date_values(delisting.values(), delisting.keys(), "delisting")
        same_zone(when, data.zone, "delisting")
        at = np.searchsorted(data.ns, ns_of(when), side="right") - 1
        if (at < 0).any():
            k = int(np.flatnonzero(at < 0)[0])
            raise ValueError(
                f"delisting: expected dates on or after the first bar; found {date_text(when[k])}"
                f" for {list(delisting)[k]!r}"
            )
        bars[cols] = at
        return bars
    return None
