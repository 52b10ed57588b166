"""Inputs that Python code changes while a run reads them, and positions in
columns without a price: a clear exception or the run's defined result, never a
crash, a wrong read or a trade for an unpriced column.

Each case runs in a child interpreter (see conftest.run_child)."""

import pytest

from hardening._hardening_helpers import run_child

# 20 bars of one stock at 1.0 / 1.2 alternately, a weight row per bar
# alternating 0.5 / 1.0, every bar marked: a rebalance on every bar from bar 1,
# each of which asks `stop_trading_next_period` for its truth.
ROWS_SCENARIO = """
n = 20
rows = np.zeros(n, np.intp)
class Sub(StopTable):
    __slots__ = ()
    @property
    def rows(self):
        return rows
idx = np.arange(n, dtype=np.int64) * DAY
price = np.where(np.arange(n) % 2 == 0, 1.0, 1.2).reshape(n, 1)
weights = np.where(np.arange(n) % 2 == 0, 0.5, 1.0).reshape(n, 1)
cols = np.array(["a"], dtype=object)
def run(table, flag):
    return pathsim.backtest_(price, price.copy(), None, None, None, idx, cols, weights,
                             idx.copy(), cols.copy(), idx.copy(), stop_loss=table,
                             stop_trading_next_period=flag)
"""


def test_stop_rows_rewritten_out_of_range_by_a_callback():
    # The truth test of the first rebalance (bar 1) points every bar at row
    # 2**40 of a one-row table; bar 2 reads it.
    out = run_child(
        ROWS_SCENARIO
        + """
class Flag:
    def __bool__(self):
        rows[:] = 1 << 40
        return True
table = Sub(np.full((1, 1), 0.5), np.zeros(n, np.intp))
print(json.dumps(outcome(lambda: run(table, Flag()))))
"""
    )
    assert out == {"error": "IndexError", "message": "Out of bounds on buffer access (axis 0)"}


def test_stop_rows_rewritten_in_range_are_read_live():
    # Rows 1 (a 1% stop) from bar 2 on, set by the callback at bar 1's
    # rebalance, give the run of a table that had those rows from the start.
    out = run_child(
        ROWS_SCENARIO
        + """
class Flag:
    def __bool__(self):
        rows[2:] = 1
        return True
values = np.array([[0.5], [0.01]])
live = outcome(lambda: run(Sub(values, np.zeros(n, np.intp)), Flag()))
rows = np.r_[0, 0, np.ones(n - 2, np.intp)]
static = outcome(lambda: run(StopTable(values, rows), True))
print(json.dumps([live, static]))
"""
    )
    live, static = out
    assert "error" not in live
    assert live == static
    assert len(live["trades"]) > 10  # the tight stop closes positions


UNPRICED_WEIGHT = """
order = {order!r}
n = 6
idx = np.arange(n, dtype=np.int64) * DAY
price = np.array(np.arange(1, n + 1, dtype=float).reshape(n, 1) * [1.0, 2.0], order=order)
w = np.zeros((n, 2)); w[:, 0] = 0.5
class Flag:
    def __bool__(self):
        w[:, 1] = 0.5   # "zz" has no price column
        return True
def run():
    return pathsim.backtest_(price, price.copy(order=order), None, None, None, idx,
                             np.array(["a", "b"], dtype=object), w, idx.copy(),
                             np.array(["a", "zz"], dtype=object), idx.copy(),
                             fee_ratio=0.0, tax_ratio=0.0, stop_trading_next_period=Flag())
print(json.dumps(outcome(run)))
"""


@pytest.mark.parametrize("order", ["C", "F"])
def test_weight_written_into_an_unpriced_column_by_a_callback(order):
    # Fortran order used to read before the price table, C order the previous
    # row's last cell, logging trades of "zz".
    out = run_child(UNPRICED_WEIGHT.format(order=order))
    assert out["error"] == "ValueError"
    assert out["message"].startswith("No price column") and "zz" in out["message"]


def test_weight_written_into_an_unpriced_column_while_stops_are_built():
    # The stop-loss builder converts the argument through __array__, after the
    # set-up check of the weights has passed.
    out = run_child("""
n = 6
idx = np.arange(n, dtype=np.int64) * DAY
price = np.ones((n, 1))
w = np.zeros((n, 2)); w[:, 0] = 0.5
class Threshold:
    def __array__(self, dtype=None, copy=None):
        w[:, 1] = 0.25
        return np.array(0.1)
def run():
    return pathsim.backtest_(price, price.copy(), None, None, None, idx,
                             np.array(["a"], dtype=object), w, idx.copy(),
                             np.array(["a", "zz"], dtype=object), idx.copy(),
                             stop_loss=Threshold())
print(json.dumps(outcome(run)))
""")
    assert out["error"] == "ValueError"
    assert out["message"].startswith("No price column") and "zz" in out["message"]


OVERFLOW = """
order = {order!r}
cols = {cols!r}
n = 4
idx = np.arange(n, dtype=np.int64) * DAY
price = np.array([[1e-300, 1e-300]] * 2 + [[1e300, 1e300]] * 2, order=order)
w = np.array([[0.5, 0.5, 0.0]] * 2)[:, {perm!r}]
def run(pos_cols, weights):
    return pathsim.backtest_(price, price.copy(order=order), None, None, None, idx,
                             np.array(["a", "b"], dtype=object), weights, idx[:2].copy(),
                             np.array(pos_cols, dtype=object), idx.copy(),
                             fee_ratio=0.0, tax_ratio=0.0)
with_unpriced = outcome(lambda: run(cols, w))
ops = pathsim.get_stock_operations()
priced = [i for i, c in enumerate(cols) if c != "zz"]
without = outcome(lambda: run([cols[i] for i in priced], np.ascontiguousarray(w[:, priced])))
print(json.dumps([with_unpriced, without, priced]))
"""


