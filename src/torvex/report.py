"""The result of :func:`torvex.backtest`: a read-only :class:`Report`.

A report holds private copies of everything a run left behind, so later runs
never change it.  The trades table and the figures are built on first use:
reading only :meth:`Report.stats` costs little.  A report pickles, whatever it
has built so far included (figures excepted; they are rebuilt on demand).
Loading a pickle runs whatever code the pickle names: never unpickle a report
from a source you do not trust, and share reports with :meth:`Report.save`
(Parquet and JSON, read back by :func:`torvex.load_report`).
"""

from __future__ import annotations

import functools
import itertools
import math
import os
import pathlib
import weakref
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

from torvex import _benchmark
from torvex import stats as _st

__all__ = ["Report", "RunData", "EXIT_REASONS", "ACTION_WORDS", "STAT_NAMES"]

EXIT_REASONS = ("rebalance", "stop_loss", "take_profit", "trail_stop", "delisted", "open")

#: What each word of :attr:`Report.actions` means for the next trading bar.
ACTION_WORDS = {
    "enter": "a rebalance is due and buys (or shorts) the stock, not held now",
    "exit": "a rebalance is due and closes the held stock (target 0)",
    "hold": "a rebalance is due and keeps the held stock, resized to its target",
    "tp": "a take-profit side exit detected at the last close executes on the next bar",
    "sl": "a stop-loss side exit detected at the last close executes on the next bar",
    "tp_enter": "as tp, but the pending rebalance row buys the stock again",
    "sl_enter": "as sl, but the pending rebalance row buys the stock again",
    "tp_": "closed on the take-profit side since the last rebalance",
    "sl_": "closed on the stop-loss side since the last rebalance",
}

STAT_NAMES = (
    "total_return",
    "cagr",
    "annual_volatility",
    "sharpe",
    "sortino",
    "max_drawdown",
    "max_drawdown_duration",
    "calmar",
    "exposure",
    "turnover",
    "trades",
    "win_rate",
    "avg_win",
    "avg_loss",
    "profit_factor",
    "expectancy",
    "avg_holding_bars",
    "avg_mae",
    "avg_mfe",
    "fees_paid",
    "taxes_paid",
    "sharpe_per_bar",
    "skew",
    "kurtosis",
    "bars",
    "alpha",
    "beta",
    "correlation",
    "tracking_error",
    "information_ratio",
)

#: The ledger's figures per trade (columns of :attr:`Report.trades`).
FILL_COLUMNS = ("entry_price", "exit_price", "fees", "taxes", "pnl", "committed")

_STAT_INDEX = pd.Index(STAT_NAMES, dtype=object)

_BLOCK = ("mae", "gmfe", "bmfe", "mdd", "profit_period", "path_return")


@dataclass
class RunData:
    """Everything one run handed back, copied out of the engine (internal)."""

    dates: pd.DatetimeIndex
    symbols: pd.Index
    creturn: np.ndarray
    pos_values: np.ndarray
    pos_dates: pd.DatetimeIndex
    exec_bars: np.ndarray
    exec_rows: np.ndarray
    pending_row: int | None
    # The trade log: [stock, entry bar, exit bar] per trade (an n x 3 int64 array from the typed
    # engine, or a list of rows), the position at entry, and the excursion blocks (n x width, or
    # one array per trade).
    trades: np.ndarray | list
    trade_positions: np.ndarray | list
    excursion: np.ndarray | list
    # What to trade next (get_stock_operations' record), or a callable making it on first use.
    stock_operations: dict | Any
    runlog: dict | None
    delisting_bars: np.ndarray | None
    auto_delisting: bool
    touched_exit: bool
    excursion_window: int
    excursion_window_step: int
    # (row among exec_rows, column, weight[, flat key row * columns + column]) of the non-zero targets
    exec_cells: tuple | None = None
    warnings: list = field(default_factory=list)
    # The warnings as (kind, text) pairs, for one Python warning per kind (empty in a loaded report).
    notes: list = field(default_factory=list)
    settings: dict = field(default_factory=dict)
    # The benchmark's prices on the bars (float64, NaN outside its dates) and its name, or None.
    benchmark: np.ndarray | None = None
    benchmark_name: Any = None

    def operations(self) -> dict:
        """The stock-operations record, made now if it was deferred."""
        ops = self.stock_operations
        if callable(ops):
            ops = self.stock_operations = ops()
        return ops

    def __getstate__(self) -> dict:
        self.operations()  # a deferred record travels made
        return self.__dict__


_FACTS: dict[int, tuple[weakref.ref, dict]] = {}


def _forget(key: int, ref: weakref.ref) -> None:
    entry = _FACTS.get(key)
    if entry is not None and entry[0] is ref:
        del _FACTS[key]


def _derived(index: Any, name: str, make):
    """``make(index)``, computed once while ``index`` lives.

    A pandas Index cannot change, so neither can what follows from it alone (its labels as text,
    its dates in nanoseconds, its bars per year): runs on the same frames, as in a sweep, take
    these from here.  Kept by the index's identity, dropped when the index is freed.
    """
    key = id(index)
    entry = _FACTS.get(key)
    if entry is None or entry[0]() is not index:
        try:
            entry = (weakref.ref(index, functools.partial(_forget, key)), {})
        except TypeError:  # not weakly referable: nothing is kept
            return make(index)
        _FACTS[key] = entry
    facts = entry[1]
    if name not in facts:
        facts[name] = make(index)
    return facts[name]


def _row_changes(
    k: np.ndarray, j: np.ndarray, vals: np.ndarray, nrows: int, ncols: int, keys: np.ndarray | None = None
) -> float:
    """Sum of |w_k - w_(k-1)| over the executed rows k (w_(-1) = 0), each row scaled to gross 1 at most.

    Takes the non-zero cells of the executed rows (row k, column j, weight), in row-major order:
    target rows are mostly zeros.  A cell of row k is paired with the same column of row k - 1 by
    its flat key (``k * ncols + j``, given as ``keys`` where known); a cell of row k - 1 whose column
    row k leaves empty is sold in full.
    """
    if nrows == 0 or vals.size == 0:
        return 0.0
    gross = np.maximum(1.0, np.bincount(k, weights=np.abs(vals), minlength=nrows))
    vals = vals / gross[k]
    if keys is None:
        keys = k.astype(np.int64, copy=False) * ncols + j
    up = keys - ncols
    prev = np.searchsorted(keys[:-1], up)  # the search among all keys, capped at the last
    found = keys[prev] == up
    total = np.abs(vals - np.where(found, vals[prev], 0.0)).sum()
    # A cell is kept into the next row exactly when it is the previous-row match of a cell there;
    # the last row's cells (at the end: rows ascend) are not sold.
    kept = np.zeros(keys.size, dtype=bool)
    kept[prev[found]] = True
    kept[np.searchsorted(k, nrows - 1) :] = True
    total += np.abs(vals[~kept]).sum()
    return float(total)


