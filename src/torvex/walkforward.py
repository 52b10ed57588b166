"""Walk-forward analysis: :func:`walk_forward`.

Each fold chooses the best parameter set of a grid on its train window (one
:func:`torvex.sweep` over the train window's prices alone) and applies it over
the test window that follows; the test windows, joined, are the strategy's
out-of-sample record.
"""

from __future__ import annotations

import datetime
import inspect
import itertools
import math
import re
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, cast

import numpy as np
import pandas as pd

if TYPE_CHECKING:
    from torvex.report import Report

__all__ = ["walk_forward", "WalkForward", "Degradation"]

#: Options the stitched run can change over time (as stop tables by date and symbol).
TIME_VARYING = ("stop_loss", "take_profit")

# Keywords of sweep itself: not backtest options or position parameters.
_SWEEP_KEYWORDS = ("keep", "progress", "chunksize", "stats_options")

_MONTHS = ("JAN", "FEB", "MAR", "APR", "MAY", "JUN", "JUL", "AUG", "SEP", "OCT", "NOV", "DEC")
# Aliases pandas no longer takes for offsets.
_ALIASES = {"M": "ME", "Q": "QE", "Y": "YE", "A": "YE"}
_ALIAS = re.compile(r"(\d*)\s*([A-Za-z]+)(-[A-Za-z]+)?")


class _Default:
    """A grid key a parameter set leaves out: the run uses the option's default."""

    def __repr__(self) -> str:
        return "<default>"


_DEFAULT = _Default()


# ----------------------------------------------------------------- windows


@dataclass(frozen=True)
class _Window:
    """A train, test or gap window: a number of bars, a fixed span, or calendar periods."""

    kind: str  # "bars", "span" or "periods"
    text: str
    n: int = 0
    span: pd.Timedelta | pd.DateOffset | None = None  # added to and taken from dates
    freq: Any = None


def _window(given: Any, name: str, minimum: int) -> _Window:
    """The window `given` (an int of bars, an offset alias, a DateOffset or a Timedelta) stands for."""
    expected = (
        f"an int number of bars (at least {minimum}) or a pandas offset such as '126D', '6ME', '3YE',"
        " 'QE', 'W-FRI', 'MS' or a Timedelta"
    )
    if isinstance(given, (bool, np.bool_)):
        raise TypeError(f"{name}: expected {expected}; found {given!r}")
    if isinstance(given, (int, np.integer)):
        if given < minimum:
            raise ValueError(f"{name}: expected {expected}; found {given}")
        return _Window("bars", f"{int(given)} bars", n=int(given))
    least = 0 if minimum == 0 else 1
    if isinstance(given, (pd.Timedelta, datetime.timedelta, np.timedelta64)):
        span = pd.Timedelta(given)
        if span is pd.NaT or span < pd.Timedelta(0) or (least and span == pd.Timedelta(0)):
            raise ValueError(f"{name}: expected {expected}; found {given!r}, not a positive span")
        return _Window("span", str(span), span=span)
    if isinstance(given, str):
        m = _ALIAS.fullmatch(given.strip())
        alias = given.strip() if m is None else m.group(1) + _ALIASES.get(m.group(2), m.group(2)) + (m.group(3) or "")
        try:
            offset = pd.tseries.frequencies.to_offset(alias)
        except ValueError:
            raise ValueError(f"{name}: expected {expected}; found {given!r}, not a pandas offset") from None
    elif isinstance(given, pd.offsets.BaseOffset):
        offset = given
    else:
        raise TypeError(f"{name}: expected {expected}; found {type(given).__name__}")
    text = given if isinstance(given, str) else offset.freqstr
    if type(offset) is pd.DateOffset:  # relative calendar arithmetic: DateOffset(months=6)
        probe = pd.Timestamp("2024-01-31")
        if not (probe + offset > probe or (not least and probe + offset == probe)):
            raise ValueError(f"{name}: expected {expected}; found {given!r}, not a positive span")
        return _Window("span", repr(offset), span=offset)
    if isinstance(offset, pd.offsets.Tick):
        span = pd.Timedelta(offset)
        if span < pd.Timedelta(0) or (least and span == pd.Timedelta(0)):
            raise ValueError(f"{name}: expected {expected}; found {given!r}, not a positive span")
        return _Window("span", text, span=span)
    if offset.n < least:
        raise ValueError(f"{name}: expected {expected}; found {given!r}, not a positive number of periods")
    return _Window("periods", text, n=int(offset.n), freq=_period_freq(offset, given, name, expected))


def _period_freq(offset, given, name: str, expected: str):
    """The period frequency whose periods `offset` counts (month-start and month-end count the same months)."""
    o = pd.offsets
    if isinstance(offset, (o.MonthBegin, o.BusinessMonthBegin, o.BusinessMonthEnd)):
        return "M"
    if isinstance(offset, (o.QuarterBegin, o.BQuarterBegin)):
        return f"Q-{_MONTHS[(offset.startingMonth - 2) % 12]}"  # type: ignore[union-attr]  # not in pandas-stubs
    if isinstance(offset, o.BQuarterEnd):
        return f"Q-{_MONTHS[offset.startingMonth - 1]}"  # type: ignore[attr-defined]  # not in pandas-stubs
    if isinstance(offset, (o.YearBegin, o.BYearBegin)):
        return f"Y-{_MONTHS[(offset.month - 2) % 12]}"  # type: ignore[union-attr]  # not in pandas-stubs
    if isinstance(offset, o.BYearEnd):
        return f"Y-{_MONTHS[offset.month - 1]}"  # type: ignore[attr-defined]  # not in pandas-stubs
    base = offset.base
    try:
        import warnings

        with warnings.catch_warnings():
            warnings.simplefilter("error")
            pd.DatetimeIndex(["2024-01-01"]).to_period(base)
    except (ValueError, TypeError, AttributeError, FutureWarning):
        raise ValueError(
            f"{name}: expected {expected}; found {given!r}, which counts no calendar periods"
            " (give a number of bars instead)"
        ) from None
    return pd.DatetimeIndex(["2024-01-01"]).to_period(base).freqstr


