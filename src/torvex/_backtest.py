"""From pandas frames to the engine and back: :func:`backtest`.

This is the one place where user input becomes the engine's arrays.  Everything
the engine would take silently but get wrong (unsorted dates, other date
units, NaN weights, targets on stocks without a price, thresholds given in per
cent) is converted or refused here, with a message that names the argument,
what was expected, what was found and the first offending label or date.

The engine keeps its run state at module level, so every call of the engine
and every read of what it leaves behind happens under :data:`CORE_LOCK`; the
report gets private copies of all of it before the lock is released.
"""

from __future__ import annotations

import math
import numbers
import re
import threading
import warnings
from collections.abc import Mapping
from typing import Any, Literal

import numpy as np
import pandas as pd

from torvex import _benchmark, _inputs
from torvex._stops import StopTable
from torvex.report import Report, RunData, _derived

__all__ = ["backtest", "CORE_LOCK"]

#: Serialises every call into ``torvex.core`` made by the front end (the
#: engine's run state and trade log live at module level).
CORE_LOCK = threading.RLock()

_PRICE_KEYS = ("open", "high", "low", "close")

# Aliases pandas 3 no longer takes for offsets, and business-day variants whose
# last price bar is the same as that of the calendar period.
_ALIASES = {
    "M": "ME",
    "Q": "QE",
    "Y": "YE",
    "A": "YE",
    "BM": "ME",
    "BME": "ME",
    "BQ": "QE",
    "BQE": "QE",
    "BY": "YE",
    "BYE": "YE",
    "BA": "YE",
    "SM": "SME",
}


# ---------------------------------------------------------------- small checks


def _fmt_date(ts) -> str:
    ts = pd.Timestamp(ts)
    if ts.tzinfo is None and ts == ts.normalize():
        return ts.strftime("%Y-%m-%d")
    return str(ts)


def _first_labels(labels, n=5) -> str:
    labels = list(labels)
    text = ", ".join(repr(x) for x in labels[:n])
    return text + (f" and {len(labels) - n} more" if len(labels) > n else "")


def _real(value, name: str, *, allow_none_as=None) -> float:
    if value is None and allow_none_as is not None:
        return allow_none_as
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (numbers.Real, np.integer, np.floating)):
        raise TypeError(f"{name}: expected a number; found {type(value).__name__} {value!r}")
    return float(value)


def _finite(value, name: str) -> float:
    v = _real(value, name)
    if not math.isfinite(v):
        raise ValueError(f"{name}: expected a finite number; found {v!r}")
    return v


def _frame(obj, name: str) -> pd.DataFrame:
    if isinstance(obj, pd.Series):
        return obj.to_frame()
    if not isinstance(obj, pd.DataFrame):
        raise TypeError(f"{name}: expected a pandas DataFrame (dates x symbols); found {type(obj).__name__}")
    _inputs.flat_columns(obj, name)
    return obj


def _dates(index, name: str) -> pd.DatetimeIndex:
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
        what = "repeated" if ns[i] == ns[i - 1] else f"after {_fmt_date(index[i - 1])}"
        raise ValueError(
            f"{name}: expected dates in ascending order without repeats; found {_fmt_date(index[i])} {what} (row {i})"
        )
    return _inputs.in_ns_range(index, name)


def _zone(index: pd.DatetimeIndex) -> str | None:
    return None if index.tz is None else str(index.tz)


def _same_zone(index: pd.DatetimeIndex, zone, name: str) -> None:
    z = _zone(index)
    if z != zone:
        theirs = "tz-naive" if z is None else f"in time zone {z}"
        ours = "tz-naive" if zone is None else f"in time zone {zone}"
        raise ValueError(f"{name}: dates are {theirs} but the price dates are {ours}; give all inputs in one zone")


def _ns(index: pd.DatetimeIndex) -> np.ndarray:
    if index.unit == "ns":
        return index.asi8
    return _derived(index, "ns", _to_ns)


def _to_ns(index: pd.DatetimeIndex) -> np.ndarray:
    ns = index.as_unit("ns").asi8
    ns.flags.writeable = False  # shared by every run on this index
    return ns


def _labels(columns, name: str) -> np.ndarray:
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


def _block_dtypes(df: pd.DataFrame) -> list | None:
    """dtypes of the frame's storage blocks (a few, where ``df.dtypes`` lists one per column);
    None where this pandas keeps its columns otherwise."""
    blocks = getattr(getattr(df, "_mgr", None), "blocks", None)
    try:
        sizes = [len(b.mgr_locs) for b in blocks]
        if sum(sizes) != df.shape[1]:
            return None
        return [b.dtype for b, n in zip(blocks, sizes) if n]
    except (AttributeError, TypeError):
        return None


def _numpy_numbers(dtypes) -> bool:
    return dtypes is not None and all(isinstance(dt, np.dtype) and dt.kind in "biuf" for dt in dtypes)


def _values(df: pd.DataFrame, name: str, dtypes: list | None = None) -> np.ndarray:
    """float64 values of a numeric or bool frame; a view when the frame already holds float64."""
    if _numpy_numbers(_block_dtypes(df) if dtypes is None else dtypes):
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


