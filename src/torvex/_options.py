"""The options of :func:`torvex.backtest`, in one table.

Each row names an option, its type as the documentation shows it, its default,
its documentation, and the check that turns a caller's value into the plain
value a run uses (or refuses it).  The table drives :func:`validate`,
:data:`KEYWORDS` (the names a sweep's grid may vary) and the parameter list
of ``backtest``'s docstring, which ``scripts/options_doc.py``
writes into the source from :func:`parameters_doc`.  Adding an option is one
row here plus its use.

Options whose values are data (frames, Series, mappings, dates) are only
type-checked here; :mod:`torvex._inputs` converts them against the prices.
"""

from __future__ import annotations

import math
import numbers
import textwrap
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from types import SimpleNamespace
from typing import Any

import numpy as np

__all__ = ["Option", "OPTIONS", "KEYWORDS", "REQUIRED", "defaults", "validate", "parameters_doc"]

#: A fee or tax above this is more likely a per-cent figure than a fraction.
LARGE_COST = 0.05

REQUIRED = object()  # the default of an argument without one


# ------------------------------------------------------------------ the checks


def _kind(value: Any) -> str:
    return f"{type(value).__name__} {value!r}"


def _real(value: Any, name: str) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (numbers.Real, np.integer, np.floating)):
        raise TypeError(f"{name}: expected a number; found {_kind(value)}")
    try:
        return float(value)
    except OverflowError:
        raise ValueError(f"{name}: expected a number that fits a float; found {value!r}") from None


def _finite(value: Any, name: str) -> float:
    v = _real(value, name)
    if not math.isfinite(v):
        raise ValueError(f"{name}: expected a finite number; found {v!r}")
    return v


def flag(value: Any, name: str) -> bool:
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
    if isinstance(value, (int, np.integer)) and not isinstance(value, bool) and value in (0, 1):
        return bool(value)
    raise TypeError(f"{name}: expected True or False; found {_kind(value)}")


def cost_ratio(value: Any, name: str) -> float:
    """A fee or tax ratio: a finite fraction of at least 0 and below 1.

    Examples
    --------
    >>> cost_ratio(0.001425, "fee_ratio")
    0.001425
    >>> cost_ratio(-1.0, "fee_ratio")
    Traceback (most recent call last):
    ...
    ValueError: fee_ratio: expected a fraction of at least 0 and below 1; found -1.0
    """
    v = _real(value, name)
    if not 0.0 <= v < 1.0:
        raise ValueError(f"{name}: expected a fraction of at least 0 and below 1; found {v!r}")
    return v


def cost_note(value: float, name: str) -> str | None:
    """The note of a cost ratio above :data:`LARGE_COST` (likely a per-cent figure)."""
    if value > LARGE_COST:
        return (
            f"{name}: {value:g} is a cost of {value * 100:g}% of the traded value; costs are fractions,"
            f" 0.001425 means 0.1425%"
        )
    return None


def _limit(value: Any, name: str) -> float:
    v = _real(value, name)
    if not v > 0:
        raise ValueError(f"{name}: expected a number above 0; found {v!r}")
    return v


def _limit_note(limit: float, name: str) -> str | None:
    if limit > 1.0:
        return (
            f"{name}: {limit:g} has no effect (no holding exceeds the whole equity);"
            f" limits are fractions, 0.2 means 20%"
        )
    return None


def _trail(value: Any, name: str) -> float:
    if value is None:
        return math.inf
    v = abs(_real(value, name))
    return math.inf if math.isnan(v) else v


def _integer(low: int) -> Callable[[Any, str], int]:
    def check(value: Any, name: str) -> int:
        if isinstance(value, (bool, np.bool_)) or not isinstance(value, (numbers.Integral, np.integer)):
            raise TypeError(f"{name}: expected an integer; found {_kind(value)}")
        if int(value) < low:
            raise ValueError(f"{name}: expected an integer of at least {low}; found {value}")
        if int(value) >= 2**31:
            raise ValueError(f"{name}: expected an integer of at most {2**31 - 1}; found {value}")
        return int(value)

    return check


def _choice(*allowed: str) -> Callable[[Any, str], str]:
    def check(value: Any, name: str) -> str:
        if not isinstance(value, str):
            raise TypeError(f"{name}: expected one of {', '.join(map(repr, allowed))}; found {_kind(value)}")
        if value not in allowed:
            raise ValueError(f"{name}: expected one of {', '.join(map(repr, allowed))}; found {value!r}")
        return value

    return check


def _delisting(value: Any, name: str) -> Any:
    if value is None or isinstance(value, Mapping):
        return value
    if isinstance(value, str):
        if value != "auto":
            raise ValueError(f"{name}: expected 'auto', None or a mapping symbol -> date; found {value!r}")
        return value
    raise TypeError(f"{name}: expected 'auto', None or a mapping symbol -> date; found {type(value).__name__}")


