"""The options table (torvex._options) against backtest's signature and docstring, the sweep's
option names, and the checks and notes every row gives a caller's value."""

import inspect
import pathlib
import subprocess
import sys
import warnings

import numpy as np
import pandas as pd
import pytest

import torvex
from torvex import _options
from torvex._backtest import backtest
from torvex._sweep import _api

ROOT = pathlib.Path(__file__).resolve().parents[2]
DATES = pd.bdate_range("2024-01-01", periods=8)
PRICE = pd.DataFrame({"A": [10.0, 10.5, 11, 10.8, 11.2, 11.5, 11.1, 11.8], "B": 20.0}, index=DATES)
ROW = pd.DataFrame({"A": [0.5], "B": [0.5]}, index=DATES[:1])
SIGNATURE = inspect.signature(backtest)


# ---------------------------------------------------------------- the table and the signature


def test_table_names_the_parameters_of_backtest_in_order():
    assert [o.name for o in _options.OPTIONS] == list(SIGNATURE.parameters)


@pytest.mark.parametrize("opt", _options.OPTIONS, ids=lambda o: o.name)
def test_each_row_agrees_with_its_parameter(opt):
    p = SIGNATURE.parameters[opt.name]
    assert (p.kind is p.KEYWORD_ONLY) == opt.keyword
    if not opt.keyword:
        assert p.kind is p.POSITIONAL_OR_KEYWORD
    if opt.default is _options.REQUIRED:
        assert p.default is p.empty
    else:
        assert p.default is not p.empty
        assert type(p.default) is type(opt.default) and p.default == opt.default


def test_defaults_fill_every_argument_and_refuse_unknown_or_missing_ones():
    got = _options.defaults(position=ROW)
    assert list(got) == list(SIGNATURE.parameters)
    assert got["position"] is ROW
    for name, p in SIGNATURE.parameters.items():
        if name != "position":
            assert got[name] == p.default
    assert _options.defaults(position=ROW, fee_ratio=0)["fee_ratio"] == 0
    with pytest.raises(TypeError, match="^position: expected"):
        _options.defaults(fee_ratio=0)
    with pytest.raises(TypeError, match="fee_rate"):
        _options.defaults(position=ROW, fee_rate=0)


def test_every_default_passes_its_own_check_without_a_note():
    values = {o.name: o.default for o in _options.OPTIONS if o.check is not None}
    opts, notes = _options.validate(values)
    assert notes == []
    assert set(vars(opts)) == set(values)


def test_sweep_varies_the_keyword_options():
    assert _api._backtest_options() == set(_options.KEYWORDS)
    assert _options.KEYWORDS == {n for n, p in SIGNATURE.parameters.items() if p.kind is p.KEYWORD_ONLY}


