"""Two results a changed implementation detail can shift by one bit or one
stock: the gross weight of rows wider than one summation block, and the
pending weights after the last bar when a stopped-out stock meets a due
rebalance."""

import numpy as np
import pytest

from torvex.core import excursion, pathsim

from support.reference_model import reference_backtest, run_inputs

DAY = 86_400 * 10**9


@pytest.mark.parametrize("n", [129, 130, 136, 200, 255, 257, 300, 1037])
@pytest.mark.parametrize("layout", ["C", "F", "strided"])
def test_gross_weight_of_wide_rows_is_numpys_sum(n, layout):
    # The first rebalance has balance 1.0, so each stock is entered at
    # weight * (1.0 / S) of equity, S = numpy.sum(numpy.abs(row)) > 1. Summed in
    # another order (a split of the pairwise sum that is not a multiple of 8),
    # S and so most positions differ in their last bits.
    rng = np.random.default_rng(n)
    row = rng.uniform(-1.0, 1.0, n)
    weights = np.vstack([row, row])
    if layout == "F":
        weights = np.asfortranarray(weights)
    elif layout == "strided":
        big = np.zeros((2, 2 * n))
        big[:, ::2] = weights
        weights = big[:, ::2]
    idx = np.arange(3, dtype=np.int64) * DAY
    cols = np.array([f"s{i}" for i in range(n)], dtype=object)
    price = np.ones((3, n))
    pathsim.backtest_(
        price,
        price,
        None,
        None,
        None,
        idx,
        cols,
        weights,
        idx[:2].copy(),
        cols,
        idx[:1].copy(),
        fee_ratio=0.0,
        tax_ratio=0.0,
    )
    gross = np.sum(np.abs(row))
    assert gross > 1.0
    expected = row * (1.0 / gross)
    entered = {int(t[0]): float(p) for t, p in zip(excursion.trades, excursion.trade_positions)}
    assert len(entered) == n
    assert [entered[i] for i in range(n)] == expected.tolist()


def pending_weights(resample):
    # Two stocks at weight 0.8 each (gross 1.6) from bar 1. Stock A falls to
    # half its price at bar 2's close: below its 10% stop, it is sold on bar 3.
    # A new row dated bar 3 is still pending after the last bar.
    args = run_inputs(
        [[10, 10], [10, 10], [5, 10], [5, 10], [5, 10], [5, 10]],
        [(0, [0.8, 0.8]), (3, [0.8, 0.8])],
        resample=resample,
        stop_loss=0.1,
    )
    pathsim.backtest_(**args)
    ops = pathsim.get_stock_operations()
    assert ops == reference_backtest(**args)[4]
    return ops


def test_stopped_out_stock_left_out_of_the_pending_sum_when_a_rebalance_is_due():
    # The last bar is marked, so the pending row is due: A stays out of it and
    # out of the sum, which is 0.8; B keeps 0.8 / max(1, 0.8) = 0.8.
    ops = pending_weights(resample=[0, 5])
    assert ops["next_weights"] == {1: 0.8}
    assert ops["actions"] == {0: "sl_", 1: "hold"}


def test_stopped_out_stock_counted_in_the_pending_sum_when_no_rebalance_is_due():
    # No mark after bar 0: nothing is due, A's 0.8 counts and B gets 0.8 / 1.6.
    ops = pending_weights(resample=[0])
    assert ops["next_weights"] == {1: 0.5}
    assert ops["actions"] == {0: "sl_"}
