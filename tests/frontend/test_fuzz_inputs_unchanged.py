"""A fixed, seeded share of the front-end fuzzer's cases (fuzz/frontend.py), run in this process.

Each case hands torvex.backtest (and the report's accessors) or torvex.read_prices
mostly valid, partly mutated pandas input; none may write into what the caller
passed, raise anything but a TypeError or ValueError of torvex's own, or warn with
anything but a UserWarning.  A failure names the case: replay it with
``python fuzz/frontend.py --replay SEED:CASE``.
"""

import importlib.util
import pathlib

import numpy as np
import pandas as pd
import pytest

FUZZER = pathlib.Path(__file__).resolve().parents[2] / "fuzz" / "frontend.py"
SEED = 20240607
CASES = 300


def _load_fuzzer():
    found = importlib.util.spec_from_file_location("torvex_frontend_fuzzer", FUZZER)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def fuzzer():
    return _load_fuzzer()


@pytest.fixture(scope="module")
def results(fuzzer):
    """The cases 0 .. CASES - 1 of SEED, without figures, pages or saved reports."""
    return [fuzzer.run_case(SEED, i, heavy=False) for i in range(CASES)]


@pytest.fixture(scope="module")
def findings(results):
    return [f for res in results for f in res["findings"]]


def _shown(findings):
    return "\n".join(f"{f['replay']} {f['what']} in {f['op']}: {f['detail'][:200]}" for f in findings[:10])


def test_no_case_writes_into_the_callers_inputs(findings):
    written = [f for f in findings if f["what"] == "written_input"]
    assert not written, _shown(written)


def test_no_case_has_a_finding(findings):
    assert not findings, _shown(findings)


def test_the_cases_reach_reports_and_refusals(results):
    # A generator that only made refused inputs (or only valid ones) would test little.
    outcomes = {(res["kind"], res["outcome"]) for res in results}
    assert {
        ("backtest", "report"),
        ("backtest", "refused"),
        ("read_prices", "read"),
        ("read_prices", "refused"),
    } <= outcomes


def test_the_input_check_sees_every_kind_of_write(fuzzer):
    def changes(obj, write):
        frozen = fuzzer._freeze(obj)
        write(obj)
        return fuzzer._changes(frozen, "x")

    def frame():
        f = pd.DataFrame({"A": [1.0, 2.0], "B": [3.0, 4.0]}, index=pd.date_range("2024-01-01", periods=2))
        f.attrs["source"] = "vendor"
        return f

    assert changes(frame(), lambda f: f.iloc.__setitem__((0, 0), 9.0))
    assert changes(frame(), lambda f: setattr(f.index, "name", "date"))
    assert changes(frame(), lambda f: setattr(f, "columns", pd.Index(["A", "B"])))
    assert changes(frame(), lambda f: f.attrs.update(source="other"))
    assert changes(frame(), lambda f: f.insert(2, "C", 0.0))
    assert changes(frame(), lambda f: f._mgr.blocks[0].values.setflags(write=False))  # made read-only
    assert changes(pd.Series([1.0, 2.0], name="s"), lambda s: setattr(s, "name", "t"))
    assert changes({"close": frame()}, lambda m: m["close"].iloc.__setitem__((1, 1), np.nan))
    assert changes({"close": frame()}, lambda m: m.update(open=frame()))
    assert changes([pd.Timestamp("2024-01-01")], lambda xs: xs.append(pd.Timestamp("2024-01-02")))
    assert changes(np.array([0.1, 0.2]), lambda a: a.__setitem__(0, 0.3))
    assert not changes(frame(), lambda f: None)