def _price_frames(price, open, high, low, close):
    """The close frame and a dict of the other given frames, all on the close's dates and symbols."""
    frames: dict[str, pd.DataFrame] = {}
    if isinstance(price, Mapping):
        unknown = [k for k in price if k not in _PRICE_KEYS and k != "volume"]
        if unknown:
            raise ValueError(f"price: expected keys among 'open', 'high', 'low', 'close'; found {unknown[0]!r}")
        for k in _PRICE_KEYS:
            if price.get(k) is not None:
                frames[k] = _frame(price[k], f"price['{k}']")
    elif price is not None:
        frames["close"] = _frame(price, "price")
    for k, v in (("open", open), ("high", high), ("low", low), ("close", close)):
        if v is not None:
            if k in frames:
                raise TypeError(f"{k}: given twice, in price and as a keyword")
            frames[k] = _frame(v, k)
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
            bad = np.flatnonzero(f.index != ref.index)
            raise ValueError(f"{k}: expected the close's dates; found {f.index[bad[0]]!r} at row {bad[0]}")
        if f.columns is not ref.columns and not f.columns.equals(ref.columns):
            bad = np.flatnonzero(f.columns != ref.columns)
            raise ValueError(f"{k}: expected the close's symbols; found {f.columns[bad[0]]!r} in column {bad[0]}")
    return ref, frames


# ------------------------------------------------------------------- position


def _position_frame(position, price_columns) -> pd.DataFrame:
    if isinstance(position, pd.Series):
        name = position.name
        if name is None:
            if len(price_columns) != 1:
                raise ValueError("position: a Series is one symbol's weights and needs its symbol as name; found none")
            name = price_columns[0]
        return position.to_frame(name)
    return _frame(position, "position")