def _calendar_span(freq: str, n: int) -> pd.DateOffset:
    """n periods of `freq` as calendar arithmetic (n months back from April 1 is the first of a month)."""
    unit = freq[0]
    if unit == "M":
        return pd.DateOffset(months=n)
    if unit == "Q":
        return pd.DateOffset(months=3 * n)
    if unit == "Y":
        return pd.DateOffset(years=n)
    if unit == "W":
        return pd.DateOffset(weeks=n)
    return pd.DateOffset(days=n)


class _Calendar:
    """The price dates, and the windows laid on them as bar numbers."""

    def __init__(self, dates: pd.DatetimeIndex):
        self.dates = dates
        self.n = len(dates)
        self._ordinals: dict = {}

    def ordinals(self, freq) -> np.ndarray:
        key = str(freq)
        if key not in self._ordinals:
            naive = self.dates.tz_localize(None) if self.dates.tz is not None else self.dates
            self._ordinals[key] = naive.to_period(freq).asi8
        return self._ordinals[key]

    def forward(self, w: _Window, i: int) -> int:
        """The bar after the window `w` that starts at bar `i` (``n`` when the data ends first)."""
        if i >= self.n:
            return self.n
        if w.kind == "bars":
            return min(i + w.n, self.n)
        if w.kind == "span":
            return int(self.dates.searchsorted(self.dates[i] + w.span, side="left"))  # type: ignore[operator]
        o = self.ordinals(w.freq)
        return int(np.searchsorted(o, o[i] + w.n, side="left"))

    def backward(self, w: _Window, j: int) -> int:
        """The first bar of the window `w` that ends just before bar `j`."""
        if w.kind == "bars":
            return j - w.n
        if j <= 0:
            return 0
        if w.kind == "span":
            return int(self.dates.searchsorted(self.dates[j] - w.span, side="left"))  # type: ignore[operator]
        o = self.ordinals(w.freq)
        if j >= self.n or o[j] != o[j - 1]:  # the window ends with a whole period: whole periods back
            end = o[j - 1] + 1 if j >= self.n else o[j]
            return int(np.searchsorted(o, end - w.n, side="left"))
        # Ending inside a period: the same calendar time back from its end (n months, quarters, years, ...).
        return int(self.dates.searchsorted(self.dates[j] - _calendar_span(w.freq, w.n), side="left"))

    def complete(self, w: _Window, i: int) -> bool:
        """Whether the data go on past the window `w` starting at bar `i`."""
        if w.kind == "bars":
            return i + w.n <= self.n
        return self.forward(w, i) < self.n

    def half_full(self, w: _Window, i: int) -> bool:
        """Whether the bars from `i` to the end hold at least half the window `w` starting at bar `i`
        (half its bars, or half its time span) and at least 2 bars."""
        left = self.n - i
        if left < 2:
            return False
        if w.kind == "bars":
            return 2 * left >= w.n
        start = self.dates[i]
        if w.kind == "span":
            end = start + w.span  # type: ignore[operator]  # a "span" window has its span
        else:
            o = self.ordinals(w.freq)
            end = pd.PeriodIndex.from_ordinals([o[i] + w.n], freq=w.freq).start_time[0]  # type: ignore[attr-defined]
            if self.dates.tz is not None:
                end = end.tz_localize(self.dates.tz)
        return 2 * (self.dates[-1] - start) >= end - start


def _layout(
    cal: _Calendar, train: _Window, test: _Window, gap: _Window, anchored: bool
) -> list[tuple[int, int, int, int]]:
    """(train start, train end, test start, test end) bar numbers of each fold, ends included."""
    dates = cal.dates
    e0 = cal.forward(train, 0) if not (train.kind == "bars" and train.n > cal.n) else cal.n
    s = cal.forward(gap, e0) if e0 < cal.n else cal.n
    folds: list[tuple[int, int, int, int]] = []
    while s < cal.n:
        if cal.complete(test, s):
            e = cal.forward(test, s)
        elif cal.half_full(test, s):
            e = cal.n
        else:
            break
        k = len(folds)
        if e - s < 2:
            raise ValueError(
                f"test: expected windows of at least 2 bars; found {e - s} bar in fold {k}'s test"
                f" window from {_day(dates[s])}"
            )
        if k == 0:
            ts, te = 0, e0 - 1
        else:
            g = cal.backward(gap, s)
            ts = 0 if anchored else max(cal.backward(train, g), 0)
            te = g - 1
        if te - ts + 1 < 2:
            raise ValueError(
                f"train: expected windows of at least 2 bars; found {max(te - ts + 1, 0)} in fold {k}"
                f" (its test window starts {_day(dates[s])})"
            )
        folds.append((ts, te, s, e - 1))
        s = e
    if not folds:
        raise ValueError(
            f"train, test, gap: expected windows that fit the price dates; found no fold: {cal.n} bars"
            f" {_day(dates[0])} .. {_day(dates[-1])} against a train window of {train.text}, a gap of {gap.text}"
            f" and a test window of {test.text} (a last, shorter test window needs at least half of a full one)"
        )
    return folds


def _day(ts) -> str:
    ts = pd.Timestamp(ts)
    return ts.strftime("%Y-%m-%d") if ts.tzinfo is None and ts == ts.normalize() else str(ts)


# ------------------------------------------------------------------ inputs


def _check_dates(index, name: str) -> pd.DatetimeIndex:
    if not isinstance(index, pd.DatetimeIndex):
        raise TypeError(f"{name}: expected a DatetimeIndex of dates; found {type(index).__name__}")
    if index.hasnans or not index.is_monotonic_increasing or not index.is_unique:
        raise ValueError(
            f"{name}: expected dates in ascending order without repeats or NaT; found"
            f" {'NaT' if index.hasnans else 'dates out of order or repeated'}"
        )
    return index