@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize(
    "cols, perm",
    [
        (["a", "b", "zz"], [0, 1, 2]),
        (["zz", "a", "b"], [2, 0, 1]),  # the unpriced column first
    ],
)
def test_nan_target_of_an_unpriced_column(order, cols, perm):
    # 1e-300 -> 1e300 overflows the held values: balance and the rebalance
    # ratio are infinite and the zero weight of "zz" times infinity is NaN.
    # A column without a price never enters the positions, so the run is the
    # run without that column (its weights are all zero).
    with_unpriced, without, priced = run_child(OVERFLOW.format(order=order, cols=cols, perm=perm))
    assert "error" not in with_unpriced
    remap = {i: k for k, i in enumerate(priced)}
    assert all(t[0] in remap for t in with_unpriced["trades"])  # no trade of "zz"
    assert [[remap[t[0]]] + t[1:] for t in with_unpriced["trades"]] == without["trades"]
    assert with_unpriced["creturn"] == pytest.approx(without["creturn"], nan_ok=True)


def test_unpriced_column_on_the_checked_path():
    # Bar 4 has no close row, so bars are read with a test per cell. "zz"
    # (first) used to wrap to the last price column, whose 0.0 on bar 4 was
    # then reported as an invalid price of "zz". It is never held now: the
    # positions of "a" and "b" (NaN after the overflow) are closed on bar 3 by
    # their resize and the run ends without reading bar 4's cells.
    out = run_child("""
n = 5
idx = np.arange(n, dtype=np.int64) * DAY
price = np.array([[1e-300, 1e-300]] * 2 + [[1e300, 1e300]] * 2 + [[1e300, 0.0]])
w = np.array([[0.0, 0.5, 0.5]] * 2)
def run():
    return pathsim.backtest_(price, price[:4].copy(), None, None, None, idx,
                             np.array(["a", "b"], dtype=object), w, idx[:2].copy(),
                             np.array(["zz", "a", "b"], dtype=object), idx.copy(),
                             fee_ratio=0.0, tax_ratio=0.0)
print(json.dumps(outcome(run)))
""")
    assert "error" not in out
    assert out["trades"] and all(t[0] != 0 for t in out["trades"])


@pytest.mark.parametrize("target", ["price", "weights"])
def test_input_resized_by_a_callback(target):
    # resize(refcheck=False) moves an array's memory even while the run holds
    # its buffer: the run must notice instead of reading the freed block.
    out = run_child(
        """
n = 8
idx = np.arange(n, dtype=np.int64) * DAY
price = np.linspace(1.0, 2.0, n).reshape(n, 1).copy()  # owns its memory
w = np.full((n, 1), 0.5)
arrays = {"price": price, "weights": w}
class Flag:
    def __bool__(self):
        arrays[%r].resize((4096, 64), refcheck=False)
        return True
def run():
    return pathsim.backtest_(price, price.copy(), None, None, None, idx,
                             np.array(["a"], dtype=object), w, idx.copy(),
                             np.array(["a"], dtype=object), idx.copy(),
                             stop_trading_next_period=Flag())
print(json.dumps(outcome(run)))
"""
        % target
    )
    assert out["error"] == "ValueError"
    assert "resized" in out["message"]


def test_trade_list_read_while_a_record_resizes_the_labels():
    # A record of the trade log that is no list of ints: reading its stock id
    # runs __index__, which moves the labels' memory.
    out = run_child("""
cols = np.array(["a", "b"], dtype=object)
class Sid:
    def __index__(self):
        cols.resize(4096, refcheck=False)
        return 0
excursion.trades = [(Sid(), 1, -1)]
excursion.trade_positions = [0.5]
try:
    pathsim.get_trade_stocks(cols, np.arange(3, dtype=np.int64), False)
    result = {"error": None}
except Exception as e:
    result = {"error": type(e).__name__, "message": str(e)}
print(json.dumps(result))
""")
    assert out == {"error": "ValueError", "message": "Argument 'pos_columns' was resized during the run"}


@pytest.mark.parametrize("hook", ["encode", "__str__"])
def test_weights_resized_by_a_label_during_set_up(hook):
    # The set-up reads the weight table after the labels' own code ran: the
    # mapping calls each label's encode, and a weighted column without a price
    # is named through its __str__. Either may move the weights' memory.
    out = run_child(
        """
n = 6
idx = np.arange(n, dtype=np.int64) * DAY
price = np.linspace(1.0, 2.0, n).reshape(n, 1).copy()
w = np.full((n, 2), 0.5)
hook = %r
class Label(str):
    def encode(self, *args):
        if hook == "encode":
            w.resize((4096, 64), refcheck=False)
        return str.encode(self, *args)
    def __str__(self):
        if hook == "__str__":
            w.resize((4096, 64), refcheck=False)
        return str.__str__(self)
def run():
    return pathsim.backtest_(price, price.copy(), None, None, None, idx,
                             np.array(["a"], dtype=object), w, idx.copy(),
                             np.array([Label("a"), Label("zz")], dtype=object), idx.copy())
print(json.dumps(outcome(run)))
"""
        % hook
    )
    assert out == {"error": "ValueError", "message": "Argument 'pos_values' was resized during the run"}