def _weights(pos: pd.DataFrame) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Target weights (NaN counts as 0, a bool frame holds each row's True cells at equal weight), the
    flat indices of their non-zero cells (``row * columns + column``, ascending) and those cells' weights."""
    dtypes = _block_dtypes(pos)
    if dtypes is None:
        dtypes = list(pos.dtypes)
    if pos.shape[1] and all(getattr(dt, "kind", None) == "b" for dt in dtypes):
        held = pos.to_numpy(dtype=bool, na_value=False)
        count = held.sum(axis=1, keepdims=True)
        w = np.divide(held, count, out=np.zeros(held.shape), where=count > 0)  # C-ordered
        cells = _nonzero(w)
        return w, cells, w.ravel()[cells]
    # A C-ordered private copy: the engine reads the weight rows, and the removal of unpriced
    # targets below writes into it.
    w = np.array(_values(pos, "position", dtypes), dtype=np.float64, order="C")
    # NaN and infinities are non-zero cells too; a finite sum of those cells has only finite terms.
    cells = _nonzero(w)
    vals = w.ravel()[cells]
    if math.isfinite(np.add.reduce(vals)):
        return w, cells, vals
    w[np.isnan(w)] = 0.0
    if not np.isfinite(w).all():
        r, c = np.argwhere(~np.isfinite(w))[0]
        raise ValueError(
            f"position: expected finite weights; found {w[r, c]} for {pos.columns[c]!r} on {_fmt_date(pos.index[r])}"
        )
    cells = _nonzero(w)
    return w, cells, w.ravel()[cells]


def _nonzero(table: np.ndarray) -> np.ndarray:
    """Flat indices of the non-zero cells of a 2-D table, row-major."""
    return np.flatnonzero(table != 0)  # a bool scan: much faster than NumPy's float one


def _executed_cells(cells: np.ndarray, shape: tuple, run_rows: np.ndarray):
    """(position in ``run_rows``, column, flat key among the executed rows, flat index in the table) of
    the non-zero cells (flat indices ``cells``) on the executed rows ``run_rows`` (ascending), row-major."""
    nrows, ncols = shape
    if cells.size == 0 or run_rows.size == 0:
        none = np.empty(0, dtype=np.intp)
        return none, none, none, none
    rows = cells // ncols
    cols = cells - rows * ncols
    if run_rows.size == nrows:  # every row, each once and in order
        return rows, cols, cells, cells
    at = np.searchsorted(run_rows, rows)
    on = run_rows[np.minimum(at, run_rows.size - 1)] == rows
    k, j = at[on], cols[on]
    return k, j, k * ncols + j, cells[on]


def _take(a: np.ndarray, rows: np.ndarray, cols: np.ndarray) -> np.ndarray:
    """``a[rows, cols]``, gathered through the flat memory when ``a`` is contiguous (scattered
    reads of a large table cost a fraction of NumPy's two-index gather)."""
    if a.flags.f_contiguous:
        return a.ravel(order="F")[cols * a.shape[0] + rows]
    if a.flags.c_contiguous:
        return a.ravel()[rows * a.shape[1] + cols]
    return a[rows, cols]


# -------------------------------------------------------------------- resample


def _resample_bars(resample, dates: pd.DatetimeIndex, price_ns, pos_ns) -> np.ndarray:
    """Bar numbers marked as rebalance points."""
    if resample is None:
        t = pos_ns
    elif isinstance(resample, str):
        alias = resample
        head, sep, tail = resample.partition("-")
        alias = _ALIASES.get(head, head) + sep + tail
        try:
            offset = pd.tseries.frequencies.to_offset(alias)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")  # dropping the zone is intended: periods are local calendar periods
                periods = dates.tz_localize(None).to_period(offset).asi8
        except (ValueError, AttributeError, TypeError) as exc:
            raise ValueError(
                "resample: expected None, a pandas offset alias ('D', 'W', 'W-FRI', 'ME', 'QE', 'YE', ...) or dates;"
                f" found {resample!r}"
            ) from exc
        # The last price bar of each period.
        return np.flatnonzero(np.concatenate((periods[1:] != periods[:-1], [True])))
    elif isinstance(resample, (list, tuple, np.ndarray, pd.Index, pd.Series)):
        given = _inputs.date_values(resample, None, "resample")
        _same_zone(given, _zone(dates), "resample")
        t = np.unique(_ns(given))
        t = t[t >= price_ns[0]]  # a date before the first bar has no bar on or before it
    else:
        try:
            given = pd.DatetimeIndex(resample)
        except (TypeError, ValueError) as exc:
            raise TypeError(
                f"resample: expected None, a pandas offset alias or a list of dates; found {type(resample).__name__}"
            ) from exc
        _same_zone(given, _zone(dates), "resample")
        t = np.unique(_ns(given.dropna()))
        t = t[t >= price_ns[0]]  # a date before the first bar has no bar on or before it
    # The engine's rule: each date marks the last bar dated on or before it.  The dates ascend
    # (checked or made unique above), so the bars do too: repeats are neighbours.
    bars = np.maximum(np.searchsorted(price_ns, t, side="right") - 1, 0)
    return bars[np.concatenate(([True], bars[1:] != bars[:-1]))] if bars.size > 1 else bars


def _executions(marked, price_ns, pos_ns):
    """(signal bars, rows) of the rebalances the engine executes: the row in force at the end of a
    marked bar, executed on the next bar, when it differs from the row executed last."""
    nbars = price_ns.size
    traded = marked[price_ns[marked] >= pos_ns[0]]
    if traded.size == 0:
        return traded, traded
    # Row in force after bar d: the newest row dated strictly before bar d + 1 (all rows after the last bar).
    nxt = np.searchsorted(pos_ns, price_ns[np.minimum(traded + 1, nbars - 1)], side="left") - 1
    rows = np.where(traded + 1 >= nbars, pos_ns.size - 1, np.maximum(nxt, 0))
    new = np.concatenate(([True], rows[1:] != rows[:-1]))
    return traded[new], rows[new]


# ---------------------------------------------------------------- thresholds


class _Lookup:
    """Positions of the position symbols by their text; the table is built on first use."""

    __slots__ = ("text", "_index")

    def __init__(self, text: np.ndarray):
        self.text = text
        self._index: dict | None = None

    def positions(self, labels, name: str) -> np.ndarray:
        if self._index is None:
            self._index = {t: i for i, t in enumerate(self.text)}
        index = self._index
        text = _labels(labels, name)
        missing = [lab for lab, t in zip(labels, text) if t not in index]
        if missing:
            raise ValueError(f"{name}: expected symbols of position; found {_first_labels(missing)}")
        return np.array([index[t] for t in text], dtype=np.intp)


def _threshold(value, name, dates, price_ns, lookup: _Lookup):
    """A stop argument in the engine's form; None and NaN mean no stop (infinity)."""
    if value is None:
        return np.inf
    if isinstance(value, StopTable):
        return value
    if isinstance(value, pd.DataFrame):
        _inputs.flat_columns(value, name)
        _dates(value.index, name)
        _same_zone(value.index, _zone(dates), name)
        cols = lookup.positions(value.columns, name)
        table = np.full((len(value) + 1, lookup.text.size), np.inf)
        v = _values(value, name)
        table[1:, cols] = np.where(np.isnan(v), np.inf, v)
        # Bar d uses the newest row dated on or before it; bars before the first row have no stop (row 0).
        rows = np.searchsorted(_ns(value.index), price_ns, side="right")
        return StopTable(table, rows)
    if isinstance(value, pd.Series):
        cols = lookup.positions(value.index, name)
        v = np.full(lookup.text.size, np.inf)
        s = _values(value.to_frame(), name)[:, 0]
        v[cols] = np.where(np.isnan(s), np.inf, s)
        return v
    if isinstance(value, (numbers.Real, np.integer, np.floating)) and not isinstance(value, (bool, np.bool_)):
        v = float(value)
        return np.inf if math.isnan(v) else v
    if isinstance(value, np.ndarray):
        return value  # laid out by position column, as the engine takes it
    raise TypeError(
        f"{name}: expected None, a number, a Series by symbol or a DataFrame by date and symbol;"
        f" found {type(value).__name__}"
    )


def _largest(th) -> float:
    if type(th) is float:
        return abs(th) if math.isfinite(th) else -np.inf
    vals = np.asarray(th.values if isinstance(th, StopTable) else th, dtype=float)
    vals = np.abs(vals[np.isfinite(vals)])
    return float(vals.max()) if vals.size else -np.inf


# ------------------------------------------------------------------ the entry


def backtest(
    position: pd.DataFrame | pd.Series,
    price: pd.DataFrame | Mapping[str, pd.DataFrame] | None = None,
    *,
    open: pd.DataFrame | None = None,
    high: pd.DataFrame | None = None,
    low: pd.DataFrame | None = None,
    close: pd.DataFrame | None = None,
    trade_at: Literal["close", "open"] = "close",
    resample: str | Any | None = None,
    delisting: Literal["auto"] | Mapping[Any, Any] | None = "auto",
    fee_ratio: float = 0.001425,
    tax_ratio: float = 0.003,
    stop_loss: float | pd.Series | pd.DataFrame | None = None,
    take_profit: float | pd.Series | pd.DataFrame | None = None,
    trail_stop: float | None = None,
    trail_stop_activation: float = 0.0,
    touched_exit: bool = False,
    position_limit: float = 1.0,
    retain_cost_when_rebalance: bool = False,
    stop_trading_next_period: bool = True,
    excursion_window: int = 0,
    excursion_window_step: int = 1,
    periodically_rebalance: bool = True,
    benchmark: pd.Series | str | None = None,
) -> Report:
    """Backtest a table of target weights on a table of prices.

    Costs are on by default: every trade pays a fee of 0.1425% of its value
    (``fee_ratio=0.001425``) and every sale that reduces or closes a position,
    long or short, a tax of 0.3% (``tax_ratio=0.003``).  Pass
    ``fee_ratio=0, tax_ratio=0`` for a run without costs; ``report.trades``
    shows each trade's fees and taxes, ``report.stats()`` their totals.

    Parameters
    ----------
    position : DataFrame or Series
        Target weights, dates x symbols: signed fractions of equity (0.1 is a
        tenth long, -0.1 a tenth short).  NaN means 0.  A frame of booleans
        means "hold": each row's True cells get equal weights summing to 1.
        A Series is one symbol's weights, named by its symbol.
    price : DataFrame or mapping, optional
        Prices, dates x symbols; or a mapping with frames ``"open"``,
        ``"high"``, ``"low"``, ``"close"`` on the same dates and symbols.  The
        close always values the portfolio.
    open, high, low, close : DataFrame, optional
        The same frames given as keywords.
    trade_at : {"close", "open"}
        Price at which trades are made: the bar's close (default) or open.
    resample : None, str or list of dates
        Rebalance points.  None: each row of ``position`` is one.  An offset
        alias (``"W"``, ``"W-FRI"``, ``"ME"``/``"M"``, ``"QE"``/``"Q"``,
        ``"YE"``/``"Y"``, ...): the last price bar of each period.  Dates: the
        last price bar dated on or before each of them.
    delisting : "auto", None or mapping
        ``"auto"``: a stock whose trading prices stop for good before the
        last bar on which the position's other stocks still have prices is
        closed on its last priced bar, at that price.  None: no delisting.  A
        mapping symbol -> last trading date closes the stock on the last bar
        dated on or before that date.
    fee_ratio : float
        Fee charged on the value of every trade (default 0.001425).
    tax_ratio : float
        Tax charged on the value of every trade that reduces or closes a
        position, long or short (default 0.003: a 0.3% tax on every sale and
        every short cover).  Set 0 where no such tax applies.
    stop_loss : float, Series, DataFrame or None
        Exit a position that loses this fraction since its entry (or the last
        rebalance, see Notes).  A Series gives one per symbol, a DataFrame one
        per date and symbol (in force from its date on).  None (default) or
        NaN: no stop.  The engine's own default, 1.0, differs: it stops a
        short at a 100% loss.
    take_profit : float, Series, DataFrame or None
        Exit a position that gains this fraction; forms as ``stop_loss``.
        None (default): no take-profit.
    trail_stop : float or None
        Exit when the price falls this fraction of the entry price below the
        best price since entry (a short: rises above the worst).  None: none.
    trail_stop_activation : float
        The trailing stop is armed once the position has gained this fraction.
    touched_exit : bool
        Exit inside the bar at the band's level when the bar's open, high or
        low touches it (needs open, high and low); otherwise a close beyond
        the band exits on the next bar at its trading price.
    position_limit : float
        Largest holding of one stock as a fraction of equity (default 1.0).
    retain_cost_when_rebalance : bool
        Keep measuring stops from the entry when a rebalance keeps a position
        on the same side.
    stop_trading_next_period : bool
        Leave a stock that a stop closed out of the next rebalance too.
    excursion_window : int
        Also sample each trade's excursion statistics at bar offsets 0,
        ``excursion_window_step``, ... below this window (0: exit only).
    excursion_window_step : int
        Bars between two samples of the window (at least 1).
    periodically_rebalance : bool
        Whether resizing a held position at a rebalance restarts its cost
        basis (the engine's ``RESAMPLE`` setting).
    benchmark : Series, str or None
        Prices to measure the run against: a Series of prices by date, or
        the name of a price (close) column.  Prices must be positive and
        finite (NaN is a missing price); pass returns ``r`` as prices with
        ``(1 + r).cumprod()``.  Laid on the price bars by date: each bar takes
        the last benchmark price dated on or before it, from the benchmark's
        first date to its last (NaN outside them).  When both indexes are
        daily (at most one date per calendar day) and one carries a time of
        day (closes stamped 16:00 against bars at midnight), they are matched
        by calendar date.  The dates must be in the price dates' time zone
        (or both tz-naive), as for ``position``: nothing is converted, since a
        midnight stamp in one zone is the day before in another.  Repeated
        dates, fewer than two price bars within the benchmark's dates, or
        prices whose bar-to-bar changes look like gross returns ``1 + r``
        (a lag-1 autocorrelation below -0.4 over 50 bars or more: a warning)
        are reported.  ``report.stats()`` then gives alpha, beta,
        correlation, tracking_error and information_ratio against it,
        ``report.plot()`` draws it, and ``report.benchmark`` holds it.

    Returns
    -------
    Report
        Equity curve, trades, statistics, plots and the next actions.

    Notes
    -----
    *A row dated on a bar is traded on the next bar.*  With daily bars and a
    row dated Monday, the engine takes the row at Monday's close and buys at
    Tuesday's trading price; with ``trade_at="close"`` that is Tuesday's
    close.

    *Stops are measured from the last rebalance* (where the cumulative price
    ratio restarts at 1), unless ``retain_cost_when_rebalance``: a stock
    bought at 100 and rebalanced at 120 stops at 108 with ``stop_loss=0.1``,
    at 90 with ``retain_cost_when_rebalance=True``.

    *With* ``stop_trading_next_period`` a stock stopped out between two
    rebalances gets weight 0 in the next one even if its row holds it.

    *A stop signalled at the close of a rebalance bar executes on the next
    bar, even though that bar's rebalance re-entered the position.*  A bar's
    stop test runs on the positions carried to it, before the bar's rebalance
    restarts their stop basis, and the exit it signals is carried out on the
    next bar on whatever the rebalance left.  Below, A is bought at 100 on
    bar 1; on bar 2 its close of 89 is below the 10% stop, and the same bar's
    rebalance resizes it to half (ending the first trade and starting a
    second at 89); on bar 3 the stop sells that second trade at 90, a gain:

    >>> import pandas as pd, torvex
    >>> dates = pd.date_range("2024-01-01", periods=5, freq="B")
    >>> price = pd.DataFrame({"A": [100.0, 100.0, 89.0, 90.0, 91.0]}, index=dates)
    >>> rows = pd.DataFrame({"A": [1.0, 0.5]}, index=dates[:2])
    >>> t = torvex.backtest(rows, price, stop_loss=0.1, fee_ratio=0, tax_ratio=0).trades
    >>> t[["entry_price", "exit_price", "exit_signal_date", "pnl", "exit_reason"]].round({"pnl": 4})
       entry_price  exit_price exit_signal_date    pnl exit_reason
    0        100.0        89.0       2024-01-02 -0.110   rebalance
    1         89.0        90.0       2024-01-03  0.005   stop_loss

    *Trades are valued at their fills.*  ``report.trades`` records each
    trade's entry and exit prices as filled (a touched exit at its band's
    level, or at the open when the bar opened through the band), its fees and
    taxes, and its ``pnl``, the cash it made in units of the starting
    capital: the trades' pnl sums to ``creturn.iloc[-1] - 1``
    (``report.reconcile()`` gives the difference, 0 to rounding).

    *A row whose gross weight exceeds 1 is rescaled*: weights 0.8 and 0.8
    become 0.5 and 0.5 (with a warning naming the first such row and its
    scale); a row of 0.2 and 0.2 keeps 60% in cash.  Weights above 1 in
    absolute value warn too: weights are fractions, 0.1 means 10%.

    *Prices the run reads are checked first*: a zero, negative or infinite
    price of a stock the run holds (its trading price and close, and its
    open, high and low with ``touched_exit``), from the first executed bar
    on, is refused with its symbol and date; so is a high below its low.
    Prices that are positive but so extreme that the equity leaves the
    finite range are refused after the run, naming the bar and the symbols
    priced above 1e100 or below 1e-100 there.

    *What changes the trades is also a Python warning*: each kind of note in
    ``report.warnings`` that changes what is traded (removed targets,
    ``delisting="auto"`` closes, exits without a price, touched fills outside
    a bar without an open, rescaled rows, per-cent costs) is issued once per
    run as a ``UserWarning`` with the first case and the count.

    *A target on a stock without a trading price* on the bar where its row is
    executed (not listed yet, halted, gone) is removed from that row before
    the engine runs, and the rest of the row is rescaled as above: rows
    {A: 0.6, B: 0.6} with B unpriced trade A at 0.6, not 0.5.  Each removal is
    listed in ``report.warnings`` (and the first issued as a warning).

    Examples
    --------
    >>> import pandas as pd, torvex
    >>> dates = pd.date_range("2024-01-01", periods=4, freq="D")
    >>> price = pd.DataFrame({"A": [10.0, 10.0, 11.0, 12.1]}, index=dates)
    >>> position = pd.DataFrame({"A": [1.0]}, index=dates[:1])
    >>> report = torvex.backtest(position, price, fee_ratio=0, tax_ratio=0)
    >>> report.creturn.round(4).tolist()   # bought at bar 1's close, +10% twice
    [1.0, 1.0, 1.1, 1.21]

    A target on a stock without a price where its row executes is removed; the
    rest of the row keeps its weight (0.6 here, 40% stays in cash):

    >>> price["B"] = [float("nan"), float("nan"), 5.0, 5.0]
    >>> two = pd.DataFrame({"A": [0.6], "B": [0.6]}, index=dates[:1])
    >>> report = torvex.backtest(two, price, fee_ratio=0, tax_ratio=0)
    >>> report.position
                  A    B
    date
    2024-01-02  0.6  0.0
    >>> float(report.creturn.iloc[-1].round(4))   # 0.4 cash + 0.6 * 1.21
    1.126
    >>> report.warnings[0][:50]
    "position: 'B' has no trading price on 2024-01-02, "
    """
    from torvex.core import excursion, pathsim

    touched_exit, retain_cost_when_rebalance, stop_trading_next_period, periodically_rebalance = (
        _inputs.flag(v, k)
        for k, v in (
            ("touched_exit", touched_exit),
            ("retain_cost_when_rebalance", retain_cost_when_rebalance),
            ("stop_trading_next_period", stop_trading_next_period),
            ("periodically_rebalance", periodically_rebalance),
        )
    )
    if trade_at not in ("close", "open"):
        raise ValueError(f"trade_at: expected 'close' or 'open'; found {trade_at!r}")
    close_df, frames = _price_frames(price, open, high, low, close)
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

    dates = _dates(close_df.index, "price")
    zone = _zone(dates)
    price_ns = _ns(dates)
    price_text = _derived(close_df.columns, "text", lambda c: _labels(c, "price"))
    arg_names = {
        k: "price" if k == "close" and price is not None and not isinstance(price, Mapping) else k for k in frames
    }
    arrays = {k: _values(f, arg_names[k]) for k, f in frames.items()}
    trade = arrays[trade_at]
    if np.isnan(trade[-1]).all() and np.isnan(trade).all():
        raise ValueError(f"price: expected some trading prices ({trade_at}); found only NaN")

    # Position: own dates and symbols, numbers in the engine's layout.
    pos = _position_frame(position, close_df.columns)
    if pos.shape[0] == 0:
        raise ValueError("position: expected at least one row of weights; found an empty frame")
    if pos.shape[1] == 0:
        raise ValueError("position: expected at least one symbol; found a frame without columns")
    pdates = _dates(pos.index, "position")
    _same_zone(pdates, zone, "position")
    pos_ns = _ns(pdates)
    inside = (pos_ns >= price_ns[0]) & (pos_ns <= price_ns[-1])
    if not inside.any():
        raise ValueError(
            f"position: expected rows dated within the price dates {_fmt_date(dates[0])} .. {_fmt_date(dates[-1])};"
            f" found {_fmt_date(pdates[0])} .. {_fmt_date(pdates[-1])}"
        )
    weights, cells, cell_weights = _weights(pos)
    pos_text_all = (
        price_text
        if pos.columns is close_df.columns
        else _derived(pos.columns, "text", lambda c: _labels(c, "position"))
    )
    # Price column of each position column (None: the same columns in the same order).
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
                    f"position: expected symbols of price; found weights on {_first_labels(missing)}"
                    " without a price column"
                )
            weights = weights[:, known]
            cells = _nonzero(weights)
            cell_weights = weights.ravel()[cells]
            colmap = colmap[known]
            symbols, pos_text = pos.columns[known], pos_text_all[known]
    lookup = _Lookup(pos_text)

    fee = _finite(fee_ratio, "fee_ratio")
    tax = _finite(tax_ratio, "tax_ratio")
    limit = _real(position_limit, "position_limit")
    if not limit > 0:
        raise ValueError(f"position_limit: expected a number above 0; found {limit!r}")
    option_notes = [
        _inputs.cost_ratio(fee, "fee_ratio"),
        _inputs.cost_ratio(tax, "tax_ratio"),
        _inputs.position_limit_note(limit),
    ]
    trail = abs(_real(trail_stop, "trail_stop", allow_none_as=np.inf))
    if math.isnan(trail):
        trail = np.inf
    activation = _finite(trail_stop_activation, "trail_stop_activation")
    for name, v in (("excursion_window", excursion_window), ("excursion_window_step", excursion_window_step)):
        if isinstance(v, (bool, np.bool_)) or not isinstance(v, (numbers.Integral, np.integer)):
            raise TypeError(f"{name}: expected an integer; found {type(v).__name__} {v!r}")
    if not 0 <= excursion_window < 2**31:
        raise ValueError(f"excursion_window: expected an integer of at least 0; found {excursion_window}")
    if not 1 <= excursion_window_step < 2**31:
        raise ValueError(f"excursion_window_step: expected an integer of at least 1; found {excursion_window_step}")

    notes: list[str] = [n for n in option_notes if n is not None]
    for n in notes:
        _inputs.warn([n])

    bench_prices = bench_name = None
    if benchmark is not None:
        bench_prices, bench_name, note = _benchmark.prepare(benchmark, dates, close_df)
        if note is not None:
            warnings.warn(note, UserWarning, stacklevel=2)
            notes.append(note)

    # Rebalance points and the rows the engine will execute on them.
    marked = _resample_bars(resample, dates, price_ns, pos_ns)
    if not (price_ns[marked] >= pos_ns[0]).any():
        raise ValueError(
            f"resample: expected rebalance points on or after the first position row {_fmt_date(pdates[0])};"
            f" found {resample!r} marking none of the bars {_fmt_date(dates[0])} .. {_fmt_date(dates[-1])}"
        )
    resample_ns = price_ns[marked] if resample is not None else pos_ns
    signal_bars, exec_rows = _executions(marked, price_ns, pos_ns)
    in_data = signal_bars + 1 < price_ns.size
    exec_bars = signal_bars[in_data] + 1

    # Targets without a trading price on their execution bar are removed from their row.
    run_rows = exec_rows[in_data]  # rows are executed in order, at most once each
    rr, cc, keys, flat = _executed_cells(cells, weights.shape, run_rows)
    targets = cell_weights if flat is cells else weights.ravel()[flat]
    if rr.size:
        unpriced = np.isnan(_take(trade, exec_bars[rr], cc if colmap is None else colmap[cc]))
        if unpriced.any():
            first_removed = len(notes)
            for i, c in zip(rr[unpriced], cc[unpriced]):
                row = run_rows[i]
                notes.append(
                    f"position: {symbols[c]!r} has no trading price on {_fmt_date(dates[exec_bars[i]])}, where the row"
                    f" of {_fmt_date(pdates[row])} is executed; its target {weights[row, c]:g} was removed"
                )
                weights[row, c] = 0.0
            targets = weights.ravel()[flat]
            _inputs.warn(notes[first_removed:])
    _inputs.excursion_limits(int(excursion_window), int(excursion_window_step), price_ns.size, rr.size)
    boolean = all(getattr(dt, "kind", None) == "b" for dt in pos.dtypes)
    for note in (
        (None if boolean else _inputs.gross_note(rr, targets, run_rows.size, pdates[run_rows])),
        (None if boolean else _inputs.percent_note(cells, cell_weights, weights.shape[1], symbols, pdates)),
    ):
        if note is not None:
            notes.append(note)
            _inputs.warn([note])

    # Delisting bars by position column.
    delisting_bars = None
    last_priced = None
    if isinstance(delisting, str):
        if delisting != "auto":
            raise ValueError(f"delisting: expected 'auto', None or a mapping symbol -> date; found {delisting!r}")
        # Only a stock without a price on the last bar can have stopped trading for good, so the
        # scan for the last priced bar covers those columns alone (unless the last bar is empty).
        ncols = pos_text.size
        cand = np.flatnonzero(np.isnan(trade[-1] if colmap is None else trade[-1, colmap]))
        if cand.size == ncols:
            valid = ~np.isnan(trade if colmap is None else trade[:, colmap])
            any_price = valid.any(axis=0)
            if not any_price.any():
                raise ValueError("price: expected trading prices for the position's symbols; found only NaN")
            last_priced = np.where(any_price, valid.shape[0] - 1 - np.argmax(valid[::-1], axis=0), -1)
            gone = any_price & (last_priced < last_priced.max())
        elif cand.size:
            last_priced = np.full(ncols, price_ns.size - 1)
            valid = ~np.isnan(trade[:, cand if colmap is None else colmap[cand]])
            last_priced[cand] = np.where(valid.any(axis=0), valid.shape[0] - 1 - np.argmax(valid[::-1], axis=0), -1)
            gone = (last_priced >= 0) & (last_priced < price_ns.size - 1)
        else:
            gone = None  # every position symbol has a price on the last bar
        if gone is not None and gone.any():
            delisting_bars = np.where(gone, last_priced, -1).astype(np.int64)
    elif isinstance(delisting, Mapping):
        delisting_bars = np.full(pos_text.size, -1, dtype=np.int64)
        cols = lookup.positions(list(delisting.keys()), "delisting")
        when = _inputs.date_values(delisting.values(), delisting.keys(), "delisting")
        _same_zone(when, zone, "delisting")
        bars = np.searchsorted(price_ns, _ns(when), side="right") - 1
        if (bars < 0).any():
            k = int(np.flatnonzero(bars < 0)[0])
            raise ValueError(
                f"delisting: expected dates on or after the first bar; found {_fmt_date(when[k])}"
                f" for {list(delisting)[k]!r}"
            )
        delisting_bars[cols] = bars
    elif delisting is not None:
        raise TypeError(
            f"delisting: expected 'auto', None or a mapping symbol -> date; found {type(delisting).__name__}"
        )

    sl = _threshold(stop_loss, "stop_loss", dates, price_ns, lookup)
    tp = _threshold(take_profit, "take_profit", dates, price_ns, lookup)
    # Sides of the targets actually traded (a row that never executes opens nothing).
    long_only, short_only = not (targets < 0).any(), not (targets > 0).any()
    for name, th, side, why in (
        ("stop_loss", sl, long_only, "a long position"),
        ("take_profit", tp, short_only, "a short position"),
    ):
        big = _largest(th)
        if side and big >= 1:
            text = (
                f"{name}: {big:g} can never be reached by {why} (that would take a price of zero or below);"
                f" thresholds are fractions, 0.1 means 10%"
            )
            warnings.warn(text, UserWarning, stacklevel=2)
            notes.append(text)

    # Prices the run reads for the held stocks, from the first executed bar on, before the engine divides by them.
    held = np.unique(cc[targets != 0])  # position columns with an executed target
    held_cols = held if colmap is None else colmap[held]
    read = dict.fromkeys((trade_at, "close") + (("high", "low", "open") if touched_exit else ()))
    if exec_bars.size:
        _inputs.check_prices(
            {arg_names[k]: arrays[k] for k in read}, int(exec_bars[0]), held_cols, symbols[held], dates
        )
    ohlc = touched_exit and _inputs.ohlc_note(
        arrays["open"], arrays["high"], arrays["low"], arrays["close"], close_df.columns, dates
    )
    if ohlc:
        notes.append(ohlc)
        _inputs.warn([ohlc])

    pos_values = np.ascontiguousarray(weights, dtype=np.float64)
    args = (
        trade,
        arrays["close"],
        arrays.get("high"),
        arrays.get("low"),
        arrays.get("open"),
        price_ns,
        price_text,
        pos_values,
        pos_ns,
        pos_text,
        resample_ns,
    )
    options = dict(
        fee_ratio=fee,
        tax_ratio=tax,
        stop_loss=sl,
        take_profit=tp,
        trail_stop=trail,
        trail_stop_activation=activation,
        touched_exit=bool(touched_exit),
        position_limit=limit,
        retain_cost_when_rebalance=bool(retain_cost_when_rebalance),
        stop_trading_next_period=bool(stop_trading_next_period),
        excursion_window=int(excursion_window),
        excursion_window_step=int(excursion_window_step),
        periodically_rebalance=bool(periodically_rebalance),
        delisting_bars=delisting_bars,
    )
    _runlog = _run_log_module()
    with CORE_LOCK:
        try:
            creturn = pathsim.backtest_(*args, **options)
        except ValueError as exc:
            raise _with_date(exc, dates) from exc
        # Private copies: the next run replaces all of this.
        log = (list(excursion.trades), list(excursion.trade_positions), list(excursion.excursion))
        ops = pathsim.get_stock_operations()
        ops = {k: (dict(v) if isinstance(v, dict) else v) for k, v in ops.items()}
        runlog = _runlog.last_run_log() if _runlog is not None and hasattr(_runlog, "last_run_log") else None
    _inputs.check_equity(np.asarray(creturn), arrays["close"], held_cols, symbols[held], dates)

    first_delisted = len(notes)
    if delisting_bars is not None and isinstance(delisting, str):
        reasons = None if runlog is None else runlog.get("exit_reason")
        fills = None if runlog is None or len(runlog.get("exit_price", ())) != len(log[0]) else runlog["exit_price"]
        for k, (sid, _, exit_bar) in enumerate(log[0]):
            if exit_bar >= 0 and exit_bar == delisting_bars[sid] and (reasons is None or reasons[k] == 4):
                at = "its last price" if fills is None else f"its last price {fills[k]:g}"
                notes.append(
                    f"delisting: {symbols[sid]!r} has no trading price after {_fmt_date(dates[exit_bar])};"
                    f" closed there at {at} (delisting='auto')"
                )

    _inputs.warn(notes[first_delisted:])
    if runlog is not None and runlog.get("matches_trade_log", True):
        ledger = _ledger_notes(runlog, log[0], symbols, dates, arrays if touched_exit else None, colmap)
        notes.extend(ledger)
        for kind in ("exit:", "touched_exit:"):
            _inputs.warn([n for n in ledger if n.startswith(kind)])

    run = RunData(
        dates=dates,
        symbols=symbols,
        creturn=creturn,
        pos_values=pos_values,
        pos_dates=pdates,
        exec_bars=exec_bars,
        exec_rows=run_rows,
        pending_row=(None if in_data.all() else int(exec_rows[-1])),
        trades=log[0],
        trade_positions=log[1],
        excursion=log[2],
        stock_operations=ops,
        runlog=runlog,
        delisting_bars=delisting_bars,
        auto_delisting=isinstance(delisting, str),
        touched_exit=bool(touched_exit),
        excursion_window=int(excursion_window),
        excursion_window_step=int(excursion_window_step),
        exec_cells=(rr, cc, targets, keys),
        warnings=notes,
        settings=dict(
            options,
            trade_at=trade_at,
            resample=resample,
            delisting=delisting if isinstance(delisting, str) or delisting is None else "mapping",
            stop_loss=stop_loss,
            take_profit=take_profit,
            trail_stop=trail_stop,
        ),
        benchmark=bench_prices,
        benchmark_name=bench_name,
    )
    return Report(run)


