"""From pandas frames to the engine and back: :func:`backtest`.

A run is four steps: the options are checked against their table (:mod:`torvex._options`), the
frames converted to the engine's arrays (:mod:`torvex._inputs`, the schedule in
:mod:`torvex._schedule`) and checked (:mod:`torvex._checks`), the engine run through its typed entry
(:mod:`torvex.core._typed`), and the Report built from the run's arrays.

The typed entry keeps the run's state in the call and releases the interpreter lock while it runs,
so calls on several threads proceed at once; nothing on this path changes process-wide state.
"""

from __future__ import annotations

import copy
import functools
import threading
from collections import OrderedDict
from collections.abc import Mapping
from types import SimpleNamespace
from typing import Any, Literal

import numpy as np
import pandas as pd

from torvex import _benchmark, _checks, _inputs, _options, _schedule
from torvex._inputs import date_text
from torvex.report import Report, RunData

__all__ = ["backtest", "run_backtest"]


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
        Target weights, dates x symbols: signed fractions of equity (0.1 is a tenth long, -0.1 a tenth short).
        NaN means 0.  A frame of booleans means "hold": each row's True cells get equal weights summing to 1.
        A Series is one symbol's weights, named by its symbol.  A polars DataFrame whose first column holds
        the dates is taken too.
    price : DataFrame or mapping, optional
        Prices, dates x symbols; or a mapping with frames ``"open"``, ``"high"``, ``"low"``, ``"close"`` on
        the same dates and symbols.  The close always values the portfolio.
    open, high, low, close : DataFrame, optional
        The same frames given as keywords.
    trade_at : {"close", "open"}
        Price at which trades are made: the bar's close (default) or open.
    resample : None, str or list of dates
        Rebalance points.  None: each row of ``position`` is one.  An offset alias (``"W"``, ``"W-FRI"``,
        ``"ME"``/``"M"``, ``"QE"``/``"Q"``, ``"YE"``/``"Y"``, ...): the last price bar of each period.  Dates:
        the last price bar dated on or before each of them.
    delisting : "auto", None or mapping
        ``"auto"``: a stock whose trading prices stop for good before the last bar on which the position's
        other stocks still have prices is closed on its last priced bar, at that price.  None: no delisting.
        A mapping symbol -> last trading date closes the stock on the last bar dated on or before that date.
    fee_ratio : float
        Fee charged on the value of every trade (default 0.001425): a fraction of at least 0 and below 1
        (above 0.05 warns: a per-cent figure?).
    tax_ratio : float
        Tax charged on the value of every trade that reduces or closes a position, long or short (default
        0.003: a 0.3% tax on every sale and every short cover).  Set 0 where no such tax applies.  A fraction
        as ``fee_ratio``.
    stop_loss : float, Series, DataFrame or None
        Exit a position that loses this fraction since its entry (or the last rebalance, see Notes).  A Series
        gives one per symbol, a DataFrame one per date and symbol (in force from its date on).  None (default)
        or NaN: no stop.  The engine's own default, 1.0, differs: it stops a short at a 100% loss.
    take_profit : float, Series, DataFrame or None
        Exit a position that gains this fraction; forms as ``stop_loss``.  None (default): no take-profit.
    trail_stop : float or None
        Exit when the price falls this fraction of the entry price below the best price since entry (a short:
        rises above the worst).  None: none.
    trail_stop_activation : float
        The trailing stop is armed once the position has gained this fraction.
    touched_exit : bool
        Exit inside the bar at the band's level when the bar's open, high or low touches it (needs open, high
        and low); otherwise a close beyond the band exits on the next bar at its trading price.
    position_limit : float
        Largest holding of one stock as a fraction of equity (default 1.0; above 1 has no effect and warns).
    retain_cost_when_rebalance : bool
        Keep measuring stops from the entry when a rebalance keeps a position on the same side.
    stop_trading_next_period : bool
        Leave a stock that a stop closed out of the next rebalance too.
    excursion_window : int
        Also sample each trade's excursion statistics at bar offsets 0, ``excursion_window_step``, ... below
        this window (0: exit only).  At most the number of price bars.
    excursion_window_step : int
        Bars between two samples of the window (at least 1).
    periodically_rebalance : bool
        Whether resizing a held position at a rebalance restarts its cost basis (the engine's ``RESAMPLE``
        setting).
    benchmark : Series, str or None
        Prices to measure the run against: a Series of prices by date, or the name of a price (close) column.
        Prices must be positive and finite (NaN is a missing price); pass returns ``r`` as prices with ``(1 +
        r).cumprod()``.  Laid on the price bars by date: each bar takes the last benchmark price dated on or
        before it, from the benchmark's first date to its last (NaN outside them).  When both indexes are
        daily (at most one date per calendar day) and one carries a time of day (closes stamped 16:00 against
        bars at midnight), they are matched by calendar date.  The dates must be in the price dates' time zone
        (or both tz-naive), as for ``position``: nothing is converted, since a midnight stamp in one zone is
        the day before in another.  Repeated dates, fewer than two price bars within the benchmark's dates, or
        prices whose bar-to-bar changes look like gross returns ``1 + r`` (a lag-1 autocorrelation below -0.4
        over 50 bars or more: a warning) are reported.  ``report.stats()`` then gives alpha, beta,
        correlation, tracking_error and information_ratio against it, ``report.plot()`` draws it, and
        ``report.benchmark`` holds it.

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
    report = run_backtest(locals())
    _checks.issue(report._run.notes, stacklevel=3)
    return report