def _mean_of(x: np.ndarray) -> float:
    """float(np.nanmean(x)) of a 1-D array: the sum of a contiguous copy over the count, as np.nanmean
    takes it when x holds no NaN (a NaN sum says there may be one: np.nanmean then)."""
    x = np.ascontiguousarray(x)
    total = np.add.reduce(x)
    if not math.isnan(total):
        return float(total / x.size)
    return float(np.nanmean(x)) if not np.isnan(x).all() else float("nan")  # np.nanmean warns on all NaN


def _trade_figures(entry: np.ndarray, exit_: np.ndarray, blocks: np.ndarray, nbars: int, fills: dict) -> dict:
    """Trade statistics of Report.stats.

    Wins and losses are the closed trades' ledger pnl (a win: pnl > 0) and their returns pnl /
    committed; trades whose pnl is not finite are left out.  Holding bars and excursions are of all
    trades, charges of all trades.  A mean is the sum over the count, as ndarray.mean takes it.
    """
    nan = float("nan")
    n = len(entry)
    if n == 0:
        return dict(
            trades=0,
            win_rate=nan,
            avg_win=nan,
            avg_loss=nan,
            profit_factor=nan,
            expectancy=nan,
            avg_holding_bars=nan,
            avg_mae=nan,
            avg_mfe=nan,
            fees_paid=0.0,
            taxes_paid=0.0,
        )
    closed = exit_ != -1
    pnl, ret = fills["pnl"][closed], _trade_returns(fills)[closed]
    ok = np.isfinite(pnl) & np.isfinite(ret)
    if not ok.all():
        pnl, ret = pnl[ok], ret[ok]
    win = pnl > 0
    won, lost = np.add.reduce(pnl[win]), np.add.reduce(pnl[~win])
    n_win = int(np.count_nonzero(win))
    n_loss = pnl.size - n_win
    holding = float((np.where(closed, exit_, nbars) - entry).mean())
    return {
        "trades": n,
        "win_rate": n_win / pnl.size if pnl.size else nan,
        "avg_win": float(np.add.reduce(ret[win]) / n_win) if n_win else nan,
        "avg_loss": float(np.add.reduce(ret[~win]) / n_loss) if n_loss else nan,
        "profit_factor": float(won / -lost) if n_loss and lost < 0 else nan,
        "expectancy": float(np.add.reduce(ret) / ret.size) if ret.size else nan,
        "avg_holding_bars": holding,
        "avg_mae": _mean_of(blocks[:, -6]),
        "avg_mfe": _mean_of(blocks[:, -5]),
        "fees_paid": float(np.add.reduce(fills["fees"])),
        "taxes_paid": float(np.add.reduce(fills["taxes"])),
    }


def _trade_returns(fills: dict) -> np.ndarray:
    """Each trade's return on the money it committed: pnl / committed (NaN where nothing was committed)."""
    committed = fills["committed"]
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(committed > 0, fills["pnl"] / committed, np.nan)


def _cells(pos_values: np.ndarray, rows: np.ndarray):
    """Non-zero cells (row among ``rows``, column, weight) of the executed rows, row-major."""
    table = pos_values[rows]
    k, j = np.nonzero(table)
    return k, j, table[k, j]