def test_docstring_parameter_list_is_the_table():
    run = subprocess.run(
        [sys.executable, str(ROOT / "scripts" / "options_doc.py"), "--check"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert run.returncode == 0, run.stdout + run.stderr


def test_docstring_lists_each_parameter_once_with_its_type():
    doc = inspect.getdoc(backtest)
    params = doc[doc.index("Parameters\n----------\n") : doc.index("\nReturns\n")]
    entries = [line for line in params.splitlines()[2:] if line and not line.startswith(" ")]
    named = [n.strip() for e in entries for n in e.partition(" : ")[0].split(",")]
    assert named == list(SIGNATURE.parameters)
    for opt in _options.OPTIONS:
        assert any(opt.name in e.partition(" : ")[0] and e.endswith(" : " + opt.type) for e in entries)


# ------------------------------------------------------------------ the checks of each row

# Per option with a check: values of a wrong type (TypeError) and of a wrong value (ValueError).
WRONG = {
    "trade_at": ([None, 1, b"open", ["open"]], ["Open", "close ", "", "vwap"]),
    "delisting": ([3, 1.5, True, ["A"]], ["Auto", "", {"A": pd.NaT}, {"A": "not a date"}]),
    "fee_ratio": (["0.1", None, True, pd.NA, 1j], [-1, -1e-12, 1, 1.5, float("nan"), float("inf"), 10**400]),
    "tax_ratio": (["0.1", None, np.bool_(False), [0.1]], [1, -0.001, float("nan"), -float("inf")]),
    "trail_stop": (["5%", True, pd.NA, [0.1]], [10**400]),
    "trail_stop_activation": (["0", None, False], [float("nan"), float("inf"), -float("inf"), 10**400]),
    "touched_exit": (["True", None, pd.NA, 2, -1, 1.0, np.float64(0.0)], []),
    "position_limit": (["1", None, True], [0, -0.5, float("nan"), -float("inf")]),
    "retain_cost_when_rebalance": (["no", None, pd.NA, 2, 0.0], []),
    "stop_trading_next_period": (["yes", np.nan, 3], []),
    "excursion_window": ([1.0, "5", None, True, np.float64(2)], [-1, np.int64(-3), 2**31, 10**30]),
    "excursion_window_step": ([1.5, "1", None, np.True_], [0, -1, 2**31]),
    "periodically_rebalance": ([pd.NA, "true", None, 2, np.int64(5)], []),
}
CHECKED = [o.name for o in _options.OPTIONS if o.check is not None]


def test_every_checked_option_has_wrong_values_here():
    assert set(WRONG) == set(CHECKED)


def cases(which):
    for name in CHECKED:
        for value in WRONG[name][which]:
            yield pytest.param(name, value, id=f"{name}={value!r}"[:60])


def run(**kw):
    # touched_exit and trade_at='open' need the OHLC frames.
    price = {"open": PRICE, "high": PRICE * 1.01, "low": PRICE * 0.99, "close": PRICE}
    return torvex.backtest(ROW, price, **kw)


@pytest.mark.parametrize("name, value", list(cases(0)))
def test_a_value_of_the_wrong_type_is_a_type_error_naming_the_option(name, value):
    with pytest.raises(TypeError) as info:
        run(**{name: value})
    assert str(info.value).startswith(f"{name}: expected"), str(info.value)


@pytest.mark.parametrize("name, value", list(cases(1)))
def test_a_wrong_value_is_a_value_error_naming_the_option(name, value):
    with pytest.raises(ValueError) as info:
        run(**{name: value})
    assert str(info.value).startswith(f"{name}: expected"), str(info.value)


@pytest.mark.parametrize(
    "name, value, used",
    [
        ("trade_at", "open", "open"),
        ("fee_ratio", np.float32(0.001), float(np.float32(0.001))),
        ("fee_ratio", 0, 0.0),
        ("tax_ratio", np.int64(0), 0.0),
        ("touched_exit", np.True_, True),
        ("touched_exit", 1, True),
        ("retain_cost_when_rebalance", np.int64(0), False),
        ("trail_stop", None, float("inf")),
        ("trail_stop", float("nan"), float("inf")),
        ("trail_stop", -0.05, 0.05),
        ("excursion_window", np.int32(3), 3),
        ("excursion_window_step", np.uint8(2), 2),
        ("position_limit", np.float64(0.3), 0.3),
        ("delisting", None, None),
        ("delisting", "auto", "auto"),
    ],
)
def test_values_of_the_accepted_forms_become_plain_values(name, value, used):
    opts, _ = _options.validate({name: value})
    got = getattr(opts, name)
    assert got == used and type(got) is type(used)


def test_checks_come_before_the_data_is_read():
    # A wrong option is reported even when the frames are wrong too.
    with pytest.raises(ValueError, match="^fee_ratio: expected"):
        torvex.backtest("not a frame", "nor this", fee_ratio=-1)


# ------------------------------------------------------------------ notes on doubtful values


@pytest.mark.parametrize(
    "kw, start",
    [
        (dict(fee_ratio=0.06), "fee_ratio: 0.06 is a cost of 6% of the traded value"),
        (dict(tax_ratio=0.3), "tax_ratio: 0.3 is a cost of 30% of the traded value"),
        (dict(position_limit=1.5), "position_limit: 1.5 has no effect"),
        (dict(position_limit=20), "position_limit: 20 has no effect"),
    ],
)
def test_a_doubtful_value_warns_at_the_callers_line(kw, start):
    with warnings.catch_warnings(record=True) as rec:
        warnings.simplefilter("always")
        line = inspect.currentframe().f_lineno + 1
        report = torvex.backtest(ROW, PRICE, **kw)
    notes = [w for w in rec if str(w.message).startswith(start)]
    assert len(notes) == 1, [str(w.message) for w in rec]
    (w,) = notes
    assert w.category is UserWarning
    assert pathlib.Path(w.filename).resolve() == pathlib.Path(__file__).resolve()
    assert w.lineno == line
    assert any(t.startswith(start) for t in report.warnings)


def test_both_costs_doubtful_give_two_warnings():
    with warnings.catch_warnings(record=True) as rec:
        warnings.simplefilter("always")
        torvex.backtest(ROW, PRICE, fee_ratio=0.1, tax_ratio=0.1)
    texts = [str(w.message) for w in rec]
    assert sum(t.startswith("fee_ratio:") for t in texts) == 1
    assert sum(t.startswith("tax_ratio:") for t in texts) == 1


@pytest.mark.parametrize("kw", [dict(fee_ratio=0.05), dict(tax_ratio=0.05), dict(position_limit=1.0), {}])
def test_values_at_the_limits_do_not_warn(kw):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        report = torvex.backtest(ROW, PRICE, **kw)
    assert report.warnings == () or list(report.warnings) == []