def run_backtest(values: Mapping[str, Any], inputs: InputsCache | None = None) -> Report:
    """:func:`backtest` on a mapping of its arguments (all of them), without issuing the Python
    warnings of its notes (they are in ``report.warnings``; a sweep summarises them).

    With `inputs`, the conversion of the frames is taken from (or made once into) that cache, so runs
    that differ only in options that need no conversion of their own share it.
    """
    opts, option_notes = _options.validate(values)
    notes = _checks.Notes((o.partition(":")[0], o) for o in option_notes)
    conv = convert(opts) if inputs is None else inputs.get(opts)
    return _run_converted(values, opts, notes, conv)


class Converted:
    """The inputs of a run converted for the engine: what depends on the frames, ``trade_at``,
    ``touched_exit``, ``resample`` and ``benchmark`` alone, in the order a run makes it.

    Runs that share it only read it: the removal of unpriced targets has been made on its weights,
    and the per-run conversions of stop tables and delisting maps are kept in ``memo``.
    """

    __slots__ = (
        "data", "target", "bench_prices", "bench_name", "plan", "rr", "cc", "keys", "flat", "traded",
        "notes", "held", "ohlc", "memo",
    )  # fmt: skip

    def __init__(self, opts: SimpleNamespace) -> None:
        notes = _checks.Notes()
        data = _inputs.prices(
            opts.price, opts.open, opts.high, opts.low, opts.close, trade_at=opts.trade_at,
            touched_exit=opts.touched_exit,
        )  # fmt: skip
        target = _inputs.targets(opts.position, data)
        self.bench_prices = self.bench_name = None
        if opts.benchmark is not None:
            self.bench_prices, self.bench_name, note = _benchmark.prepare(opts.benchmark, data.dates, data.frame)
            notes.add("benchmark", note)
        plan = _schedule.plan(opts.resample, data.dates, data.ns, target.dates, target.ns)
        notes.add("calendar", _checks.calendar_note(data.trade, data.dates, plan.exec_bars))
        rr, cc, keys, flat = _schedule.executed_cells(target.cells, target.weights.shape, plan.run_rows)
        traded = _remove_unpriced(data, target, plan, rr, cc, flat, notes)
        self.data, self.target, self.plan, self.traded = data, target, plan, traded
        self.rr, self.cc, self.keys, self.flat = rr, cc, keys, flat
        # Made before a run's own checks, added to its notes after them, as a single run does.
        self.notes = list(notes)
        if not target.boolean:
            self.notes.append(
                ("gross", _checks.gross_note(rr, traded, plan.run_rows.size, target.dates[plan.run_rows]))
            )
            self.notes.append(
                (
                    "percent",
                    _checks.percent_note(
                        target.cells, target.cell_weights, target.weights.shape[1], target.symbols, target.dates
                    ),
                )
            )
        self.held = np.unique(cc[traded != 0])  # position columns with an executed target
        # The held prices' check: its note, or the error a run raises after its own checks.
        self.ohlc: str | Exception | None
        try:
            self.ohlc = _check_held_prices(data, target, plan, rr, cc, traded, opts.trade_at, opts.touched_exit)
        except (ValueError, TypeError) as exc:
            self.ohlc = exc
        self.memo: dict[Any, Any] = {}

    def converted(self, what: str, value: Any, make: Any) -> Any:
        """``make()`` for the option `what` set to `value`, kept for the next run with the same value
        (a table by identity, a string by value; numbers are not kept: their conversion is cheap)."""
        if value is None or isinstance(value, (bool, int, float)):
            return make()
        key = (what, value if isinstance(value, str) else id(value))
        hit = self.memo.get(key)
        if hit is not None and (hit[0] is value or isinstance(value, str)):
            return hit[1]
        out = make()
        if len(self.memo) >= 8:  # a grid of many tables keeps the latest few
            try:
                self.memo.pop(next(iter(self.memo)), None)
            except (RuntimeError, StopIteration):  # another thread changed it meanwhile
                pass
        self.memo[key] = (value, out)  # the value held: its id stays its own
        return out


