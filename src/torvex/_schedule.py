"""The rebalance schedule: which bars are rebalance points, and which position row each executes.

A row dated on a bar is traded on the next bar: the engine takes the row in force at the end of a
marked bar and executes it on the bar after, when it differs from the row executed last.
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass

import numpy as np
import pandas as pd

from torvex import _checks
from torvex._inputs import date_text, ns_of, same_zone, zone_of

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
    # Periods that start a month, quarter or year are the same periods.
    "MS": "ME",
    "BMS": "ME",
    "QS": "QE",
    "BQS": "QE",
    "YS": "YE",
    "AS": "YE",
    "BYS": "YE",
}


def resample_bars(resample, dates: pd.DatetimeIndex, price_ns, pos_ns) -> np.ndarray:
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
                periods = dates.tz_localize(None).to_period(offset).asi8  # type: ignore[arg-type]  # stubs list too few offsets
        except (ValueError, AttributeError, TypeError) as exc:
            raise ValueError(
                "resample: expected None, a pandas offset alias ('D', 'W', 'W-FRI', 'ME', 'QE', 'YE', ...) or dates;"
                f" found {resample!r}"
            ) from exc
        # The last price bar of each period.
        return np.flatnonzero(np.concatenate((periods[1:] != periods[:-1], [True])))
    elif isinstance(resample, (list, tuple, np.ndarray, pd.Index, pd.Series)):
        given = _checks.date_values(resample, None, "resample")
        same_zone(given, zone_of(dates), "resample")
        t = np.unique(ns_of(given))
        t = t[t >= price_ns[0]]  # a date before the first bar has no bar on or before it
    else:
        try:
            given = pd.DatetimeIndex(resample)
        except (TypeError, ValueError) as exc:
            raise TypeError(
                f"resample: expected None, a pandas offset alias or a list of dates; found {type(resample).__name__}"
            ) from exc
        same_zone(given, zone_of(dates), "resample")
        t = np.unique(ns_of(given.dropna()))
        t = t[t >= price_ns[0]]  # a date before the first bar has no bar on or before it
    # The engine's rule: each date marks the last bar dated on or before it.  The dates ascend
    # (checked or made unique above), so the bars do too: repeats are neighbours.
    bars = np.maximum(np.searchsorted(price_ns, t, side="right") - 1, 0)
    return bars[np.concatenate(([True], bars[1:] != bars[:-1]))] if bars.size > 1 else bars


def executions(marked, price_ns, pos_ns):
    """(signal bars, rows) of the rebalances the engine executes: the row in force at the end of a
    marked bar, executed on the next bar, when it differs from the row executed last."""
    nbars = price_ns.size
    # A marked bar before the first row acts too when the next bar is dated after that row (a row
    # dated between two bars, such as a month end on a Saturday): the row is traded on that next bar.
    after = (marked + 1 < nbars) & (price_ns[np.minimum(marked + 1, nbars - 1)] > pos_ns[0])
    traded = marked[(price_ns[marked] >= pos_ns[0]) | after]
    if traded.size == 0:
        return traded, traded
    # Row in force after bar d: the newest row dated strictly before bar d + 1 (all rows after the last bar).
    nxt = np.searchsorted(pos_ns, price_ns[np.minimum(traded + 1, nbars - 1)], side="left") - 1
    rows = np.where(traded + 1 >= nbars, pos_ns.size - 1, np.maximum(nxt, 0))
    new = np.concatenate(([True], rows[1:] != rows[:-1]))
    return traded[new], rows[new]


def executed_cells(cells: np.ndarray, shape: tuple, run_rows: np.ndarray):
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


@dataclass
class Schedule:
    """The rebalances of a run.

    ``resample_ns`` are the engine's rebalance dates; ``signal_bars`` and ``rows`` the bar after which
    each execution is decided and the position row it executes; ``exec_bars`` and ``run_rows`` those of
    them that fall within the data (executed on ``signal_bar + 1``); ``pending_row`` the row decided on
    the last bar, traded after the data (None if there is none).
    """

    resample_ns: np.ndarray
    signal_bars: np.ndarray
    rows: np.ndarray
    exec_bars: np.ndarray
    run_rows: np.ndarray
    pending_row: int | None


def plan(resample, dates: pd.DatetimeIndex, price_ns: np.ndarray, pos_dates: pd.DatetimeIndex, pos_ns) -> Schedule:
    """The schedule of ``resample`` over the price bars ``dates`` for position rows dated ``pos_dates``.

    Examples
    --------
    >>> dates = pd.date_range("2024-01-01", periods=5, freq="D")
    >>> s = plan(None, dates, dates.asi8, dates[[0, 2]], dates[[0, 2]].asi8)
    >>> s.exec_bars.tolist(), s.run_rows.tolist(), s.pending_row
    ([1, 3], [0, 1], None)
    """
    marked = resample_bars(resample, dates, price_ns, pos_ns)
    signal_bars, rows = executions(marked, price_ns, pos_ns)
    if signal_bars.size == 0:
        raise ValueError(
            f"resample: expected rebalance points on or after the first position row {date_text(pos_dates[0])};"
            f" found {resample!r} marking none of the bars {date_text(dates[0])} .. {date_text(dates[-1])}"
        )
    resample_ns = price_ns[marked] if resample is not None else pos_ns
    in_data = signal_bars + 1 < price_ns.size
    pending = None if in_data.all() else int(rows[-1])
    return Schedule(resample_ns, signal_bars, rows, signal_bars[in_data] + 1, rows[in_data], pending)
