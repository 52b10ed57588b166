"""The bar loop reads price cells unchecked when every priced column lies inside
every table it reads, and with a check per read otherwise. Both ways must give
the same run to the last bit.

A weightless position column (never held) whose price column lies past the
last column of every table switches the whole run to checked reads without
changing anything else.
"""

import numpy as np
import pytest

from support.scenarios import run_engine, scenario


def with_unreachable_column(args):
    """The same run, with the weightless position column "no_price" given a price
    column that has no cells in any price table."""
    out = dict(args)
    out["price_columns"] = np.append(args["price_columns"], np.array(["no_price"], dtype=object))
    return out


CASES = [
    dict(),
    dict(stop_loss=0.05, take_profit=0.08, stop_trading_next_period=False),
    dict(stop_loss=0.05, trail_stop=0.03, trail_stop_activation=0.02, retain_cost_when_rebalance=True),
    dict(touched=True, stop_loss=0.04, take_profit=0.06),
    dict(touched=True, stop_loss=0.06, trail_stop=0.02, shorts=True, excursion_window=5),
    dict(shorts=True, stop_loss=0.05, periodically_rebalance=False, delisting_bars=None),
]


@pytest.mark.parametrize("seed", [3, 17, 29])
@pytest.mark.parametrize("case", range(len(CASES)))
def test_checked_reads_give_the_same_run(seed, case):
    args = scenario(seed, nbars=60, ncols=6, nrows=10, **CASES[case])
    fast = run_engine(args)
    checked = run_engine(with_unreachable_column(args))

    assert np.array_equal(fast[0], checked[0], equal_nan=True)
    assert fast[1] == checked[1]
    assert fast[2] == checked[2]
    assert len(fast[3]) == len(checked[3])
    assert all(np.array_equal(a, b, equal_nan=True) for a, b in zip(fast[3], checked[3]))
    assert fast[4] == checked[4]


def test_a_held_stock_past_the_close_table_fails_on_its_first_bar():
    # close has one row fewer than price: the last bar cannot be valued.
    args = scenario(5, nbars=20, ncols=3, nrows=4, resample="all", extra_columns=False)
    args["pos_values"] = np.full_like(args["pos_values"], 0.2)
    args["close_values"] = args["close_values"][:-1]
    with pytest.raises(IndexError, match=r"Out of bounds on buffer access \(axis 0\)"):
        run_engine(args)