# ------------------------------------------------------------------- the table


@dataclass(frozen=True)
class Option:
    """One argument of ``backtest``.

    ``check(value, name)`` returns the value a run uses or raises; None leaves the value to the
    conversions of the data.  ``note(value, name)`` gives the text of a warning about a valid but
    doubtful value.
    """

    name: str
    type: str
    default: Any
    doc: str
    check: Callable[[Any, str], Any] | None = None
    note: Callable[[Any, str], str | None] | None = None
    keyword: bool = True


_OHLC_DOC = "The same frames given as keywords."

OPTIONS: tuple[Option, ...] = (
    Option(
        "position",
        "DataFrame or Series",
        REQUIRED,
        "Target weights, dates x symbols: signed fractions of equity (0.1 is a tenth long, -0.1 a tenth"
        ' short).  NaN means 0.  A frame of booleans means "hold": each row\'s True cells get equal weights'
        " summing to 1.  A Series is one symbol's weights, named by its symbol.  A polars DataFrame whose"
        " first column holds the dates is taken too.",
        keyword=False,
    ),
    Option(
        "price",
        "DataFrame or mapping, optional",
        None,
        'Prices, dates x symbols; or a mapping with frames ``"open"``, ``"high"``, ``"low"``, ``"close"`` on'
        " the same dates and symbols.  The close always values the portfolio.",
        keyword=False,
    ),
    Option("open", "DataFrame, optional", None, _OHLC_DOC),
    Option("high", "DataFrame, optional", None, _OHLC_DOC),
    Option("low", "DataFrame, optional", None, _OHLC_DOC),
    Option("close", "DataFrame, optional", None, _OHLC_DOC),
    Option(
        "trade_at",
        '{"close", "open"}',
        "close",
        "Price at which trades are made: the bar's close (default) or open.",
        _choice("close", "open"),
    ),
    Option(
        "resample",
        "None, str or list of dates",
        None,
        'Rebalance points.  None: each row of ``position`` is one.  An offset alias (``"W"``,'
        ' ``"W-FRI"``, ``"ME"``/``"M"``, ``"QE"``/``"Q"``, ``"YE"``/``"Y"``, ...): the last price bar of'
        " each period.  Dates: the last price bar dated on or before each of them.",
    ),
    Option(
        "delisting",
        '"auto", None or mapping',
        "auto",
        '``"auto"``: a stock whose trading prices stop for good before the last bar on which the'
        " position's other stocks still have prices is closed on its last priced bar, at that price."
        "  None: no delisting.  A mapping symbol -> last trading date closes the stock on the last bar"
        " dated on or before that date.",
        _delisting,
    ),
    Option(
        "fee_ratio",
        "float",
        0.001425,
        "Fee charged on the value of every trade (default 0.001425): a fraction of at least 0 and below"
        " 1 (above 0.05 warns: a per-cent figure?).",
        cost_ratio,
        cost_note,
    ),
    Option(
        "tax_ratio",
        "float",
        0.003,
        "Tax charged on the value of every trade that reduces or closes a position, long or short"
        " (default 0.003: a 0.3% tax on every sale and every short cover).  Set 0 where no such tax"
        " applies.  A fraction as ``fee_ratio``.",
        cost_ratio,
        cost_note,
    ),
    Option(
        "stop_loss",
        "float, Series, DataFrame or None",
        None,
        "Exit a position that loses this fraction since its entry (or the last rebalance, see Notes).  A"
        " Series gives one per symbol, a DataFrame one per date and symbol (in force from its date on)."
        "  None (default) or NaN: no stop.  The engine's own default, 1.0, differs: it stops a short at a"
        " 100% loss.",
    ),
    Option(
        "take_profit",
        "float, Series, DataFrame or None",
        None,
        "Exit a position that gains this fraction; forms as ``stop_loss``.  None (default): no take-profit.",
    ),
    Option(
        "trail_stop",
        "float or None",
        None,
        "Exit when the price falls this fraction of the entry price below the best price since entry (a"
        " short: rises above the worst).  None: none.",
        _trail,
    ),
    Option(
        "trail_stop_activation",
        "float",
        0.0,
        "The trailing stop is armed once the position has gained this fraction.",
        _finite,
    ),
    Option(
        "touched_exit",
        "bool",
        False,
        "Exit inside the bar at the band's level when the bar's open, high or low touches it (needs open,"
        " high and low); otherwise a close beyond the band exits on the next bar at its trading price.",
        flag,
    ),
    Option(
        "position_limit",
        "float",
        1.0,
        "Largest holding of one stock as a fraction of equity (default 1.0; above 1 has no effect and warns).",
        _limit,
        _limit_note,
    ),
    Option(
        "retain_cost_when_rebalance",
        "bool",
        False,
        "Keep measuring stops from the entry when a rebalance keeps a position on the same side.",
        flag,
    ),
    Option(
        "stop_trading_next_period",
        "bool",
        True,
        "Leave a stock that a stop closed out of the next rebalance too.",
        flag,
    ),
    Option(
        "excursion_window",
        "int",
        0,
        "Also sample each trade's excursion statistics at bar offsets 0, ``excursion_window_step``, ..."
        " below this window (0: exit only).  At most the number of price bars.",
        _integer(0),
    ),
    Option(
        "excursion_window_step",
        "int",
        1,
        "Bars between two samples of the window (at least 1).",
        _integer(1),
    ),
    Option(
        "periodically_rebalance",
        "bool",
        True,
        "Whether resizing a held position at a rebalance restarts its cost basis (the engine's ``RESAMPLE`` setting).",
        flag,
    ),
    Option(
        "benchmark",
        "Series, str or None",
        None,
        "Prices to measure the run against: a Series of prices by date, or the name of a price (close)"
        " column.  Prices must be positive and finite (NaN is a missing price); pass returns ``r`` as prices"
        " with ``(1 + r).cumprod()``.  Laid on the price bars by date: each bar takes the last benchmark"
        " price dated on or before it, from the benchmark's first date to its last (NaN outside them)."
        "  When both indexes are daily (at most one date per calendar day) and one carries a time of day"
        " (closes stamped 16:00 against bars at midnight), they are matched by calendar date.  The dates"
        " must be in the price dates' time zone (or both tz-naive), as for ``position``: nothing is"
        " converted, since a midnight stamp in one zone is the day before in another.  Repeated dates,"
        " fewer than two price bars within the benchmark's dates, or prices whose bar-to-bar changes look"
        " like gross returns ``1 + r`` (a lag-1 autocorrelation below -0.4 over 50 bars or more: a"
        " warning) are reported.  ``report.stats()`` then gives alpha, beta, correlation, tracking_error"
        " and information_ratio against it, ``report.plot()`` draws it, and ``report.benchmark`` holds it.",
    ),
)

