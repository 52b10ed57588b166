"""What a Python caller sees of pathsim and excursion right after import."""

import ast
import inspect
import math
import os
import subprocess
import sys
import tempfile

import pytest

from torvex.core import pathsim

from support.capi import CAPI
from support.inputs import make_inputs, run_fresh


def test_pathsim_namespace_in_a_fresh_interpreter():
    out = run_fresh("""
        import datetime, sys, numpy
        import torvex._stops as stops
        import torvex.core.pathsim as p
        print([n for n in vars(p) if not n.startswith('__')])
        print([
            p.org_np is numpy,
            p.excursion is sys.modules['torvex.core.excursion'],
            p.StopTable is stops.StopTable,
            p.stop_table is stops.stop_table,
            p.datetime is datetime,
            p.RETAIN_COST_WHEN_REBALANCE is False,
            p.RESAMPLE is None,
            hasattr(p, 'stock_operations'),
        ])
        a, b = p.get_stock_operations(), p.get_stock_operations()
        a['x'] = 1
        print(b, a is b, p.get_stock_operations())
    """)
    names, checks, ops = out.splitlines()
    assert ast.literal_eval(names) == [
        "org_np",
        "excursion",
        "StopTable",
        "stop_table",
        "datetime",
        "RETAIN_COST_WHEN_REBALANCE",
        "RESAMPLE",
        "get_stock_operations",
        "normalize_weight",
        "ioft",
        "backtest_",
        "get_trade_stocks",
    ]
    assert ast.literal_eval(checks) == [True] * 7 + [False]
    # Before any run the record is empty, and each call hands out its own dict.
    assert ops == "{} False {}"


def test_excursion_state_in_a_fresh_interpreter():
    out = run_fresh("""
        import ctypes, numpy
        import torvex.core.excursion as x
        name = ctypes.pythonapi.PyCapsule_GetName
        name.restype, name.argtypes = ctypes.c_char_p, [ctypes.py_object]
        print(x.org_np is numpy)
        print([type(getattr(x, n)).__name__ + repr(getattr(x, n)) for n in ('trades', 'trade_positions', 'excursion')])
        print({k: name(c).decode() for k, c in x.__pyx_capi__.items()})
        print(list(x.__pyx_capi__))
        print([n for n, v in vars(x).items() if callable(v) and not n.startswith('__')])
    """)
    is_np, lists, capi, order, funcs = out.splitlines()
    assert is_np == "True"
    assert ast.literal_eval(lists) == ["list[]"] * 3
    # The capsule names are the signature texts, character for character.
    assert ast.literal_eval(capi) == CAPI
    assert ast.literal_eval(order) == list(CAPI)
    # The module has no Python-callable functions of its own.
    assert ast.literal_eval(funcs) == []


def test_backtest_signature():
    params = list(inspect.signature(pathsim.backtest_).parameters.values())
    assert [p.name for p in params] == [
        "price_values",
        "close_values",
        "high_values",
        "low_values",
        "open_values",
        "price_index",
        "price_columns",
        "pos_values",
        "pos_index",
        "pos_columns",
        "resample",
        "fee_ratio",
        "tax_ratio",
        "stop_loss",
        "take_profit",
        "trail_stop",
        "trail_stop_activation",
        "touched_exit",
        "position_limit",
        "retain_cost_when_rebalance",
        "stop_trading_next_period",
        "excursion_window",
        "excursion_window_step",
        "periodically_rebalance",
        "delisting_bars",
    ]
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params)
    assert all(p.default is p.empty for p in params[:11])
    defaults = [p.default for p in params[11:]]
    assert defaults == [0.001425, 0.003, 1.0, math.inf, math.inf, 0.0, False, 1.0, False, True, 0, 1, True, None]
    assert [type(d) for d in defaults] == [float] * 6 + [bool, float, bool, bool, int, int, bool, type(None)]


@pytest.mark.parametrize("retain, periodic", [(True, False), (False, True)])
def test_run_publishes_its_settings(retain, periodic):
    pathsim.backtest_(**make_inputs(), retain_cost_when_rebalance=retain, periodically_rebalance=periodic)
    assert pathsim.RETAIN_COST_WHEN_REBALANCE is retain
    assert pathsim.RESAMPLE is periodic