def _stats_ppy(value) -> int | float:
    """``periods_per_year`` of Report.stats: a positive finite number of bars per year."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"periods_per_year: expected None or a positive number of bars; found {type(value).__name__}")
    try:
        v = float(value)
    except OverflowError:
        v = math.inf
    if not (v > 0 and math.isfinite(v)):
        raise ValueError(f"periods_per_year: expected None or a positive finite number of bars; found {value!r}")
    return int(value) if isinstance(value, (int, np.integer)) and v < 2**53 else v


def _readonly(a: np.ndarray) -> np.ndarray:
    a = np.asarray(a)
    a.flags.writeable = False
    return a


def _window_span(window) -> int | pd.Timedelta:
    """The window of :meth:`Report.rolling` as a number of bars (at least 2) or a positive fixed span."""
    from datetime import timedelta

    from pandas.tseries.frequencies import to_offset

    expected = "an int number of bars (at least 2) or a fixed time span such as '63D', '36h' or a Timedelta"
    if isinstance(window, (bool, np.bool_)) or not isinstance(
        window, (int, np.integer, str, timedelta, np.timedelta64, pd.offsets.BaseOffset)
    ):
        raise TypeError(f"window: expected {expected}; found {type(window).__name__}")
    if isinstance(window, (int, np.integer)) and not isinstance(window, np.timedelta64):
        if window < 2:
            raise ValueError(f"window: expected {expected}; found {window}")
        return int(window)
    try:
        offset = to_offset(window) if isinstance(window, (str, pd.offsets.BaseOffset)) else window
    except ValueError:
        raise ValueError(f"window: expected {expected}; found {window!r}, not a pandas frequency") from None
    try:
        span = pd.Timedelta(offset)  # type: ignore[arg-type]  # a calendar offset raises the ValueError below
    except ValueError:
        raise ValueError(
            f"window: expected {expected}; found {window!r}, a calendar span of varying length"
            " (pandas' rolling takes fixed spans only)"
        ) from None
    if not span > pd.Timedelta(0):
        raise ValueError(f"window: expected {expected}; found {window!r}, not a positive span")
    return span


class Report:
    """Equity curve, trades, statistics, plots and next actions of one backtest.

    Built by :func:`torvex.backtest`; read-only.

    A report pickles (a sweep sends reports between processes that way), but
    ``pickle.load`` on a file from an untrusted source runs arbitrary code: a
    crafted "report" pickle can run any command and still return a real
    Report, so nothing looks wrong afterwards.  To share a report, or keep one
    that others may change, use :meth:`save`: a directory of Parquet files and
    a ``report.json`` that :func:`torvex.load_report` reads back without
    running any code from it.

    Examples
    --------
    >>> import torvex
    >>> from torvex.datasets import synthetic_universe
    >>> price = synthetic_universe(n_stocks=5, n_bars=300, seed=3)
    >>> report = torvex.backtest(price.notna(), price, resample="ME")
    >>> bool(report.stats()["trades"] > 0)
    True
    >>> list(report.trades.columns[:3])
    ['symbol', 'entry_date', 'exit_date']
    """

    # Set once through __dict__ in __init__ (the report refuses attribute assignment).
    _run: RunData
    _cache: dict[str, Any]
    _exec_bars: np.ndarray
    _exec_rows: np.ndarray
    _start: int
    #: The run's warnings, in the order they were raised.
    warnings: tuple[str, ...]

    def __init__(self, run: RunData):
        d = self.__dict__
        d["_run"] = run
        d["_cache"] = {}
        rl = run.runlog or {}
        if "rebalance_bars" in rl and "rebalance_rows" in rl:
            bars, rows = np.asarray(rl["rebalance_bars"], np.int64), np.asarray(rl["rebalance_rows"], np.int64)
        else:
            bars, rows = run.exec_bars, run.exec_rows
        d["_exec_bars"], d["_exec_rows"] = _readonly(np.array(bars)), _readonly(np.array(rows))
        # Returns count from the close at which the first executed row holding anything was taken
        # (value 1.0 there): leading rows of nothing but cash (a signal still warming up) are left out.
        if len(bars):
            if run.exec_cells is not None and len(run.exec_rows) == len(rows):
                k, _, vals = run.exec_cells[:3]  # row-major: the first cell held is in the first row held
                i = int(np.argmax(vals != 0)) if vals.size else 0
                k0 = int(k[i]) if vals.size and vals[i] != 0 else 0
            else:
                held = np.flatnonzero(np.any(run.pos_values[rows] != 0, axis=1))
                k0 = int(held[0]) if held.size else 0
            d["_start"] = int(bars[k0]) - 1
        else:
            traded = np.flatnonzero(run.dates.as_unit("ns").asi8 >= run.pos_dates.as_unit("ns").asi8[0])
            d["_start"] = int(traded[0]) if traded.size else len(run.dates) - 1
        d["warnings"] = tuple(run.warnings)

    def __setattr__(self, name, value):
        raise AttributeError(f"Report is read-only; cannot set {name!r}")

    def __delattr__(self, name):
        raise AttributeError(f"Report is read-only; cannot delete {name!r}")

    def __getstate__(self):
        # Pickling is for trusted places (a sweep's workers, a cache of one's own): unpickling runs
        # code the pickle names.  Reports that travel go through save() / load_report (Parquet).
        state = dict(self.__dict__)
        state["_cache"] = {k: v for k, v in self._cache.items() if not k.startswith("fig")}
        return state

    def __setstate__(self, state):
        self.__dict__.update(state)

    # ------------------------------------------------------------- series

    @property
    def creturn(self) -> pd.Series:
        """Portfolio value at each bar's close, starting capital 1.0."""
        c = self._cache
        if "creturn" not in c:
            r = self._run
            c["creturn"] = pd.Series(_readonly(np.array(r.creturn)), index=r.dates, name="creturn")
        return c["creturn"].copy(deep=False)

    @property
    def start(self) -> pd.Timestamp:
        """Bar at whose close the first executed row with a non-zero target was taken: where
        :attr:`returns` and :meth:`stats` start (value 1.0).  Earlier executed rows of nothing but cash
        (a signal still warming up) are left out; without any such row, the first executed row."""
        return self._run.dates[self._start]

    @property
    def end(self) -> pd.Timestamp:
        """The last bar: where :attr:`returns` and :meth:`stats` end."""
        return self._run.dates[-1]

    @property
    def returns(self) -> pd.Series:
        """Per-bar simple returns from the bar after :attr:`start` on."""
        if "returns" not in self._cache:
            v = self._run.creturn[self._start :]
            with np.errstate(divide="ignore", invalid="ignore"):  # NaN after a value of 0 (all lost)
                r = v[1:] / v[:-1] - 1.0
            self._cache["returns"] = pd.Series(r, index=self._run.dates[self._start + 1 :], name="returns")
        return self._cache["returns"].copy(deep=False)

    @property
    def drawdown(self) -> pd.Series:
        """Relative distance of :attr:`creturn` below its running peak (0 at a peak)."""
        return pd.Series(_st.drawdown(self._run.creturn), index=self._run.dates, name="drawdown")

    @property
    def benchmark(self) -> pd.Series | None:
        """The run's benchmark (``backtest(benchmark=...)``) as prices on the price dates, or None.

        float64, named as the benchmark: each bar holds the last benchmark
        price dated on or before it, NaN before the benchmark's first date and
        after its last.  :meth:`stats` and :meth:`plot` use it unless given
        another.

        Examples
        --------
        >>> import torvex
        >>> from torvex.datasets import synthetic_universe
        >>> price = synthetic_universe(n_stocks=4, n_bars=200, seed=1)
        >>> report = torvex.backtest(price.notna(), price, resample="ME", benchmark="S0001")
        >>> report.benchmark.name, report.benchmark.dtype
        ('S0001', dtype('float64'))
        >>> torvex.backtest(price.notna(), price, resample="ME").benchmark is None
        True
        """
        r = self._run
        if r.benchmark is None:
            return None
        c = self._cache
        if "benchmark" not in c:
            c["benchmark"] = pd.Series(
                _readonly(np.array(r.benchmark, dtype=np.float64)), index=r.dates, name=r.benchmark_name
            )
        return c["benchmark"].copy(deep=False)

    def drawdowns(self, top: int | None = 5) -> pd.DataFrame:
        """The deepest drawdowns of :attr:`creturn` from :attr:`start` on, deepest first.

        A drawdown is a maximal stretch of bars below the running peak, from
        the peak to the first bar back at or above it (see
        :func:`torvex.stats.drawdown_periods`).  Equal depths keep the order
        of time.

        Parameters
        ----------
        top : int or None
            How many rows at most (a positive int); None for all drawdowns.

        Returns
        -------
        DataFrame
            One row per drawdown (none without one): peak (the date of the
            last bar at the running peak before the fall), valley (the first
            date of its lowest value), recovery (the first date back at or
            above the peak's value; NaT when not recovered), depth
            (valley / peak - 1, negative), bars_to_valley (valley bar - peak
            bar) and bars_under_water (recovery bar - peak bar, or last bar -
            peak bar when not recovered: the largest is the
            max_drawdown_duration of :meth:`stats`).

        Examples
        --------
        >>> import pandas as pd, torvex
        >>> dates = pd.bdate_range("2024-01-01", periods=8)
        >>> price = pd.DataFrame({"A": [10, 10, 8, 9, 10, 12, 11, 11.5]}, index=dates)
        >>> report = torvex.backtest(pd.DataFrame({"A": [1.0]}, index=dates[:1]), price,
        ...                          fee_ratio=0, tax_ratio=0)
        >>> report.drawdowns().round({"depth": 4})
                peak     valley   recovery   depth  bars_to_valley  bars_under_water
        0 2024-01-02 2024-01-03 2024-01-05 -0.2000               1                 3
        1 2024-01-08 2024-01-09        NaT -0.0833               1                 2
        """
        if top is not None:
            if isinstance(top, (bool, np.bool_)) or not isinstance(top, (int, np.integer)):
                raise TypeError(f"top: expected a positive int or None; found {type(top).__name__}")
            if top < 1:
                raise ValueError(f"top: expected a positive int or None; found {top}")
        value = self._run.creturn[self._start :]
        dates = self._run.dates[self._start :]
        peak, valley, recovery, depth = _st.drawdown_periods(value)
        pick = np.argsort(depth, kind="stable")[:top]
        peak, valley, recovery, depth = peak[pick], valley[pick], recovery[pick], depth[pick]
        back = recovery >= 0
        return pd.DataFrame(
            {
                "peak": dates[peak],
                "valley": dates[valley],
                "recovery": dates[np.where(back, recovery, 0)].where(back),
                "depth": depth,
                "bars_to_valley": valley - peak,
                "bars_under_water": np.where(back, recovery, len(value) - 1) - peak,
            }
        )

    def rolling(self, window: int | str | pd.Timedelta) -> pd.DataFrame:
        """Figures of :attr:`returns` over a rolling window, by the date of its last bar.

        Parameters
        ----------
        window : int, str or Timedelta
            Bars per window (an int, at least 2), or a fixed time span as
            pandas' rolling takes it on dates ("63D", "36h", a Timedelta):
            the bars dated within the span up to and including the row's.
            Calendar spans of varying length ("3ME", "W", "5B") are refused.

        Returns
        -------
        DataFrame
            float64, indexed like :attr:`returns`: return (compounded over
            the window), volatility (sample standard deviation times the
            square root of the bars per year, as in :meth:`stats`), sharpe
            (the mean over the standard deviation, annualised likewise;
            risk-free 0) and drawdown (the maximum drawdown within the
            window, from the value before its first bar: negative or 0);
            with a :attr:`benchmark`, beta (the covariance of the returns
            with the benchmark's, bar to bar, over the benchmark's variance,
            on the bars where both have one; NaN for a benchmark that does
            not move).  Rows whose window reaches back before :attr:`start` are NaN: the
            first ``window - 1`` for a number of bars, those dated less than
            the span after :attr:`start` for a span.

        Examples
        --------
        >>> import torvex
        >>> from torvex.datasets import synthetic_universe
        >>> price = synthetic_universe(n_stocks=4, n_bars=300, seed=1)
        >>> report = torvex.backtest(price.notna(), price, resample="ME")
        >>> roll = report.rolling(63)
        >>> list(roll.columns), int(roll["return"].isna().sum())
        (['return', 'volatility', 'sharpe', 'drawdown'], 62)
        >>> value = report.creturn
        >>> bool(abs(roll["return"].iloc[-1] - (value.iloc[-1] / value.iloc[-64] - 1)) < 1e-12)
        True
        >>> bool((report.rolling("91D")["drawdown"].dropna() <= 0).all())
        True
        >>> torvex.backtest(price.notna(), price, resample="ME", benchmark="S0001").rolling(21).columns[-1]
        'beta'
        """
        span = _window_span(window)
        ret = self.returns
        value = self._run.creturn[self._start :]
        n = ret.size
        if isinstance(span, int):
            roll = ret.rolling(span, min_periods=span)
            bars = np.full(n, span)
            full = np.arange(n) >= span - 1
        else:
            roll = ret.rolling(span, min_periods=1)
            bars = pd.Series(np.ones(n), index=ret.index).rolling(span).sum().to_numpy().astype(np.int64)
            full = ret.index >= self.start + span
        root = math.sqrt(self._periods_per_year())
        # A window of equal returns has a standard deviation of exactly 0 (as in stats), which pandas'
        # running sums leave as rounding noise after a window of different ones.
        flat = (roll.max() == roll.min()).to_numpy()
        std = roll.std().to_numpy()
        std = np.where(flat & ~np.isnan(std), 0.0, std)  # NaN for fewer than two returns
        mean = np.where(flat, roll.max().to_numpy(), roll.mean().to_numpy())
        end = np.arange(1, n + 1)  # the value at each row's bar; the window's values start bars earlier
        begin = end - bars
        growth = np.full(n, np.nan)
        drawdown = np.full(n, np.nan)
        with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
            growth[full] = value[end[full]] / value[begin[full]] - 1.0
            sharpe = mean / std * root
            for i in np.flatnonzero(full):
                v = value[begin[i] : end[i] + 1]
                drawdown[i] = min(np.min(v / np.fmax.accumulate(v)) - 1.0, 0.0)
        cols = {"return": growth, "volatility": std * root, "sharpe": sharpe, "drawdown": drawdown}
        bench = self.benchmark
        if bench is not None:
            p = bench.to_numpy()[self._start :]
            with np.errstate(divide="ignore", invalid="ignore", over="ignore"):  # a price of 1e-310 after 1e300
                b = pd.Series(p[1:] / p[:-1] - 1.0, index=ret.index)
            both = ret.notna() & b.notna()
            x, y = ret.where(both), b.where(both)
            pairs = span if isinstance(span, int) else 2
            cov = x.rolling(span, min_periods=pairs).cov(y).to_numpy()
            by = y.rolling(span, min_periods=pairs)
            var = by.var().to_numpy()
            moves = (by.max() > by.min()).to_numpy()  # else its variance is 0 or rounding noise
            with np.errstate(divide="ignore", invalid="ignore"):
                cols["beta"] = np.where(moves & (var > 0), cov / var, np.nan)
        for name in ("volatility", "sharpe", "beta"):
            if name in cols:
                cols[name] = np.where(full, cols[name], np.nan)
        return pd.DataFrame(cols, index=ret.index)

    # ---------------------------------------------------------- positions

    @property
    def position(self) -> pd.DataFrame:
        """Target rows actually executed, indexed by the date of the bar each was traded on.

        Weights as handed to the engine (NaN as 0, unpriced targets removed),
        before the engine's rescaling of a gross weight above 1.  See
        :attr:`rebalances` for each execution's bar and row date.
        """
        r = self._run
        idx = pd.Index(r.dates[self._exec_bars], name="date")
        return pd.DataFrame(r.pos_values[self._exec_rows], index=idx, columns=r.symbols)

    @property
    def rebalances(self) -> pd.DataFrame:
        """One line per executed rebalance: its bar, the bar's date and the date of the row executed."""
        r = self._run
        return pd.DataFrame(
            {
                "date": r.dates[self._exec_bars],
                "bar": self._exec_bars.astype(np.int64),
                "row_date": r.pos_dates[self._exec_rows],
            }
        )

    def _by_symbol(self, d: dict, name: str) -> pd.Series:
        sids = sorted(d)
        return pd.Series([float(d[s]) for s in sids], index=self._run.symbols[sids], name=name, dtype=np.float64)

    @property
    def weights(self) -> pd.Series:
        """Weights of the last executed rebalance by symbol (0 for a stock no longer held)."""
        return self._by_symbol(self._run.operations().get("weights", {}), "weight")

    @property
    def next_weights(self) -> pd.Series:
        """Weights of the pending row (or of the last executed one) by symbol, stopped-out stocks left out."""
        return self._by_symbol(self._run.operations().get("next_weights", {}), "next_weight")

    @property
    def actions(self) -> pd.DataFrame:
        """What happens to each stock at the next trading bar: action, weight, next_weight.

        The action words are those of :data:`ACTION_WORDS` ("enter", "exit",
        "hold", "tp", "sl", "tp_enter", "sl_enter", "tp_", "sl_"); a stock
        with weights but no action has an empty action.
        """
        ops = self._run.operations()
        acts, w, nw = ops.get("actions", {}), ops.get("weights", {}), ops.get("next_weights", {})
        sids = sorted(set(acts) | set(w) | set(nw))
        return pd.DataFrame(
            {
                "action": [acts.get(s, "") for s in sids],
                "weight": [float(w.get(s, 0.0)) for s in sids],
                "next_weight": [float(nw.get(s, 0.0)) for s in sids],
            },
            index=pd.Index(self._run.symbols[sids], name="symbol"),
        )

    # -------------------------------------------------------------- trades

    def _fills(self) -> dict:
        """The ledger's figures per trade (:data:`FILL_COLUMNS`), NaN where the engine's log does not
        describe this run's trades."""
        c = self._cache
        if "fills" not in c:
            n = len(self._run.trades)
            rl = self._run.runlog or {}
            if rl.get("matches_trade_log", True) and all(len(rl.get(k, ())) == n for k in FILL_COLUMNS):
                c["fills"] = {k: _readonly(np.asarray(rl[k], dtype=np.float64)) for k in FILL_COLUMNS}
            else:
                c["fills"] = {k: _readonly(np.full(n, np.nan)) for k in FILL_COLUMNS}
        return c["fills"]

    def reconcile(self) -> float:
        """The trades' pnl summed, less the equity curve's gain: 0 to rounding on every run.

        Each trade's ``pnl`` is the cash the ledger moved for it (its last close mark while open), so
        ``report.trades.pnl.sum()`` equals ``creturn.iloc[-1] - 1``.  Where a held value reached
        exactly 0.0, which the engine's trade log records as no holding, the cash that position moved
        belongs to no trade and the residual is that amount; :attr:`warnings` names the stock.

        Returns
        -------
        float
            ``trades.pnl.sum() - (creturn.iloc[-1] - 1)``.

        Examples
        --------
        >>> import torvex
        >>> from torvex.datasets import synthetic_universe
        >>> price = synthetic_universe(n_stocks=5, n_bars=300, seed=3)
        >>> report = torvex.backtest(price.notna(), price, resample="ME", stop_loss=0.05)
        >>> abs(report.reconcile()) < 1e-12
        True
        """
        return float(np.add.reduce(self._fills()["pnl"]) - (self._run.creturn[-1] - 1.0))

    def _trade_arrays(self, full: bool = False):
        """(stock ids, entry bars, exit bars, positions, statistics) of the trades; the statistics hold
        the exit block only unless ``full`` (all sampled blocks of a windowed run)."""
        c = self._cache
        r = self._run
        if "ta" not in c:
            n = len(r.trades)
            if isinstance(r.trades, np.ndarray):
                t = r.trades.reshape(n, 3)
                pos = np.asarray(r.trade_positions, dtype=np.float64)
                last = np.asarray(r.excursion, dtype=np.float64).reshape(n, -1)[:, -6:] if n else np.empty((0, 6))
            else:
                t = np.fromiter(itertools.chain.from_iterable(r.trades), dtype=np.int64, count=3 * n).reshape(n, 3)
                pos = np.fromiter(r.trade_positions, dtype=np.float64, count=n)
                width = len(r.excursion[0]) if n else 6
                if width == 6:
                    last = np.concatenate(r.excursion).reshape(n, 6) if n else np.empty((0, 6))
                else:
                    last = np.concatenate([x[-6:] for x in r.excursion]).reshape(n, 6)
            c["ta"] = (t[:, 0], t[:, 1], t[:, 2], pos, last)
        if full and len(r.trades) and len(r.excursion[0]) != 6:
            blocks = r.excursion if isinstance(r.excursion, np.ndarray) else np.concatenate(r.excursion)
            return c["ta"][:4] + (np.asarray(blocks).reshape(len(r.trades), -1),)
        return c["ta"]

    @property
    def trades(self) -> pd.DataFrame:
        """One row per trade, in the order the engine recorded them.

        Columns:

        - symbol; entry_date, exit_date (NaT while open); entry_signal_date
          (the bar before the entry), exit_signal_date (the exit's bar with
          touched exits, else the bar before; NaT while open);
        - position (signed share of equity at entry); period (bars held, to
          the last bar while open); entry_bar, exit_bar (-1 while open);
        - what the ledger did: entry_price and exit_price, the prices it
          filled at (the bar's trading price for rebalances and close exits;
          the band's level for a touched exit, or the open when the bar opened
          through the band; the last price for a stock without a price on its
          exit bar; NaN exit while open); fees and taxes charged for the trade;
          pnl, the cash the trade made in units of the starting capital (a
          trade open at the end is marked at the last close), so that
          ``trades.pnl.sum() == creturn.iloc[-1] - 1`` to rounding (see
          :meth:`reconcile`); committed, the money its opening target and later
          additions put in; return = pnl / committed;
        - the excursion statistics at the exit: mae, gmfe, bmfe, mdd,
          profit_period, and path_return, the return along the close-to-close
          path to the exit bar's trading price, after costs (it differs from
          return for a touched exit, filled at its band, and across a halt);
          with ``excursion_window`` the same six sampled at bar offset k after
          the entry as ``mae_at_k`` ... ``path_return_at_k`` (NaN where the
          data ended first);
        - exit_reason (one of :data:`EXIT_REASONS`), touched (True when a
          touched exit filled the trade at its band inside the bar).

        Examples
        --------
        >>> import torvex
        >>> from torvex.datasets import synthetic_universe
        >>> price = synthetic_universe(n_stocks=5, n_bars=300, seed=3)
        >>> t = torvex.backtest(price.notna(), price, resample="ME").trades
        >>> bool((t["return"] == t["pnl"] / t["committed"]).all())
        True
        """
        c = self._cache
        if "trades" not in c:
            c["trades"] = self._build_trades()
        return c["trades"].copy(deep=False)

    def _build_trades(self) -> pd.DataFrame:
        r = self._run
        sid, entry, exit_, pos, blocks = self._trade_arrays(full=True)
        nbars = len(r.dates)
        open_ = exit_ == -1
        dates = r.dates
        nat = pd.DatetimeIndex(np.full(len(sid), np.datetime64("NaT", "ns")), tz=dates.tz)

        def at(bars, valid):
            out = dates[np.where(valid, bars, 0)] if len(bars) else dates[:0]
            return out.where(valid, nat) if len(bars) else out

        ex_sig = exit_ if r.touched_exit else exit_ - 1
        cols: dict[str, Any] = {
            "symbol": r.symbols[sid] if len(sid) else r.symbols[:0],
            "entry_date": at(entry, np.ones(len(sid), bool)),
            "exit_date": at(exit_, ~open_),
            "entry_signal_date": at(entry - 1, entry >= 1),
            "exit_signal_date": at(ex_sig, ~open_ & (ex_sig >= 0)),
            "position": pos,
            "period": np.where(open_, nbars, exit_) - entry,
            "entry_bar": entry,
            "exit_bar": exit_,
        }
        fills = self._fills()
        cols["entry_price"], cols["exit_price"] = fills["entry_price"], fills["exit_price"]
        cols["return"] = _trade_returns(fills)
        for name in ("pnl", "committed", "fees", "taxes"):
            cols[name] = fills[name]
        last = blocks[:, -6:]
        for k, name in enumerate(_BLOCK):
            cols[name] = last[:, k].astype(np.int64) if name == "profit_period" else last[:, k]
        window, step = r.excursion_window, r.excursion_window_step
        if window > 0:
            if not len(sid):  # no trade: the sampled blocks are empty columns too
                blocks = np.empty((0, 6 * (len(range(0, window, step)) + 1)))
            # Walked bars: to the later of the exit and the window's end, within the data.
            stop = np.minimum(np.maximum(np.where(open_, nbars - 1, exit_), entry + window), nbars - 1)
            walked = stop - entry + 1
            for j, w in enumerate(range(0, window, step)):
                ok = w < np.minimum(walked, window)
                for k, name in enumerate(_BLOCK):
                    cols[f"{name}_at_{w}"] = np.where(ok, blocks[:, 6 * j + k], np.nan)
        reasons = self._exit_reasons(len(sid), open_)
        cols["exit_reason"] = pd.Categorical(reasons, categories=EXIT_REASONS)
        rl = r.runlog or {}
        if "touched" in rl and len(rl["touched"]) == len(sid) and rl.get("matches_trade_log", True):
            cols["touched"] = np.asarray(rl["touched"], dtype=bool)
        return pd.DataFrame(cols)

    def _exit_reasons(self, n, open_):
        rl = self._run.runlog
        if rl is not None and "exit_reason" in rl and len(rl["exit_reason"]) == n and rl.get("matches_trade_log", True):
            codes = np.asarray(rl["exit_reason"], dtype=np.int64)
            return np.array(EXIT_REASONS, dtype=object)[codes]
        # Without the engine's record only an open trade is known for sure.
        return np.where(open_, "open", None).astype(object)  # type: ignore[call-overload]  # numpy's stubs: no None

    # --------------------------------------------------------------- stats

    def stats(self, *, risk_free: float = 0.0, benchmark=None, periods_per_year: int | None = None) -> pd.Series:
        """Summary statistics of the run.

        Parameters
        ----------
        risk_free : float
            Annual risk-free rate; ``risk_free / periods_per_year`` per bar is
            taken off the returns for Sharpe, Sortino and alpha.
        benchmark : Series or Report, optional
            Benchmark prices by date (positive and finite; returns ``r`` are
            passed as ``(1 + r).cumprod()``), laid on the price bars as
            ``backtest(benchmark=...)`` lays them, or another report (its
            :attr:`creturn` as prices).  Used instead of the run's benchmark
            (:attr:`benchmark`) for this call; without either the benchmark
            figures are NaN.
        periods_per_year : int, optional
            Bars per year (a positive number); inferred from the dates when None (252 for daily bars).

        Returns
        -------
        Series
            float64, indexed by :data:`STAT_NAMES` (the same keys on every
            run; figures that need a benchmark are NaN without one), over the
            bars from :attr:`start` to :attr:`end`: total_return, cagr, annual_volatility, sharpe, sortino,
            max_drawdown (negative), max_drawdown_duration (the longest stretch
            under water: the most bars from a peak to its recovery, or to the
            last bar, of all drawdowns; see :meth:`drawdowns`), calmar, exposure (share of bars with a position held at
            the close), turnover (one-way, per year: half the sum of the
            absolute changes of the executed target rows, rescaled to gross 1
            at most, over the years), trades (count), and of the closed
            trades: win_rate (the share with pnl > 0), avg_win and avg_loss
            (mean return of the winners and of the others), profit_factor
            (winners' pnl over the others' lost pnl), expectancy (mean
            return); of all trades: avg_holding_bars, avg_mae, avg_mfe,
            fees_paid and taxes_paid (the charges, in units of the starting
            capital); of the per-bar returns: sharpe_per_bar (not
            annualised), skew, kurtosis (not excess: 3 for a normal
            distribution) and bars (their number); against the benchmark,
            on the bars of :attr:`returns` where it has a price (its returns
            bar to bar; bars without one left out pairwise): alpha and beta
            (as ``empyrical.alpha_beta`` with ``risk_free / periods_per_year``
            per bar: beta the covariance over the benchmark's variance, alpha
            the mean per-bar excess over ``beta`` times the benchmark's,
            compounded to a year), correlation (Pearson's, of the per-bar
            returns), tracking_error (the sample standard deviation, ddof 1,
            of the active returns ``returns - benchmark``, annualised like
            annual_volatility) and information_ratio (the active returns'
            mean over their standard deviation, times the square root of
            ``periods_per_year``).  Trade returns are pnl / committed (see
            :attr:`trades`).

        Examples
        --------
        >>> import torvex
        >>> from torvex.datasets import synthetic_universe
        >>> price = synthetic_universe(n_stocks=4, n_bars=260, seed=1)
        >>> s = torvex.backtest(price.notna(), price, resample="ME").stats()
        >>> s.dtype, int(s["trades"]) > 0
        (dtype('float64'), True)
        >>> float(s.round(3)["win_rate"]) <= 1
        True
        """
        values = self._stat_values(risk_free=risk_free, benchmark=benchmark, periods_per_year=periods_per_year)
        return pd.Series(values, index=_STAT_INDEX, name="stats", copy=False)

    def _stat_values(
        self, *, risk_free: float = 0.0, benchmark=None, periods_per_year: int | None = None
    ) -> np.ndarray:
        """The figures of :meth:`stats` as a float64 array in the order of :data:`STAT_NAMES`."""
        r = self._run
        ppy = self._periods_per_year() if periods_per_year is None else _stats_ppy(periods_per_year)
        risk_free = _st._real("risk_free", risk_free, nan=False)
        if not math.isfinite(risk_free):
            raise ValueError(f"risk_free: expected a finite annual rate; found {risk_free!r}")
        value = r.creturn[self._start :]
        with np.errstate(divide="ignore", invalid="ignore"):  # a value of 0 (all lost) has no return after it
            ret = value[1:] / value[:-1] - 1.0
        rf = risk_free / ppy
        out: dict[str, Any] = {"total_return": float(value[-1] / value[0] - 1.0)}
        # Extreme runs (a value that reaches 0 or a sign change, returns beyond 1e150) give NaN or infinite
        # figures, without NumPy's floating-point warnings.
        with np.errstate(all="ignore"):
            out.update(_st._figures(ret, value, rf, ppy))
            out.update(_st._moments(ret, rf, out.get("sharpe_per_bar")))
        sid, entry, exit_, pos, blocks = self._trade_arrays()
        nbars = len(r.dates)
        # Held at the close of bar b: entry <= b < exit.
        held = np.bincount(entry, minlength=nbars + 1) - np.bincount(
            np.where(exit_ == -1, nbars, exit_), minlength=nbars + 1
        )
        held = np.cumsum(held[:nbars])[self._start + 1 :]
        # The mean of the bool array (a sum of ones over the count): the same division.
        out["exposure"] = np.count_nonzero(held > 0) / held.size if held.size else float("nan")
        cells = (
            r.exec_cells
            if r.exec_cells is not None and len(self._exec_rows) == len(r.exec_rows)
            else _cells(r.pos_values, self._exec_rows)
        )
        k, j, vals = cells[:3]
        nrows, ncols = len(self._exec_rows), r.pos_values.shape[1]
        # The same cells for every run of a sweep's conversion: computed once while they live.
        change = _derived(
            vals,
            f"row_changes {nrows} {ncols}",
            lambda _: _row_changes(k, j, vals, nrows, ncols, keys=cells[3] if len(cells) > 3 else None),
        )
        out["turnover"] = float(change / 2 / (ret.size / ppy)) if ret.size else (0.0 if change == 0 else float("nan"))
        out.update(_trade_figures(entry, exit_, blocks, nbars, self._fills()))
        prices = self._benchmark_prices(benchmark)[0]
        if prices is None:
            nan = float("nan")
            out.update(alpha=nan, beta=nan, correlation=nan, tracking_error=nan, information_ratio=nan)
        else:
            p = prices[self._start :]
            with np.errstate(all="ignore"):
                out.update(_st._versus(ret, p[1:] / p[:-1] - 1.0, rf, ppy))
        return np.fromiter((out[k] for k in STAT_NAMES), dtype=np.float64, count=len(STAT_NAMES))

    def _periods_per_year(self) -> int:
        return _derived(self._run.dates, "ppy", _st.periods_per_year)

    def _benchmark_prices(self, benchmark=None) -> tuple[np.ndarray | None, Any]:
        """(benchmark prices on every bar, NaN outside its dates; its name): of ``benchmark`` (a Series
        of prices or a Report) where given, else the run's (None, None without one)."""
        if benchmark is None:
            return self._run.benchmark, self._run.benchmark_name
        if isinstance(benchmark, Report):
            benchmark = benchmark.creturn.rename(None)
        elif not isinstance(benchmark, (pd.Series, str)):  # a str: refused by prepare, which says why
            raise TypeError(
                f"benchmark: expected a Series of prices by date or a Report; found {type(benchmark).__name__}"
            )
        prices, name, note = _benchmark.prepare(benchmark, self._run.dates)
        if note is not None:
            import warnings

            warnings.warn(note, UserWarning, stacklevel=3)
        return prices, name

    # ------------------------------------------------------------ figures

    def plot(self, benchmark=None):
        """Equity curve and drawdown as a matplotlib Figure, with the benchmark's prices where there is one.

        The run's benchmark (:attr:`benchmark`), or ``benchmark`` (a Series of
        prices by date or another report) where given, is drawn in grey,
        rebased to the strategy's value at :attr:`start`.

        Examples
        --------
        >>> import torvex
        >>> from torvex.datasets import synthetic_universe
        >>> price = synthetic_universe(n_stocks=4, n_bars=200, seed=1)
        >>> fig = torvex.backtest(price.notna(), price, resample="ME").plot()
        >>> len(fig.axes)
        2
        """
        if benchmark is not None:
            from torvex import plotting

            return plotting.plot_equity(self, benchmark)
        return self._figure("equity")

    def plot_trades(self):
        """Each trade's MAE against its return, winners and losers apart, as a matplotlib Figure.

        Examples
        --------
        >>> import torvex
        >>> from torvex.datasets import synthetic_universe
        >>> price = synthetic_universe(n_stocks=4, n_bars=200, seed=1)
        >>> fig = torvex.backtest(price.notna(), price, resample="ME").plot_trades()
        >>> fig.axes[0].get_ylabel()
        'return'
        """
        return self._figure("trades")

    def plot_monthly(self):
        """Heatmap of monthly returns (years x months) as a matplotlib Figure.

        Examples
        --------
        >>> import torvex
        >>> from torvex.datasets import synthetic_universe
        >>> price = synthetic_universe(n_stocks=4, n_bars=200, seed=1)
        >>> fig = torvex.backtest(price.notna(), price, resample="ME").plot_monthly()
        >>> fig.axes[0].get_title(loc="left")
        'Monthly returns'
        """
        return self._figure("monthly")

    def plot_rolling(self, window: int | str | pd.Timedelta | None = None) -> Any:
        """Rolling Sharpe ratio (and rolling beta with a benchmark) as a matplotlib Figure.

        Parameters
        ----------
        window : int, str or Timedelta, optional
            As :meth:`rolling` takes it; half a year of bars by default (a
            quarter of the run when that is shorter).

        Examples
        --------
        >>> import torvex
        >>> from torvex.datasets import synthetic_universe
        >>> price = synthetic_universe(n_stocks=4, n_bars=300, seed=1)
        >>> fig = torvex.backtest(price.notna(), price, resample="ME").plot_rolling(63)
        >>> fig.axes[0].get_ylabel()
        'Sharpe'
        """
        if window is not None:
            from torvex import plotting

            return plotting.plot_rolling(self, window)
        return self._figure("rolling")

    def _figure(self, name: str):
        """The figure ``torvex.plotting.plot_<name>`` draws of this report, drawn once."""
        key = "fig_" + name
        if key not in self._cache:
            from torvex import plotting

            self._cache[key] = getattr(plotting, "plot_" + name)(self)
        return self._cache[key]

    def to_html(self, path=None) -> str:
        """One self-contained HTML page: stats, equity against the benchmark, drawdowns, rolling Sharpe,
        monthly returns, trades and next actions.

        Parameters
        ----------
        path : str or path-like, optional
            File to write the page to.

        Returns
        -------
        str
            The page.

        Examples
        --------
        >>> import os, tempfile, torvex
        >>> from torvex.datasets import synthetic_universe
        >>> price = synthetic_universe(n_stocks=4, n_bars=200, seed=1)
        >>> path = os.path.join(tempfile.mkdtemp(), "report.html")
        >>> page = torvex.backtest(price.notna(), price, resample="ME").to_html(path)
        >>> os.path.getsize(path) > 10_000
        True
        """
        from torvex import html

        return html.report_html(self, path)

    # ---------------------------------------------------------------- saving

    def save(self, path: str | os.PathLike, *, overwrite: bool = False) -> pathlib.Path:
        """Save the report as a directory of Parquet files and a ``report.json``; see :func:`torvex.load_report`.

        One file per table, named after its accessor (``creturn.parquet``,
        ``trades.parquet``, ``position.parquet``, ``weights.parquet``,
        ``next_weights.parquet``, ``rebalances.parquet``, ``actions.parquet``,
        ``drawdowns.parquet``; ``benchmark.parquet`` with a benchmark),
        settings that are tables under ``settings/``, and ``report.json``
        with the other settings, the warnings, start and end.  Any Parquet
        reader reads the files.

        This is the format to share a report in: :func:`torvex.load_report`
        reads only Parquet and JSON, while unpickling a report from an
        untrusted source runs arbitrary code.

        Parameters
        ----------
        path : str or path-like
            The directory: created when missing, filled when empty.  Another
            non-empty directory is refused, and so is a report saved there
            before unless ``overwrite`` is True.
        overwrite : bool
            Replace a report saved at ``path`` (written beside it and swapped
            in when complete).

        Returns
        -------
        pathlib.Path
            The directory.

        Examples
        --------
        >>> import os, tempfile, torvex
        >>> from torvex.datasets import synthetic_universe
        >>> price = synthetic_universe(n_stocks=4, n_bars=200, seed=1)
        >>> report = torvex.backtest(price.notna(), price, resample="ME")
        >>> folder = report.save(os.path.join(tempfile.mkdtemp(), "run"))
        >>> (folder / "trades.parquet").exists(), torvex.load_report(folder).creturn.equals(report.creturn)
        (True, True)
        """
        from torvex import _save

        return _save.save_report(self, path, overwrite=overwrite)

    # -------------------------------------------------------------- display

    def _headline(self) -> dict:
        r = self._run
        value = r.creturn[self._start :]
        # Extreme runs (values beyond 1e150, a value of 0) give NaN or infinite figures, without warnings.
        with np.errstate(all="ignore"):
            ret = value[1:] / value[:-1] - 1.0
            known = np.count_nonzero(~np.isnan(ret))  # np.nanstd warns with fewer than two
            return {
                "period": f"{r.dates[self._start].date()} .. {r.dates[-1].date()}",
                "total": value[-1] / value[0] - 1.0,
                "sharpe": _st.sharpe(ret, 0.0, self._periods_per_year()) if known >= 2 else float("nan"),
                "mdd": _st.max_drawdown(ret),
            }

    def __repr__(self) -> str:
        h = self._headline()
        return (
            f"<torvex.Report {h['period']}: total return {h['total']:+.2%}, Sharpe {h['sharpe']:.2f},"
            f" max drawdown {h['mdd']:.2%}, {len(self._run.trades):,} trades, {len(self._run.symbols)} symbols>"
        )

    def _repr_html_(self) -> str:
        from torvex import html

        return html.stats_table(self.stats()) + html.warnings_list(self.warnings)