def _ledger_notes(
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
                f"exit: {symbols[sid]!r} has no trading price on {_fmt_date(dates[bar])}, where its position"
                f" was closed ({_EXIT_WORDS[int(why[k])]}); closed at its last price"
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
        for k, sid, bar, p in zip(ks[outside], sids[outside], bars[outside], fill[outside]):
            notes.append(
                f"touched_exit: {symbols[sid]!r} has no open on {_fmt_date(dates[bar])}, and the bar traded"
                f" wholly beyond the band; filled at the band's level {p:g}, outside the bar's range"
            )
    for sid, pnl in zip(runlog.get("unrecorded_sids", ()), runlog.get("unrecorded_pnl", ())):
        notes.append(
            f"reconcile: {symbols[int(sid)]!r} was held at a value of exactly 0.0, which the trade log counts"
            f" as no holding; its cash flow of {pnl:g} is in no trade, so report.reconcile() is off by it"
        )
    return notes


_EXIT_WORDS = ("rebalance", "stop loss", "take profit", "trailing stop", "delisting", "open")

_RUNLOG: list = []


def _run_log_module():
    """The engine's run log module, looked up once per process (None where it is not built)."""
    if not _RUNLOG:
        try:
            from torvex import _runlog
        except ImportError:
            _runlog = None
        _RUNLOG.append(_runlog if hasattr(_runlog, "last_run_log") else None)
    return _RUNLOG[0]


_PRICE_ROW = re.compile(r" at price row (-?\d+): ")


def _with_date(exc: ValueError, dates) -> ValueError:
    """The engine's invalid-price error with the bar's date added."""
    msg = str(exc)
    m = _PRICE_ROW.search(msg)
    if m and 0 <= int(m.group(1)) < len(dates):
        return ValueError(f"price: {msg} (bar {m.group(1)} is {_fmt_date(dates[int(m.group(1))])})")
    return ValueError(msg)