BY_NAME: dict[str, Option] = {o.name: o for o in OPTIONS}

#: Names of the keyword options (what a sweep's grid or fixed options may set).
KEYWORDS: frozenset[str] = frozenset(o.name for o in OPTIONS if o.keyword)


def defaults(**values: Any) -> dict[str, Any]:
    """Every argument of ``backtest``: the given ``values`` and the defaults of the others.

    Examples
    --------
    >>> defaults(position=None, fee_ratio=0)["tax_ratio"]
    0.003
    """
    unknown = set(values) - BY_NAME.keys()
    if unknown:
        raise TypeError(f"backtest: expected options among {', '.join(BY_NAME)}; found {', '.join(sorted(unknown))}")
    out = {o.name: (values[o.name] if o.name in values else o.default) for o in OPTIONS}
    if out["position"] is REQUIRED:
        raise TypeError("position: expected target weights; found none")
    return out


def validate(values: Mapping[str, Any]) -> tuple[SimpleNamespace, list[str]]:
    """The checked values of the options in ``values`` (by name), and the notes on doubtful ones.

    Options without a check are passed through for the data conversions.

    Examples
    --------
    >>> opts, notes = validate({"fee_ratio": 0.1425, "touched_exit": 1})
    >>> opts.touched_exit, notes[0][:33]
    (True, 'fee_ratio: 0.1425 is a cost of 14')
    >>> validate({"trade_at": "Open"})
    Traceback (most recent call last):
    ...
    ValueError: trade_at: expected one of 'close', 'open'; found 'Open'
    """
    out: dict[str, Any] = {}
    notes: list[str] = []
    for name, value in values.items():
        opt = BY_NAME[name]
        if opt.check is not None:
            value = opt.check(value, name)
        if opt.note is not None:
            text = opt.note(value, name)
            if text is not None:
                notes.append(text)
        out[name] = value
    return SimpleNamespace(**out), notes


def parameters_doc(indent: str = "    ", width: int = 110) -> str:
    """The numpydoc parameter list of ``backtest``, from the table: consecutive options with the same
    type and documentation share one entry (``open, high, low, close``)."""
    lines = []
    i = 0
    while i < len(OPTIONS):
        group = [OPTIONS[i]]
        while i + len(group) < len(OPTIONS) and (
            (nxt := OPTIONS[i + len(group)]).type == group[0].type and nxt.doc == group[0].doc
        ):
            group.append(nxt)
        i += len(group)
        lines.append(f"{indent}{', '.join(o.name for o in group)} : {group[0].type}")
        lines.extend(
            textwrap.wrap(
                group[0].doc,
                width=width,
                initial_indent=indent * 2,
                subsequent_indent=indent * 2,
                break_on_hyphens=False,
            )
        )
    return "\n".join(lines) + "\n"