def test_settings_are_stored_as_bools():
    # Truth values, not the objects given.
    pathsim.backtest_(**make_inputs(), retain_cost_when_rebalance=[1], periodically_rebalance=0)
    assert pathsim.RETAIN_COST_WHEN_REBALANCE is True and pathsim.RESAMPLE is False
    pathsim.backtest_(**make_inputs(), retain_cost_when_rebalance=None, periodically_rebalance="y")
    assert pathsim.RETAIN_COST_WHEN_REBALANCE is False and pathsim.RESAMPLE is True


def test_phase_times_of_the_last_run_for_benchmarks():
    # Not part of the Python namespace: the shared object exports a C function
    # giving the set-up, bar loop and end-of-run times of the last run.
    import ctypes
    import time

    fn = ctypes.CDLL(pathsim.__file__).torvex_pathsim_last_run_phases
    fn.restype = None
    out = (ctypes.c_int64 * 3)()
    t = time.perf_counter_ns()
    pathsim.backtest_(**make_inputs(nbars=50))
    wall = time.perf_counter_ns() - t
    fn(out)
    assert all(x >= 0 for x in out) and out[1] > 0
    assert sum(out) <= wall
    assert "torvex_pathsim_last_run_phases" not in vars(pathsim)


def test_runs_without_dict_watchers_left():
    # Every dict-watcher slot of the interpreter taken before import: both
    # modules then look their settings and record lists up at every use, with
    # the same results.
    out = run_fresh("""
        import ctypes
        CB = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object,
                              ctypes.py_object, ctypes.py_object)
        keep = CB(lambda *a: 0)
        add = ctypes.pythonapi.PyDict_AddWatcher
        add.restype, add.argtypes = ctypes.c_int, [CB]
        taken = 0
        try:
            while add(keep) >= 0:
                taken += 1
        except RuntimeError:  # "no more dict watcher IDs available"
            pass
        import numpy as np
        from support.inputs import make_inputs
        from support.reference_model import reference_backtest, run_inputs
        from torvex.core import excursion, pathsim
        rows = [(b, [0.3 + 0.01 * b, 0.3, 0.3 - 0.01 * b]) for b in range(5)]
        args = run_inputs([[10, 11, 12], [11, 10, 12], [12, 12, 11]] * 2, rows,
                          periodically_rebalance=True)
        c = pathsim.backtest_(**args)
        ref = reference_backtest(**args)
        same = np.array_equal(c, ref[0]) and [[int(x) for x in t] for t in excursion.trades] == [
            [int(x) for x in t] for t in ref[1]]
        excursion.trades = []
        pathsim.backtest_(**args)
        print(taken > 0, same, len(excursion.trades) == len(ref[1]))
    """)
    assert out.split() == ["True", "True", "True"]


@pytest.mark.parametrize("name", ["torvex.core.pathsim", "torvex.core.excursion"])
def test_second_initialisation_refused(name):
    # A second module object would not be the one the engine updates (a run's
    # RETAIN_COST_WHEN_REBALANCE would stay False on it): the import says so.
    out = run_fresh(f"""
        import sys
        import torvex.core.pathsim as first
        del sys.modules[{name!r}]
        try:
            __import__({name!r})
        except ImportError as e:
            print(e)
        print(first.RETAIN_COST_WHEN_REBALANCE)
    """)
    message, retain = out.splitlines()
    assert message == (
        f"{name} is already initialised in this process and cannot be initialised "
        "again (it was removed from sys.modules); use the module imported first"
    )
    assert retain == "False"


def test_source_tree_without_a_build_says_to_build():
    # -S: no site-packages, so neither an installed nor an editable build is found.
    src = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "src")
    proc = subprocess.run(
        [sys.executable, "-S", "-c", "import torvex.core.pathsim"],
        env=dict(os.environ, PYTHONPATH=os.path.abspath(src)),
        cwd=tempfile.gettempdir(),
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert proc.returncode != 0
    assert proc.stderr.strip().splitlines()[-1] == (
        "ImportError: torvex.core: the compiled module(s) excursion, pathsim are not built. "
        "Build and install the package first (`pip install .` or `make install` from the "
        "repository root)."
    )


def test_package_holds_no_cpp_sources():
    import torvex

    root = os.path.dirname(torvex.__file__)
    sources = [
        os.path.join(d, f) for d, _, files in os.walk(root) for f in files if f.endswith((".cpp", ".hpp", ".h", ".cc"))
    ]
    assert sources == []
