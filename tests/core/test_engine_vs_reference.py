"""Randomised full runs of backtest_ checked bit for bit against reference_model.

Each case draws a market (random walks with gaps), a table of target weights
dated on and between bars, rebalance marks and trading settings from a seeded
generator, runs the engine and the plain-Python model, and requires identical
results: the creturn series, the trade log with its excursion statistics, the
trade list and the stock-operations record.
"""

import warnings

import numpy as np
import pytest

from support.scenarios import assert_same_run, outcome, run_engine, run_reference, scenario

SEEDS = [11, 23, 37, 41]


@pytest.mark.parametrize("seed", SEEDS)
@pytest.mark.parametrize("retain", [False, True])
@pytest.mark.parametrize("periodic", [False, True])
def test_plain_rebalancing(seed, retain, periodic):
    args = scenario(seed, retain_cost_when_rebalance=retain, periodically_rebalance=periodic)
    creturn, trades, *_ = assert_same_run(args)
    assert trades  # the scenario does trade


@pytest.mark.parametrize("seed", SEEDS)
def test_shorts_position_limit_and_fees(seed):
    args = scenario(seed, shorts=True, gross=1.6, position_limit=0.3, fee_ratio=0.002, tax_ratio=0.004, resample="all")
    assert_same_run(args)


@pytest.mark.parametrize("seed", [5, 6])
@pytest.mark.parametrize("layout", ["C", "F", "strided"])
def test_many_columns_pairwise_gross_weight(seed, layout):
    # Over 128 weighted columns with weights summing above 1: the gross weight
    # is NumPy's pairwise sum, which differs from a left-to-right sum. Rows
    # read in place (contiguous) and through strides give the same sums.
    args = scenario(seed, nbars=25, ncols=150, nrows=4, shorts=True, gross=1.7, resample="all")
    pv = args["pos_values"]
    if layout == "F":
        args["pos_values"] = np.asfortranarray(pv)
    elif layout == "strided":
        wide = np.zeros((pv.shape[0], 2 * pv.shape[1]))
        wide[:, ::2] = pv
        args["pos_values"] = wide[:, ::2]
    row = args["pos_values"][0]
    assert np.sum(np.abs(row)) > 1
    assert_same_run(args)


@pytest.mark.parametrize("seed", SEEDS)
@pytest.mark.parametrize("window,step", [(0, 1), (5, 2), (12, 5), (60, 7)])
def test_excursion_windows(seed, window, step):
    args = scenario(
        seed,
        shorts=True,
        excursion_window=window,
        excursion_window_step=step,
        stop_loss=0.08,
        take_profit=0.12,
        periodically_rebalance=bool(seed % 2),
    )
    assert_same_run(args)


@pytest.mark.parametrize("seed", SEEDS)
@pytest.mark.parametrize("stop_next", [False, True])
def test_close_exit_stops(seed, stop_next):
    args = scenario(
        seed,
        nbars=60,
        shorts=True,
        gross=1.2,
        stop_loss=0.06,
        take_profit=0.1,
        trail_stop=0.04,
        trail_stop_activation=0.03,
        stop_trading_next_period=stop_next,
        retain_cost_when_rebalance=bool(seed % 2),
        excursion_window=4,
        excursion_window_step=2,
    )
    creturn, trades, *_ = assert_same_run(args)
    # Some trades end away from a rebalance bar: the stops did fire.
    assert len(trades) > 8


@pytest.mark.parametrize("seed", SEEDS)
@pytest.mark.parametrize("stop_next", [False, True])
def test_touched_exit_stops(seed, stop_next):
    args = scenario(
        seed,
        nbars=60,
        shorts=True,
        touched=True,
        stop_loss=0.05,
        take_profit=0.08,
        trail_stop=0.05,
        trail_stop_activation=0.02,
        stop_trading_next_period=stop_next,
        periodically_rebalance=bool(seed % 2),
        excursion_window=6,
        excursion_window_step=3,
    )
    assert_same_run(args)


@pytest.mark.parametrize("seed", SEEDS)
def test_per_stock_thresholds(seed):
    rng = np.random.default_rng(seed + 100)
    args = scenario(seed, nbars=50, shorts=True)
    npos = args["pos_columns"].size
    nbars = args["price_index"].size
    args["stop_loss"] = rng.uniform(-0.15, 0.15, npos)  # the sign is ignored
    args["take_profit"] = np.where(rng.random((nbars, npos)) < 0.5, 0.07, 0.2)
    assert_same_run(args)


@pytest.mark.parametrize("seed", SEEDS)
@pytest.mark.parametrize("touched", [False, True])
def test_delisting(seed, touched):
    rng = np.random.default_rng(seed + 200)
    args = scenario(seed, nbars=45, touched=touched, stop_loss=0.07, resample="all")
    npos = args["pos_columns"].size
    bars = rng.integers(0, 45, npos).astype(np.int64)
    bars[rng.random(npos) < 0.3] = -1
    args["delisting_bars"] = bars
    assert_same_run(args)


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("extreme", ["huge", "tiny", "nan", "inf"])
def test_stock_operations_weights_at_the_edges_of_float_arithmetic(seed, extreme):
    # The record's weights are sums and quotients of float64 scalars: huge
    # weights overflow the gross, tiny ones underflow when scaled, and NaN or
    # inf reach the record; the numbers and NumPy's warnings are the host's.
    args = scenario(seed, nbars=30, nrows=5, extra_columns=False)
    w = args["pos_values"]
    row = w[-1]
    nonzero = np.flatnonzero(row)
    row[nonzero[:2]] = {"huge": 1e308, "tiny": 1e-310, "nan": np.nan, "inf": np.inf}[extreme]
    if extreme == "tiny":
        row[nonzero[-1]] = 3.0
    with np.errstate(all="ignore"):
        assert_same_run(args)
    messages = []
    for run in (run_engine, run_reference):
        with warnings.catch_warnings(record=True) as seen, np.errstate(all="warn"):
            warnings.simplefilter("always")
            outcome(run, args)
        messages.append([str(x.message) for x in seen if x.category is RuntimeWarning])
    assert messages[0] == messages[1]
