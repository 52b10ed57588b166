"""Runs repeated as a sweep repeats them: the trade log of the previous run, the
column map, the stop tables of a number and the trade list must come out as
they would on a first run, whatever the caller changed in between."""

import gc
import weakref

import numpy as np
import pytest

from support.inputs import run_fresh

from torvex.core import excursion, pathsim

NBARS, NCOLS = 60, 4


def inputs(seed=3):
    """Moving prices, a rebalance every 5 bars over two of four stocks."""
    rng = np.random.default_rng(seed)
    close = 10.0 * np.exp(np.cumsum(0.03 * rng.standard_normal((NBARS, NCOLS)), axis=0))
    price = close * (1.0 + 0.002 * rng.standard_normal((NBARS, NCOLS)))
    index = (1_577_836_800 + 86_400 * np.arange(NBARS, dtype=np.int64)) * 10**9
    cols = np.array([f"s{i}" for i in range(NCOLS)], dtype=object)
    reb = np.arange(0, NBARS - 1, 5)
    weights = np.zeros((len(reb), NCOLS))
    for r in range(len(reb)):
        weights[r, rng.choice(NCOLS, 2, replace=False)] = 0.5
    return [price, close, None, None, None, index, cols, weights, index[reb].copy(), cols.copy(), index[reb].copy()]


def run(args, **kw):
    kw.setdefault("stop_loss", 0.05)
    return np.asarray(pathsim.backtest_(*args, **kw)).copy()


def rows_of(args, touched=False):
    rows, _ = pathsim.get_trade_stocks(args[9], args[5], touched)
    return [[(type(v), v) for v in row] for row in rows]


def generic_rows(args, touched=False):
    """The trade list read through a sequence that is not a list."""
    saved = excursion.trades
    excursion.trades = tuple(saved)
    try:
        return rows_of(args, touched)
    finally:
        excursion.trades = saved


def test_previous_records_kept_by_the_caller_are_untouched():
    args = inputs()
    run(args)
    first = list(excursion.trades)
    first_copy = [list(t) for t in first]
    stats = list(excursion.excursion)
    stats_copy = [s.copy() for s in stats]
    run(args, stop_loss=0.02)
    assert len(excursion.trades) > 0
    assert [list(t) for t in first] == first_copy
    assert all(np.array_equal(a, b) for a, b in zip(stats, stats_copy))


def test_a_record_with_a_finalizer_is_freed_when_the_log_is_cleared():
    # Clearing `trades` at the start of the next run frees it, before any
    # trade is logged and before `trade_positions` is cleared in turn.
    seen = []

    class Noisy:
        def __del__(self):
            seen.append((len(excursion.trades), len(excursion.trade_positions)))

    args = inputs()
    run(args)
    excursion.trades[0].append(Noisy())
    n = len(excursion.trade_positions)
    run(args)
    assert seen == [(0, n)]


def test_a_statistics_array_with_a_weak_reference_dies_at_the_next_run():
    args = inputs()
    run(args)
    ref = weakref.ref(excursion.excursion[0])
    gc.collect()
    assert ref() is not None
    run(args)
    assert ref() is None


def test_a_list_subclass_is_cleared_through_its_own_clear():
    calls = []

    class Log(list):
        def clear(self):
            calls.append(len(self))
            super().clear()

    args = inputs()
    saved = excursion.trade_positions
    excursion.trade_positions = Log()
    try:
        run(args)
        n = len(excursion.trade_positions)
        run(args)
        assert calls == [0, n]
    finally:
        excursion.trade_positions = saved


@pytest.mark.parametrize("touched", [False, True])
def test_trade_list_matches_the_generic_reading(touched):
    args = inputs()
    args[2:5] = [args[0] * 1.02, args[0] * 0.98, args[0]]  # high, low, open
    run(args, touched_exit=touched)
    assert rows_of(args, touched) == generic_rows(args, touched)


def test_trade_list_follows_records_changed_by_the_caller():
    args = inputs()
    run(args)
    n = len(excursion.trades)
    excursion.trades[0][1] = int(excursion.trades[0][1])  # a Python int entry bar
    excursion.trades[1] = tuple(excursion.trades[1])
    excursion.trades[2][2] = np.int32(excursion.trades[2][2])
    excursion.trade_positions[3] = "three"
    rows = rows_of(args)
    assert len(rows) == n
    assert rows == generic_rows(args)
    assert rows[0][7] == (int, int(excursion.trades[0][1]))
    assert rows[3][5] == (str, "three")


def test_trade_list_of_a_shortened_position_list_raises():
    args = inputs()
    run(args)
    del excursion.trade_positions[-1]
    with pytest.raises(IndexError):
        pathsim.get_trade_stocks(args[9], args[5], False)


def test_column_map_follows_labels_changed_in_place():
    args = inputs()
    base = run(args)
    # Swapping two position labels in the same array swaps the stocks the
    # weights are priced from: the run equals one on fresh arrays.
    args[9][0], args[9][1] = args[9][1], args[9][0]
    swapped = run(args)
    fresh = list(args)
    fresh[9] = np.array(list(args[9]), dtype=object)
    assert np.array_equal(swapped, run(fresh), equal_nan=True)
    assert not np.array_equal(swapped, base)


def test_column_map_of_str_subclass_labels_encodes_on_every_run():
    class Label(str):
        calls = 0

        def encode(self, *a):
            Label.calls += 1
            return str.encode(self, *a)

    args = inputs()
    args[9] = np.array([Label(x) for x in args[9]], dtype=object)
    run(args)
    run(args)
    assert Label.calls == 2 * NCOLS


STOP_PATCH = """
import numpy as np
import torvex._stops as stops
from torvex.core import pathsim
from test_repeated_runs import inputs, run

args = inputs()
before = run(args, stop_loss=0.05)
{patch}
try:
    after = run(args, stop_loss=0.05)
    print("same" if np.array_equal(before, after) else "different", calls)
except Exception as e:
    print(type(e).__name__, calls)
"""


@pytest.mark.parametrize(
    "patch, expected",
    [
        # The builder replaced in the engine's namespace is called.
        (
            "calls = []\norig = pathsim.stop_table\npathsim.stop_table = lambda *a: calls.append(1) or orig(*a)",
            "same [1, 1]",
        ),
        # A helper the builder uses, replaced in its module, takes effect.
        ("calls = []\norig = stops._is_real\nstops._is_real = lambda x: calls.append(1) or orig(x)", "same [1, 1]"),
        # A NumPy function the builder calls, replaced, takes effect.
        (
            "calls = []\ndef full(*a, **k):\n    calls.append(1)\n    raise RuntimeError('no')\nnp.full = full",
            "RuntimeError [1]",
        ),
        # The table class changed: its new builder runs.
        (
            "calls = []\norig = stops.StopTable._own.__func__\n"
            "stops.StopTable._own = classmethod(lambda c, v, r: calls.append(1) or orig(c, v * 0 + 0.5, r))",
            "different [1, 1]",
        ),
        # The builder's code swapped in place.
        (
            "calls = []\ndef other(threshold, price_index, pos_columns):\n    calls.append(1)\n"
            "    raise KeyError('x')\nstops.stop_table.__code__ = other.__code__\n"
            "stops.stop_table.__globals__['calls'] = calls",
            "KeyError [1]",
        ),
    ],
)
def test_stop_table_of_a_number_follows_changes_to_its_builder(patch, expected):
    here = "import os, sys; sys.path.insert(0, os.path.join(os.environ['PYTHONPATH'], 'core'))\n"
    out = run_fresh(here + STOP_PATCH.format(patch=patch))
    assert out.strip() == expected