def convert(opts: SimpleNamespace) -> Converted:
    """The conversion of a run's frames (:class:`Converted`)."""
    return Converted(opts)


#: The options a conversion depends on: runs that agree on them (the objects, by identity) share one.
CONVERSION_KEYS = (
    "position",
    "price",
    "open",
    "high",
    "low",
    "close",
    "trade_at",
    "touched_exit",
    "resample",
    "benchmark",
)


class InputsCache:
    """Conversions of a sweep's inputs by :data:`CONVERSION_KEYS`, shared by its runs and threads.

    Each distinct key is converted once (a thread asking for a key being converted waits for it) and
    the last `size` keys are kept. A conversion that raised raises the same error again, for every
    run of its key.
    """

    def __init__(self, size: int = 4) -> None:
        self._size = size
        self._lock = threading.Lock()
        self._slots: OrderedDict[tuple, _Slot] = OrderedDict()

    def get(self, opts: SimpleNamespace) -> Converted:
        held = tuple(getattr(opts, k) for k in CONVERSION_KEYS)
        key = tuple(v if isinstance(v, (str, bool, int, float)) or v is None else id(v) for v in held)
        with self._lock:
            slot = self._slots.get(key)
            if slot is None or any(a is not b for a, b in zip(slot.held, held)):
                slot = self._slots[key] = _Slot(held)
                while len(self._slots) > self._size:
                    self._slots.popitem(last=False)
            else:
                self._slots.move_to_end(key)
        return slot.value(opts)


def _again(exc: BaseException) -> BaseException:
    """A fresh copy of a kept error to raise (raising one object in several runs would chain their
    tracebacks onto it)."""
    try:
        return copy.copy(exc)
    except Exception:  # an error type that cannot be rebuilt from its args
        return exc


class _Slot:
    __slots__ = ("held", "_lock", "_done", "_value")

    def __init__(self, held: tuple) -> None:
        self.held = held  # the keyed objects, kept alive: their ids stay theirs
        self._lock = threading.Lock()
        self._done = False
        self._value: Converted | BaseException | None = None

    def value(self, opts: SimpleNamespace) -> Converted:
        if not self._done:
            with self._lock:
                if not self._done:
                    try:
                        self._value = Converted(opts)
                    except Exception as exc:
                        self._value = exc.with_traceback(None)
                    self._done = True
        if isinstance(self._value, BaseException):
            raise _again(self._value)
        assert self._value is not None
        return self._value