def _close(price) -> pd.DataFrame:
    if isinstance(price, Mapping):
        close = price.get("close")
        if close is None:
            raise ValueError(
                f"price: expected a DataFrame of closes or a mapping with a 'close' frame; found keys {list(price)}"
            )
    else:
        close = price
    if not isinstance(close, (pd.DataFrame, pd.Series)):
        raise TypeError(f"price: expected a DataFrame of prices or a mapping of them; found {type(close).__name__}")
    return close.to_frame() if isinstance(close, pd.Series) else close


def _rows(price, a: int, b: int):
    """Bars ``a`` to ``b - 1`` of the price frame, or of every frame of a price mapping."""
    if isinstance(price, Mapping):
        return {k: (v.iloc[a:b] if isinstance(v, (pd.DataFrame, pd.Series)) else v) for k, v in price.items()}
    return price.iloc[a:b]


def _frame(weights, name: str, price_columns) -> pd.DataFrame:
    if isinstance(weights, pd.Series):
        if weights.name is None:
            if len(price_columns) != 1:
                raise ValueError(f"{name}: a Series is one symbol's weights and needs its symbol as name; found none")
            return weights.to_frame(price_columns[0])
        return weights.to_frame()
    if not isinstance(weights, pd.DataFrame):
        raise TypeError(f"{name}: expected a DataFrame of weights (dates x symbols); found {type(weights).__name__}")
    _check_dates(weights.index, name)
    return weights


def _window_rows(
    frame: pd.DataFrame,
    start: pd.Timestamp,
    stop: pd.Timestamp | None,
    *,
    stop_inclusive: bool = False,
    in_force: bool = True,
) -> pd.DataFrame:
    """The rows of `frame` dated from `start` to `stop`; with `in_force`, the row in force at `start` (the last
    one dated before it) comes first, dated `start`, when no row is dated `start` itself."""
    idx = cast(pd.DatetimeIndex, frame.index)  # weights by date, as _frame checks
    a = int(idx.searchsorted(start, side="left"))
    b = len(idx) if stop is None else int(idx.searchsorted(stop, side="right" if stop_inclusive else "left"))
    rows = frame.iloc[a:b]
    if in_force and a > 0 and (a == len(idx) or idx[a] != start):
        head = frame.iloc[[a - 1]]
        head.index = pd.DatetimeIndex([start], name=idx.name).as_unit(idx.unit)
        rows = pd.concat([head, rows])
    return rows


def _as_weights(frame: pd.DataFrame) -> pd.DataFrame:
    """Float weights of a frame as backtest reads it: a frame of booleans holds each row's True cells at
    equal weight."""
    if frame.shape[1] and all(getattr(dt, "kind", None) == "b" for dt in frame.dtypes):
        held = frame.to_numpy(dtype=bool, na_value=False)
        count = held.sum(axis=1, keepdims=True)
        w = np.divide(held, count, out=np.zeros(held.shape), where=count > 0)
        return pd.DataFrame(w, index=frame.index, columns=frame.columns)
    try:
        return frame.astype(np.float64)
    except (TypeError, ValueError):
        return frame  # backtest names what it cannot read


def _hashable(value: Any) -> bool:
    try:
        hash(value)
    except TypeError:
        return False
    return True


def _labels(grid, names: list[str], sets: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """The value shown for each key of each set, as sweep labels them: a key with a value that is not hashable
    (a stop table) by position, the value's place in its list (for explicit sets, the set's place in the grid);
    NaN for a key the set leaves out."""
    out = []
    for i, s in enumerate(sets):
        row = {}
        for n in names:
            if isinstance(grid, Mapping):
                values = list(grid[n])
                by_position = not all(_hashable(v) for v in values)
                row[n] = next(j for j, v in enumerate(values) if v is s[n]) if by_position else s[n]
            else:
                by_position = not all(_hashable(t[n]) for t in sets if n in t)
                row[n] = np.nan if n not in s else (i if by_position else s[n])
        out.append(row)
    return out


def _expand(grid) -> tuple[list[str], list[dict[str, Any]]]:
    """The names and parameter sets of a grid, in the order sweep runs them."""
    if isinstance(grid, Mapping):
        names = list(grid)
        if not names:
            raise ValueError("grid: expected at least one parameter, found an empty dict")
        columns = []
        for name in names:
            values = grid[name]
            if isinstance(values, (str, bytes, Mapping)) or not isinstance(values, Sequence):
                raise TypeError(f"grid: expected a list of values for {name!r}, found {type(values).__name__}")
            if not len(values):
                raise ValueError(f"grid: expected at least one value for {name!r}, found none")
            columns.append(list(values))
        return names, [dict(zip(names, combo)) for combo in itertools.product(*columns)]
    if isinstance(grid, Sequence) and not isinstance(grid, (str, bytes)):
        sets, names = [], []
        for i, s in enumerate(grid):
            if not isinstance(s, Mapping):
                raise TypeError(f"grid: expected a dict for parameter set {i}, found {type(s).__name__}")
            names.extend(n for n in s if n not in names)
            sets.append(dict(s))
        if not sets:
            raise ValueError("grid: expected at least one parameter set, found an empty list")
        return names, sets
    raise TypeError(f"grid: expected a dict of lists or a list of dicts, found {type(grid).__name__}")


def _signal_keys(position, keys) -> set[str]:
    """The keys that go to a callable `position` rather than to backtest (as sweep splits them)."""
    if not callable(position):
        return set()
    from torvex._backtest import backtest

    options = {p.name for p in inspect.signature(backtest).parameters.values() if p.kind is p.KEYWORD_ONLY}
    try:
        params = list(inspect.signature(position).parameters.values())[1:]
    except (TypeError, ValueError):
        return {k for k in keys if k not in options}
    if any(p.kind is p.VAR_KEYWORD for p in params):
        return {k for k in keys if k not in options}
    named = {p.name for p in params if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)}
    return {k for k in keys if k in named}


def _dated(options: Mapping[str, Any], last: pd.Timestamp) -> dict[str, Any]:
    """`options` for a run whose prices end at `last`: a delisting mapping keeps only the dates up to it (a
    later date would close the stock on the run's last bar, knowledge from after it)."""
    out = dict(options)
    d = out.get("delisting")
    if isinstance(d, Mapping):
        kept = {}
        for sym, when in d.items():
            try:
                later = pd.Timestamp(when) > last
            except (TypeError, ValueError):
                later = False  # backtest says what is wrong with it
            if not later:
                kept[sym] = when
        out["delisting"] = kept
    return out


def _same(a: Any, b: Any) -> bool:
    if a is b:
        return True
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    if isinstance(a, (pd.Series, pd.DataFrame)) or isinstance(b, (pd.Series, pd.DataFrame)):
        return type(a) is type(b) and a.equals(b)
    try:
        r = a == b
    except Exception:
        return False
    return bool(r) if isinstance(r, (bool, np.bool_)) else False


def _stop_rows(
    value: Any, start: pd.Timestamp, stop: pd.Timestamp | None, columns: pd.Index, name: str
) -> pd.DataFrame:
    """Rows of a stop table by date and symbol giving `value` (a number, None, a Series by symbol or a
    DataFrame by date and symbol) from `start` to before `stop`."""
    if isinstance(value, pd.DataFrame):
        rows = _window_rows(value, start, stop)
        if len(rows) == 0 or rows.index[0] != start:  # no row in force yet: no stop
            rows = pd.concat([pd.DataFrame(np.nan, index=pd.DatetimeIndex([start]), columns=value.columns), rows])
        return rows.reindex(columns=columns).astype(np.float64)
    if isinstance(value, pd.Series):
        row = value.reindex(columns).to_numpy(dtype=np.float64)
    elif value is None or value is _DEFAULT:
        row = np.full(len(columns), np.nan)
    else:
        try:
            row = np.full(len(columns), float(value))
        except (TypeError, ValueError):
            raise TypeError(
                f"{name}: expected None, a number, a Series by symbol or a DataFrame by date and symbol;"
                f" found {type(value).__name__}"
            ) from None
    return pd.DataFrame([row], index=pd.DatetimeIndex([start]), columns=columns)


# ------------------------------------------------------------------ result


@dataclass(frozen=True, eq=False)
class Degradation:
    """In-sample against out-of-sample figures of a walk-forward.

    Attributes
    ----------
    by_fold : Series
        Train metric minus test metric, per fold.
    mean : float
        Its mean over the folds where both metrics are numbers.
    ratio : float
        Mean test metric over mean train metric, over the same folds (NaN
        when the mean train metric is 0 or no fold has both).

    Examples
    --------
    >>> import pandas as pd
    >>> d = Degradation(pd.Series([0.5, 0.25]), 0.375, 0.5)
    >>> d.mean, d.ratio
    (0.375, 0.5)
    """

    by_fold: pd.Series
    mean: float
    ratio: float

    def __repr__(self) -> str:
        return f"<torvex Degradation: mean train - test {self.mean:.4g}, mean test / mean train {self.ratio:.4g}>"