def _run_converted(values: Mapping[str, Any], opts: SimpleNamespace, notes: _checks.Notes, conv: Converted) -> Report:
    data, target, plan, traded = conv.data, conv.target, conv.plan, conv.traded
    rr, cc, keys = conv.rr, conv.cc, conv.keys
    _checks.excursion_limits(opts.excursion_window, opts.excursion_window_step, data.ns.size, rr.size)
    for kind, text in conv.notes:
        notes.add(kind, text)
    delisting_bars = conv.converted(
        "delisting", opts.delisting, lambda: _inputs.delisting_bars(opts.delisting, data, target)
    )
    sl = conv.converted(
        "stop_loss",
        opts.stop_loss,
        lambda: _inputs.threshold(opts.stop_loss, "stop_loss", data.dates, data.ns, target.lookup),
    )
    tp = conv.converted(
        "take_profit",
        opts.take_profit,
        lambda: _inputs.threshold(opts.take_profit, "take_profit", data.dates, data.ns, target.lookup),
    )
    for kind, text in _checks.threshold_notes(sl, tp, traded):
        notes.add(kind, text)
    held = conv.held
    if isinstance(conv.ohlc, Exception):
        raise _again(conv.ohlc)
    notes.add("ohlc", conv.ohlc)

    engine_options = dict(
        fee_ratio=opts.fee_ratio,
        tax_ratio=opts.tax_ratio,
        stop_loss=sl,
        take_profit=tp,
        trail_stop=opts.trail_stop,
        trail_stop_activation=opts.trail_stop_activation,
        touched_exit=opts.touched_exit,
        position_limit=opts.position_limit,
        retain_cost_when_rebalance=opts.retain_cost_when_rebalance,
        stop_trading_next_period=opts.stop_trading_next_period,
        excursion_window=opts.excursion_window,
        excursion_window_step=opts.excursion_window_step,
        periodically_rebalance=opts.periodically_rebalance,
        delisting_bars=delisting_bars,
    )
    creturn, log, ops, runlog = _run_engine(data, target, plan, opts.trade_at, engine_options)
    equity = np.asarray(creturn)
    if not np.isfinite(equity).all():
        _checks.check_equity(equity, data.arrays["close"], target.price_cols(held), target.symbols[held], data.dates)
    _after_run_notes(notes, data, target, log, runlog, delisting_bars, opts)

    settings = dict(
        engine_options,
        trade_at=opts.trade_at,
        resample=opts.resample,
        delisting=opts.delisting if isinstance(opts.delisting, str) or opts.delisting is None else "mapping",
        stop_loss=opts.stop_loss,
        take_profit=opts.take_profit,
        trail_stop=values["trail_stop"],
    )
    run = RunData(
        dates=data.dates,
        symbols=target.symbols,
        creturn=creturn,
        pos_values=target.weights,
        pos_dates=target.dates,
        exec_bars=plan.exec_bars,
        exec_rows=plan.run_rows,
        pending_row=plan.pending_row,
        trades=log[0],
        trade_positions=log[1],
        excursion=log[2],
        stock_operations=ops,
        runlog=runlog,
        delisting_bars=delisting_bars,
        auto_delisting=isinstance(opts.delisting, str),
        touched_exit=opts.touched_exit,
        excursion_window=opts.excursion_window,
        excursion_window_step=opts.excursion_window_step,
        exec_cells=(rr, cc, traded, keys),
        warnings=notes.texts(),
        notes=notes,
        settings=settings,
        benchmark=conv.bench_prices,
        benchmark_name=conv.bench_name,
    )
    return Report(run)


# ------------------------------------------------------------------ the steps


def _remove_unpriced(data, target, plan, rr, cc, flat, notes) -> np.ndarray:
    """Removes the targets without a trading price on the bar their row executes (from the private
    weights); the weights of the executed non-zero cells after it."""
    traded = target.cell_weights if flat is target.cells else target.weights.ravel()[flat]
    if rr.size == 0:
        return traded
    exec_bars = plan.exec_bars
    unpriced = np.isnan(_inputs.take(data.trade, exec_bars[rr], target.price_cols(cc)))
    if not unpriced.any():
        return traded
    for i, c in zip(rr[unpriced], cc[unpriced]):
        row = plan.run_rows[i]
        notes.add(
            "unpriced",
            f"position: {target.symbols[c]!r} has no trading price on {date_text(data.dates[exec_bars[i]])}, where"
            f" the row of {date_text(target.dates[row])} is executed; its target {target.weights[row, c]:g} was removed",
        )
        target.weights[row, c] = 0.0
    if target.boolean:
        n = int(np.count_nonzero(unpriced))
        notes.add(
            "idle",
            f"position: {n} True cell{'s' if n > 1 else ''} on stocks without a trading price left"
            f" {'their' if n > 1 else 'its'} share of equity in cash (first {target.symbols[cc[unpriced][0]]!r} on"
            f" {date_text(data.dates[exec_bars[rr[unpriced][0]]])}); True means an equal share of the row, counted"
            " before unpriced stocks are removed: hold only priced stocks, e.g. position & price.notna()",
        )
    return target.weights.ravel()[flat]