class WalkForward:
    """The result of :func:`walk_forward`.

    Attributes
    ----------
    folds : DataFrame
        One row per fold (index ``fold``, from 0): train_start, train_end,
        test_start, test_end (dates of the windows' first and last bars),
        the chosen value of each grid key (one column each; NaN for a key
        the chosen set leaves out; a value that is not hashable, such as a
        stop table, labelled by its place in the grid as :func:`torvex.sweep`
        labels it: see ``params``), train_metric (the chosen set's metric on
        the train window), test_metric (its metric on the test window),
        n_sets (sets tried) and n_failed (sets whose run raised).
    report : Report or None
        The stitched out-of-sample run: one backtest from the first test
        start whose position takes each fold's chosen weights on its test
        window (and whose stops are tables in force from each test start
        when the chosen stop_loss / take_profit differ). None when the
        folds chose different values of an option that cannot change within
        one run (see ``join``).
    equity : Series
        The out-of-sample equity curve, 1.0 at the first test start: the
        stitched run's ``creturn``, or the test runs' curves chained.
    join : str
        ``"one run"`` or ``"chained"``: how the folds were joined.
    params : tuple of dict
        Each fold's chosen parameter set, as the grid gives it.
    test_reports : tuple of Report
        Each fold's test run (the chosen set over its test window).
    degradation : Degradation
        Train against test metric.
    metric : str
        The metric's name (a callable's ``__name__``).

    Examples
    --------
    >>> import torvex
    >>> from torvex.datasets import synthetic_universe
    >>> price = synthetic_universe(n_stocks=6, n_bars=300, seed=2)
    >>> top = price.rank(axis=1, ascending=False) <= 2
    >>> wf = torvex.walk_forward(top, price, {"stop_loss": [0.05, None]}, train=150, test=50,
    ...                          resample="ME", n_jobs=1)
    >>> wf.join, len(wf.test_reports) == len(wf.folds)
    ('one run', True)
    """

    def __init__(
        self,
        *,
        folds: pd.DataFrame,
        params: tuple,
        report,
        equity: pd.Series,
        join: str,
        test_reports: tuple,
        metric: str,
        maximize: bool,
        anchored: bool,
        windows: tuple[str, str, str],
        n_sets: int,
    ):
        self.folds = folds
        self.params = params
        self.report = report
        self.equity = equity
        self.join = join
        self.test_reports = test_reports
        self.metric = metric
        self.maximize = maximize
        self.anchored = anchored
        self._windows = windows
        self._n_sets = n_sets
        train, test = folds["train_metric"].to_numpy(float), folds["test_metric"].to_numpy(float)
        both = ~np.isnan(train) & ~np.isnan(test)
        with np.errstate(invalid="ignore"):
            diff = pd.Series(train - test, index=folds.index, name="train_minus_test")
        nan = float("nan")
        mean_train = float(np.mean(train[both])) if both.any() else nan
        mean_test = float(np.mean(test[both])) if both.any() else nan
        self.degradation = Degradation(
            by_fold=diff,
            mean=float(np.mean(diff.to_numpy()[both])) if both.any() else nan,
            ratio=mean_test / mean_train if both.any() and mean_train != 0 else nan,
        )
        self._means = (mean_train, mean_test)

    def __repr__(self) -> str:
        train, test, gap = self._windows
        mean_train, mean_test = self._means
        eq = self.equity
        return (
            f"<torvex.WalkForward {len(self.folds)} folds ({'anchored' if self.anchored else 'rolling'};"
            f" train {train}, test {test}, gap {gap}) choosing by {self.metric}"
            f" ({'highest' if self.maximize else 'lowest'}) among {self._n_sets} sets: mean train"
            f" {mean_train:.3f}, mean test {mean_test:.3f}; out of sample {_day(eq.index[0])} .."
            f" {_day(eq.index[-1])}, total return {eq.iloc[-1] / eq.iloc[0] - 1:+.2%}, {self.join}>"
        )

    def plot(self):
        """The out-of-sample equity with the test windows shaded (top) and each fold's train and test metric
        (bottom), as a matplotlib Figure.

        Examples
        --------
        >>> import torvex
        >>> from torvex.datasets import synthetic_universe
        >>> price = synthetic_universe(n_stocks=6, n_bars=300, seed=2)
        >>> top = price.rank(axis=1, ascending=False) <= 2
        >>> wf = torvex.walk_forward(top, price, {"stop_loss": [0.05, None]}, train=150, test=50, n_jobs=1)
        >>> fig = wf.plot()
        >>> [ax.get_ylabel() for ax in fig.axes]
        ['equity', 'sharpe']
        """
        from torvex.plotting import _figure

        fig, (top, bottom) = _figure((10, 6.5), 2, 1, height_ratios=(3, 2))
        eq = self.equity
        top.plot(eq.index, eq.to_numpy(), color="#1f4e79", lw=1.3)
        f = self.folds
        for k in range(len(f)):
            start = f["test_start"].iloc[k]
            end = f["test_start"].iloc[k + 1] if k + 1 < len(f) else f["test_end"].iloc[k]
            top.axvspan(start, end, color="#1f4e79" if k % 2 == 0 else "#7f7f7f", alpha=0.07, lw=0)
            top.axvline(start, color="#7f7f7f", lw=0.6, ls=":")
        top.set_ylabel("equity")
        top.grid(alpha=0.3)
        top.set_title(f"Walk-forward: out-of-sample equity, {len(f)} test windows shaded", loc="left")
        x = np.arange(len(f))
        width = 0.38
        for values, offset, colour, label in (
            (f["train_metric"], -width / 2, "#9e9e9e", "train"),
            (f["test_metric"], width / 2, "#1f4e79", "test"),
        ):
            v = values.to_numpy(dtype=float)
            bottom.bar(x + offset, np.where(np.isfinite(v), v, np.nan), width, color=colour, label=label)
        bottom.axhline(0.0, color="black", lw=0.6)
        bottom.set_xticks(x, [str(i) for i in f.index])
        bottom.set_xlabel("fold")
        bottom.set_ylabel(self.metric)
        bottom.grid(alpha=0.3, axis="y")
        bottom.legend(frameon=False)
        bottom.set_title(f"{self.metric} on each fold's train and test window", loc="left")
        return fig

    def to_html(self, path=None) -> str:
        """One self-contained HTML page: the out-of-sample equity and statistics, the fold table and the
        in-sample against out-of-sample figures.

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
        >>> price = synthetic_universe(n_stocks=6, n_bars=300, seed=2)
        >>> top = price.rank(axis=1, ascending=False) <= 2
        >>> wf = torvex.walk_forward(top, price, {"stop_loss": [0.05, None]}, train=150, test=50, n_jobs=1)
        >>> page = wf.to_html()
        >>> page.startswith("<!DOCTYPE html>") and "Folds" in page
        True
        """
        import html as _html
        import os

        from torvex.html import _STYLE, _fmt, _png, stats_table

        f = self.folds
        metric_cols = {"train_metric", "test_metric"}

        def cell(col, v) -> str:
            if isinstance(v, (bool, np.bool_)) or v is None or isinstance(v, str):
                return _html.escape(str(v))
            if isinstance(v, (pd.Timestamp, int, np.integer, float, np.floating)):
                return _fmt(
                    self.metric if col in metric_cols else col,
                    v if isinstance(v, pd.Timestamp) else (int(v) if isinstance(v, (int, np.integer)) else float(v)),
                )
            return _html.escape(type(v).__name__)

        head = "".join(f"<th>{_html.escape(str(c))}</th>" for c in ["fold", *f.columns, "train - test"])
        body = "".join(
            "<tr>"
            + f"<td>{k}</td>"
            + "".join(f"<td>{cell(c, f.at[k, c])}</td>" for c in f.columns)
            + f"<td>{cell('train_metric', self.degradation.by_fold.loc[k])}</td></tr>"
            for k in f.index
        )
        mean_train, mean_test = self._means
        d = self.degradation
        versus = "".join(
            f"<tr><td>{label}</td><td>{_fmt(self.metric, v) if key else _fmt('ratio', v)}</td></tr>"
            for label, v, key in (
                ("mean train metric", mean_train, True),
                ("mean test metric", mean_test, True),
                ("mean train - test", d.mean, True),
                ("mean test / mean train", d.ratio, False),
            )
        )
        eq = self.equity
        stats = (
            stats_table(self.report.stats())
            if self.report is not None
            else "<p class='muted'>The folds chose different values of an option that cannot change within one run;"
            " their test windows' equity curves are chained.</p>"
        )
        train, test, gap = self._windows
        title = f"torvex walk-forward {_day(eq.index[0])} .. {_day(eq.index[-1])}"
        page = f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>{_html.escape(title)}</title><style>{_STYLE}</style></head>
<body>
<h1>{_html.escape(title)}</h1>
<p class="muted">{len(f)} folds, {"anchored" if self.anchored else "rolling"} train windows of {_html.escape(train)},
test windows of {_html.escape(test)}, a gap of {_html.escape(gap)}; each fold chose the set with the
{"highest" if self.maximize else "lowest"} {_html.escape(self.metric)} on its train window among {self._n_sets};
folds joined: {self.join}. Generated by torvex.</p>
<h2 id="equity">Out-of-sample equity</h2>
<div class="grid"><div>{stats}</div><div style="flex:1"><img alt="out-of-sample equity and metrics by fold"
src="{_png(self.plot())}"></div></div>
<h2 id="folds">Folds</h2>
<div class="scroll"><table><tr>{head}</tr>{body}</table></div>
<h2 id="degradation">In sample against out of sample <span class="muted">({_html.escape(self.metric)})</span></h2>
<table>{versus}</table>
</body></html>
"""
        if path is not None:
            with open(os.fspath(path), "w", encoding="utf-8") as fh:
                fh.write(page)
        return page


# -------------------------------------------------------------------- entry


def _quiet_sweep(sweep: Callable, *args: Any, **kwargs: Any) -> Any:
    """A train window's sweep, without its summary of notes (they belong to its runs; the stitched
    run warns once)."""
    from torvex._sweep._api import QUIET_NOTES

    token = QUIET_NOTES.set(True)
    try:
        return sweep(*args, **kwargs)
    finally:
        QUIET_NOTES.reset(token)


def walk_forward(
    position: pd.DataFrame | pd.Series | Callable[..., Any],
    price: pd.DataFrame | Mapping[str, Any],
    grid: Mapping[str, Any] | Sequence[Mapping[str, Any]],
    *,
    train: int | str | pd.DateOffset | pd.Timedelta,
    test: int | str | pd.DateOffset | pd.Timedelta,
    gap: int | str | pd.DateOffset | pd.Timedelta = 0,
    metric: str | Callable[[Report], float] = "sharpe",
    maximize: bool = True,
    anchored: bool = False,
    backend: Any = None,
    n_jobs: int | None = None,
    **options: Any,
) -> WalkForward:
    """Choose parameters on each train window, apply them on the test window that follows, join the tests.

    Parameters
    ----------
    position : DataFrame, Series or callable
        Target weights as :func:`torvex.backtest` takes them, or a function
        ``position(price, **params) -> DataFrame`` as :func:`torvex.sweep`
        takes it. The function must be causal: its row for a date may use
        only the price rows up to that date (it is called on prices that
        end at a window's last bar, and its rows are kept as they are).
    price : DataFrame or mapping
        Closes, or a mapping of ``"open"``, ``"high"``, ``"low"``,
        ``"close"`` frames as :func:`torvex.backtest` takes it; the folds
        are laid on the close frame's dates. Every frame is sliced alike.
    grid : dict of lists or list of dicts
        Parameter sets as :func:`torvex.sweep` takes them: backtest options
        and parameters of a callable `position`.
    train, test : int, str, DateOffset or Timedelta
        The windows: a number of bars, or a pandas offset. A window starts
        at a bar and, given as an offset, covers the dates in
        ``[start, start + offset)``: a fixed span (``"36h"``, a Timedelta)
        or a ``pd.DateOffset(months=6)`` exactly so; a calendar offset
        counts whole calendar periods, the one holding `start` included,
        to the end of the last (``"126D"`` is
        126 calendar days; ``"6ME"`` and ``"6MS"`` from 2020-01-02 cover
        2020-01-02 .. 2020-06-30, June 30 included; ``"3YE"``, ``"QE"``,
        ``"W-FRI"`` alike). At least 2 bars each.
    gap : int, str, DateOffset or Timedelta, default 0
        Bars (or a span, as above) left out between each train window and
        its test window, so that a signal's horizon cannot reach from one
        into the other.
    metric : str or callable, default "sharpe"
        A key of ``Report.stats()``, or a function ``score(report) ->
        float`` (run in the sweep's workers: it is shipped with
        cloudpickle). A set whose run or score raises counts as failed.
    maximize : bool, default True
        Choose the highest score (False: the lowest).
    anchored : bool, default False
        Every train window starts at the first bar (growing); else the
        train windows roll forward with the test windows.
    backend, n_jobs
        Passed to :func:`torvex.sweep` for each fold's train runs, so every
        backend works. A Dask cluster or Ray session this function would
        start is started per fold: start one yourself to keep it.
    **options
        :func:`torvex.backtest` options and parameters of `position` held
        fixed.

    Returns
    -------
    WalkForward
        ``.folds`` (one row per fold: its windows, the chosen parameters,
        train_metric, test_metric, n_sets, n_failed), ``.report`` (the
        stitched out-of-sample run), ``.equity``, ``.degradation``,
        ``.test_reports``, ``.plot()``, ``.to_html()``.

    Raises
    ------
    ValueError
        Windows that give no fold or a train or test window of fewer than
        2 bars, an unknown metric, every parameter set failing on a fold's
        train window (the fold and the first error are named), and what
        :func:`torvex.sweep` refuses.
    TypeError
        Windows, metric, price or position of the wrong kind, or an option
        named like a keyword of sweep itself (keep, progress, chunksize,
        stats_options).
    RuntimeError
        The chosen set's test run failing (the fold is named).

    Notes
    -----
    *Folds.* Fold 0's train window starts at the first bar; after it (and
    the gap) come the test windows, one per fold, each starting at the bar
    after the last. Fold k's gap and train window end just before its test
    window starts, laid backwards: an offset window covers
    ``[end - offset, end)``, in whole calendar periods where `end` starts
    one, else the same calendar time back (``"YE"`` ending before
    2024-04-01 starts on 2023-04-01). The last test window may be shorter than the
    others: it is kept when it holds at least half of a full window (half
    its bars, or half its time span) and at least 2 bars, else dropped.

    *Choice.* Fold k's train runs are one :func:`torvex.sweep` over the
    train window's bars alone (``price.loc[:train_end]`` from the train
    start; a position frame up to the train end; a delisting mapping with
    only the dates up to it): nothing after the train window, the
    ``delisting="auto"`` test included, reaches the choice. The best score
    wins; NaN scores rank last, ties go to the first set in grid order,
    failed sets are skipped.

    *Test.* The chosen set's weights come from `position` (a function is
    called on ``price.loc[:test_end]`` from the first bar, so its warm-up
    has data); the rows dated in the test window, led by the row in force at
    its first bar, are backtested on the test window's bars alone. That
    report's figures (``stats()``, or `metric` called on it) cover the test
    window only: they are the test metric. A row dated on a bar trades on
    the next bar (see :func:`torvex.backtest`), so a test window's returns
    start at its second bar.

    *Joining.* The stitched report is one backtest over the bars from the
    first test start to the last test end: its position is each fold's
    test rows in turn (the row in force at a test start repeated there only
    where the chosen position parameters change, so that folds choosing
    alike run exactly as one backtest of those parameters), and a
    ``stop_loss`` / ``take_profit`` chosen differently by the folds becomes
    a table by date and symbol, each fold's value in force from its test
    start. Other options cannot change within one run; when the folds
    choose different values of one (``fee_ratio``, ``trail_stop``,
    ``resample``, ...), ``report`` is None and ``equity`` chains the test
    runs' equity curves (``join == "chained"``). The train runs go through
    :func:`torvex.sweep`; the test runs and the stitched run are made in
    this process.

    Examples
    --------
    >>> import torvex
    >>> from torvex.datasets import synthetic_universe
    >>> price = synthetic_universe(n_stocks=10, n_bars=500, seed=4)
    >>> def momentum(price, lookback=20):
    ...     score = price / price.shift(lookback) - 1
    ...     return score.rank(axis=1, ascending=False) <= 3
    >>> wf = torvex.walk_forward(momentum, price, {"lookback": [20, 60], "stop_loss": [0.1, None]},
    ...                          train="YE", test="QE", resample="ME", n_jobs=1)
    >>> list(wf.folds.columns)  # doctest: +NORMALIZE_WHITESPACE
    ['train_start', 'train_end', 'test_start', 'test_end', 'lookback', 'stop_loss',
     'train_metric', 'test_metric', 'n_sets', 'n_failed']
    >>> wf.folds[["train_start", "test_start", "test_end"]].map(lambda d: d.strftime("%Y-%m-%d"))
    ... # doctest: +NORMALIZE_WHITESPACE
         train_start  test_start    test_end
    fold
    0     2023-01-09  2024-01-02  2024-03-29
    1     2023-04-03  2024-04-01  2024-06-28
    2     2023-07-03  2024-07-01  2024-09-30
    3     2023-10-02  2024-10-01  2024-12-31
    >>> wf.join, bool(wf.report.end == wf.folds["test_end"].iloc[-1])
    ('one run', True)
    """
    from torvex._backtest import backtest, run_backtest
    from torvex._options import defaults
    from torvex._sweep import sweep
    from torvex.report import STAT_NAMES

    if isinstance(price, pd.Series):
        price = price.to_frame()
    close = _close(price)
    dates = _check_dates(close.index, "price")
    if len(dates) < 2:
        raise ValueError(f"price: expected at least 2 bars; found {len(dates)}")
    w_train = _window(train, "train", 2)
    w_test = _window(test, "test", 2)
    w_gap = _window(gap, "gap", 0)
    if isinstance(metric, str):
        if metric not in STAT_NAMES:
            raise ValueError(
                f"metric: expected a key of Report.stats() ({', '.join(STAT_NAMES)}) or a callable"
                f" score(report); found {metric!r}"
            )
        metric_name = metric
    elif callable(metric):
        metric_name = getattr(metric, "__name__", None) or "score"
        if metric_name == "<lambda>":
            metric_name = "score"
    else:
        raise TypeError(
            f"metric: expected a key of Report.stats() or a callable score(report); found {type(metric).__name__}"
        )
    for name, flag in (("maximize", maximize), ("anchored", anchored)):
        if not isinstance(flag, (bool, np.bool_)):
            raise TypeError(f"{name}: expected True or False; found {flag!r}")
    for name in _SWEEP_KEYWORDS:
        if name in options:
            raise TypeError(
                f"{name}: expected backtest options or position parameters as options; found {name!r},"
                " a keyword of sweep that walk_forward sets itself"
            )
    names, sets = _expand(grid)
    labels = _labels(grid, names, sets)
    if callable(position) and not isinstance(position, (pd.DataFrame, pd.Series)):
        frame = None
    else:
        frame = _frame(position, "position", close.columns)
        zone = cast(pd.DatetimeIndex, frame.index).tz  # weights by date, as _frame checks
        if zone != dates.tz:
            raise ValueError(
                "position: expected dates in the price dates' time zone; found "
                f"{zone or 'tz-naive'} against {dates.tz or 'tz-naive'}"
            )
    signal = _signal_keys(position, list(names) + list(options))
    fixed_sig = {k: v for k, v in options.items() if k in signal}
    fixed_bt = {k: v for k, v in options.items() if k not in signal}

    cal = _Calendar(dates)
    bounds = _layout(cal, w_train, w_test, w_gap, bool(anchored))
    n = len(dates)

    def stop_after(se: int) -> pd.Timestamp | None:
        return dates[se + 1] if se + 1 < n else None

    def weights_for(sig: dict, se: int) -> pd.DataFrame:
        if frame is not None:
            return frame
        assert callable(position)  # no frame: a position function
        w = position(_rows(price, 0, se + 1), **sig)
        return _frame(w, "position", close.columns)

    rows_out, chosen, weights, test_reports = [], [], [], []
    for k, (ts, te, ss, se) in enumerate(bounds):
        last = dates[te]
        train_pos = position if frame is None else _window_rows(frame, dates[ts], last, stop_inclusive=True)
        train_sets = [_dated(s, last) for s in sets]
        kw = dict(backend=backend, n_jobs=n_jobs, progress=False, **_dated(options, last))
        if callable(metric) and not isinstance(metric, str):
            table, kept = _quiet_sweep(sweep, train_pos, _rows(price, ts, te + 1), train_sets, keep=metric, **kw)
            failed = table["error"].notna().to_numpy()
            scores = np.full(len(sets), np.nan)
            # The kept values come in the order of the sets (a label holding NaN does not look itself up).
            for i, value in enumerate(kept.values()):
                if failed[i]:
                    continue
                try:
                    scores[i] = float(value)
                except (TypeError, ValueError):
                    raise TypeError(
                        f"metric: expected a callable returning a float; found {type(value).__name__}"
                        f" {value!r} for parameter set {i} {labels[i]}"
                    ) from None
        else:
            table = _quiet_sweep(sweep, train_pos, _rows(price, ts, te + 1), train_sets, **kw)
            failed = table["error"].notna().to_numpy()
            scores = (
                table[metric].to_numpy(dtype=float, na_value=np.nan) if metric in table else np.full(len(sets), np.nan)
            )
        if failed.all():
            first = table["error"].iloc[0]
            raise ValueError(
                f"grid: expected a parameter set that runs on fold {k}'s train window"
                f" {_day(dates[ts])} .. {_day(last)} ({te - ts + 1} bars); found every set failing,"
                f" the first with {first}"
            )
        ok = ~failed & ~np.isnan(scores)
        if ok.any():
            best = np.max(scores[ok]) if maximize else np.min(scores[ok])
            i = int(np.flatnonzero(ok & (scores == best))[0])
        else:
            i = int(np.flatnonzero(~failed)[0])
        params = sets[i]
        chosen.append(params)

        # The chosen set over the test window.
        sig = {**fixed_sig, **{key: v for key, v in params.items() if key in signal}}
        bt = _dated({**fixed_bt, **{key: v for key, v in params.items() if key not in signal}}, dates[se])
        try:
            w = weights_for(sig, se)
            weights.append(w)
            rows = _window_rows(w, dates[ss], stop_after(se))
            # A fold's notes stay in its report; the stitched run warns once.
            rep = run_backtest(defaults(position=rows, price=_rows(price, ss, se + 1), **bt))
            test_value = rep.stats()[metric] if isinstance(metric, str) else float(metric(rep))
        except Exception as exc:
            raise RuntimeError(
                f"fold {k}: the test run of the chosen parameter set {labels[i]} failed on"
                f" {_day(dates[ss])} .. {_day(dates[se])}: {type(exc).__name__}: {exc}"
            ) from exc
        test_reports.append(rep)
        rows_out.append(
            {
                "train_start": dates[ts],
                "train_end": last,
                "test_start": dates[ss],
                "test_end": dates[se],
                **labels[i],
                "train_metric": float(scores[i]),
                "test_metric": float(test_value),
                "n_sets": len(sets),
                "n_failed": int(failed.sum()),
            }
        )

    folds = pd.DataFrame(rows_out, index=pd.RangeIndex(len(rows_out), name="fold"))
    for col in ("train_metric", "test_metric"):
        folds[col] = folds[col].astype(np.float64)

    # Join: one run when the options that cannot change within a run agree across folds.
    agreed: dict[str, Any] = dict(fixed_bt)
    stitched_bt: dict[str, Any] | None = agreed  # None: the folds need runs of their own
    join_keys = []
    for key in names:
        if key in signal:
            continue
        values = [p.get(key, _DEFAULT) for p in chosen]
        if all(_same(v, values[0]) for v in values[1:]):
            if values[0] is not _DEFAULT:
                agreed[key] = values[0]
        elif key in TIME_VARYING:
            join_keys.append(key)
        else:
            stitched_bt = None
            break
    report = None
    if stitched_bt is not None:
        blocks = []
        for k, (_ts, _te, ss, se) in enumerate(bounds):
            new = k == 0 or any(
                not _same(chosen[k].get(key, _DEFAULT), chosen[k - 1].get(key, _DEFAULT))
                for key in names
                if key in signal
            )
            block = _window_rows(weights[k], dates[ss], stop_after(se), in_force=new)
            if len(block):
                blocks.append(_as_weights(block))
        columns = pd.Index(list(dict.fromkeys(c for b in blocks for c in b.columns)))
        stitched = pd.concat([b.reindex(columns=columns) for b in blocks])
        for key in join_keys:
            stitched_bt[key] = pd.concat(
                [
                    _stop_rows(chosen[k].get(key, _DEFAULT), dates[ss], stop_after(se), columns, key)
                    for k, (ts, te, ss, se) in enumerate(bounds)
                ]
            )
        s0, end = bounds[0][2], bounds[-1][3]
        try:
            report = backtest(stitched, _rows(price, s0, end + 1), **_dated(stitched_bt, dates[end]))
        except Exception as exc:
            raise RuntimeError(
                f"walk_forward: the stitched out-of-sample run failed on {_day(dates[s0])} .."
                f" {_day(dates[end])}: {type(exc).__name__}: {exc}"
            ) from exc
        equity = report.creturn
        join = "one run"
    else:
        parts, level = [], 1.0
        for rep in test_reports:
            c = rep.creturn
            c = c / c.iloc[0] * level
            level = float(c.iloc[-1])
            parts.append(c)
        equity = pd.concat(parts).rename("creturn")
        join = "chained"
    return WalkForward(
        folds=folds,
        params=tuple(chosen),
        report=report,
        equity=equity,
        join=join,
        test_reports=tuple(test_reports),
        metric=metric_name,
        maximize=bool(maximize),
        anchored=bool(anchored),
        windows=(w_train.text, w_test.text, w_gap.text),
        n_sets=len(sets),
    )