def _check_held_prices(data, target, plan, rr, cc, traded, trade_at: str, touched_exit: bool) -> str | None:
    """Refuses a bad price of a held stock on a bar the run can read it; the note of opens and closes
    outside their bars (with touched exits)."""
    keep = traded != 0
    read = dict.fromkeys((trade_at, "close") + (("open", "high", "low") if touched_exit else ()))
    arrays = {data.names[k]: data.arrays[k] for k in read}
    hint = ""
    w = target.cell_weights
    if w.size and np.count_nonzero(np.abs(w) > 1) > w.size // 2:
        hint = "; are position and price swapped? backtest(position, price) takes the target weights first"
    return _checks.held_prices(
        arrays,
        plan.exec_bars,
        rr[keep],
        target.price_cols(cc[keep]),
        data.frame.columns,
        data.dates,
        ohlc=touched_exit,
        hint=hint,
    )


def _run_engine(data, target, plan, trade_at: str, options: dict):
    """The engine's run through its typed entry: (creturn, the trade log as arrays (stock, entry
    bar, exit bar rows; positions; excursion blocks), the stock operations, the run log)."""
    from torvex.core import _typed

    args = (
        data.trade,
        data.arrays["close"],
        data.arrays.get("high"),
        data.arrays.get("low"),
        data.arrays.get("open"),
        data.ns,
        data.text,
        target.weights,
        target.ns,
        target.text,
        plan.resample_ns,
    )
    # The column map the inputs made (labels matched exactly, the last of a repeated one).
    if target.colmap is not None:
        price_col = target.colmap.astype(np.int64)
    elif data.frame.columns.is_unique:
        price_col = np.arange(len(target.text), dtype=np.int64)
    else:
        price_col = None
    res = _typed.run(*args, **options, price_col=price_col)
    log = (
        np.stack([res.sid, res.entry_bar, res.exit_bar], axis=1),
        res.position,
        res.excursion,
    )
    # Made when the report is asked what to trade next (a sweep's runs never are).
    ops = functools.partial(
        _typed.stock_operations,
        res, target.weights, data.ns, target.ns, options["position_limit"], options["stop_trading_next_period"],
    )  # fmt: skip
    runlog = {name: getattr(res, name) for name in _RUNLOG_FIELDS}
    runlog["matches_trade_log"] = True
    return res.creturn, log, ops, runlog


#: The run log's fields, as ``torvex._runlog.last_run_log`` names them.
_RUNLOG_FIELDS = (
    "exit_reason",
    "touched",
    "entry_price",
    "exit_price",
    "fees",
    "taxes",
    "pnl",
    "committed",
    "unpriced_exit",
    "unrecorded_sids",
    "unrecorded_pnl",
    "rebalance_bars",
    "rebalance_rows",
)


def _after_run_notes(notes, data, target, log, runlog, delisting_bars, opts) -> None:
    """Notes of what the run did that the trades table alone does not say."""
    if delisting_bars is not None and isinstance(opts.delisting, str):
        reasons = None if runlog is None else runlog.get("exit_reason")
        fills = None if runlog is None or len(runlog.get("exit_price", ())) != len(log[0]) else runlog["exit_price"]
        for k, (sid, _, exit_bar) in enumerate(log[0]):
            if exit_bar >= 0 and exit_bar == delisting_bars[sid] and (reasons is None or reasons[k] == 4):
                at = "its last price" if fills is None else f"its last price {fills[k]:g}"
                notes.add(
                    "delisting",
                    f"delisting: {target.symbols[sid]!r} has no trading price after {date_text(data.dates[exit_bar])};"
                    f" closed there at {at} (delisting='auto')",
                )
    if runlog is not None and runlog.get("matches_trade_log", True):
        ohlc = data.arrays if opts.touched_exit else None
        for text in _checks.ledger_notes(runlog, log[0], target.symbols, data.dates, ohlc, target.colmap):
            notes.add(text.partition(":")[0], text)
