"""Randomised full runs of backtest_ checked bit for bit against reference_model.

Each case draws a market (random walks with gaps), a table of target weights
dated on and between bars, rebalance marks and trading settings from a seeded
generator, runs the engine and the plain-Python model, and requires identical
results: the creturn series, the trade log with its excursion statistics, the
trade list and the stock-operations record.
"""

import numpy as np
import pytest

from torvex.core import excursion, pathsim

from reference_model import reference_backtest

DAY = 86_400 * 10**9
T0 = 1_577_836_800 * 10**9


def market(rng, nbars, ncols, nan_rate=0.04):
    """Trading price, close, high, low and open of `ncols` random walks."""
    start = rng.uniform(5, 50, ncols)
    steps = np.exp(rng.normal(0, 0.035, (nbars, ncols)))
    price = start * np.cumprod(steps, axis=0)
    close = price * np.exp(rng.normal(0, 0.02, (nbars, ncols)))
    open_ = price * np.exp(rng.normal(0, 0.02, (nbars, ncols)))
    top = np.maximum(np.maximum(price, close), open_)
    bottom = np.minimum(np.minimum(price, close), open_)
    high = top * (1 + np.abs(rng.normal(0, 0.03, (nbars, ncols))))
    low = bottom * (1 - np.abs(rng.normal(0, 0.03, (nbars, ncols))))
    for arr in (price, close):
        arr[rng.random((nbars, ncols)) < nan_rate] = np.nan
    # A gap of a few bars in one column.
    if nbars > 10:
        c = rng.integers(ncols)
        b = rng.integers(2, nbars - 6)
        price[b:b + 3, c] = np.nan
        close[b:b + 3, c] = np.nan
    return price, close, high, low, open_


def scenario(seed, nbars=40, ncols=5, nrows=8, shorts=False, gross=1.0,
             extra_columns=True, resample="random", touched=False, **settings):
    rng = np.random.default_rng(seed)
    price, close, high, low, open_ = market(rng, nbars, ncols)
    price_index = T0 + DAY * np.arange(nbars, dtype=np.int64)
    price_columns = np.array([f"p{i}" for i in range(ncols)], dtype=object)

    # Position columns: the price columns in shuffled order, plus (optionally)
    # one label without prices whose weights stay 0.
    order = rng.permutation(ncols)
    names = [f"p{i}" for i in order]
    if extra_columns:
        names.insert(rng.integers(len(names) + 1), "no_price")
    pos_columns = np.array(names, dtype=object)
    npos = len(names)

    weights = rng.random((nrows, npos))
    weights[rng.random((nrows, npos)) < 0.3] = 0.0
    if shorts:
        weights *= np.where(rng.random((nrows, npos)) < 0.4, -1.0, 1.0)
    sums = np.maximum(np.abs(weights).sum(axis=1, keepdims=True), 1e-12)
    weights = weights / sums * gross * rng.uniform(0.6, 1.4, (nrows, 1))
    if extra_columns:
        weights[:, names.index("no_price")] = 0.0
    if nrows > 3:
        weights[rng.integers(1, nrows)] = 0.0  # a row that sells everything

    # Row dates: on bars and between bars, some before the first bar.
    offsets = rng.choice(np.arange(-2, nbars), size=nrows, replace=False)
    offsets.sort()
    pos_index = T0 + DAY * offsets.astype(np.int64)
    pos_index += np.where(rng.random(nrows) < 0.5, DAY // 2, 0).astype(np.int64)

    if resample == "all":
        marks = price_index.copy()
    else:
        picks = np.sort(rng.choice(nbars, size=max(nbars // 3, 1), replace=False))
        marks = T0 + DAY * picks.astype(np.int64)
        marks += np.where(rng.random(picks.size) < 0.3, DAY // 3, 0).astype(np.int64)

    if touched:
        for arr in (high, low, open_):
            arr[rng.random(arr.shape) < 0.03] = np.nan
    args = dict(
        price_values=price, close_values=close,
        high_values=high if touched else None,
        low_values=low if touched else None,
        open_values=open_ if touched else None,
        price_index=price_index, price_columns=price_columns,
        pos_values=weights, pos_index=pos_index, pos_columns=pos_columns,
        resample=marks, touched_exit=touched,
        fee_ratio=float(rng.choice([0.0, 0.001425, 0.003])),
        tax_ratio=float(rng.choice([0.0, 0.003])),
    )
    args.update(settings)
    return args


def outcome(fn, args):
    try:
        return fn(args), None
    except Exception as exc:  # the two sides must fail alike
        return None, (type(exc), str(exc))


def run_engine(args):
    creturn = pathsim.backtest_(**args)
    trades = [[int(x) for x in t] for t in excursion.trades]
    positions = [float(x) for x in excursion.trade_positions]
    stats = [np.array(x) for x in excursion.excursion]
    return creturn, trades, positions, stats, pathsim.get_stock_operations()


def run_reference(args):
    creturn, trades, positions, stats, ops = reference_backtest(**args)
    return creturn, [[int(x) for x in t] for t in trades], [float(x) for x in positions], stats, ops


def assert_same_run(args):
    got, got_err = outcome(run_engine, args)
    want, want_err = outcome(run_reference, args)
    assert got_err == want_err
    if want_err is not None:
        return
    creturn, trades, positions, stats, ops = got
    r_creturn, r_trades, r_positions, r_stats, r_ops = want
    assert np.array_equal(creturn, r_creturn, equal_nan=True), np.flatnonzero(
        ~((creturn == r_creturn) | (np.isnan(creturn) & np.isnan(r_creturn))))
    assert trades == r_trades
    assert np.array_equal(np.array(positions), np.array(r_positions), equal_nan=True)
    assert len(stats) == len(r_stats)
    for k, (a, b) in enumerate(zip(stats, r_stats)):
        assert a.shape == b.shape and np.array_equal(a, b, equal_nan=True), (k, trades[k], a, b)
    assert ops == r_ops
    assert list(ops) == ["actions", "weights", "next_weights", "weight_time", "next_weight_time"]
    for key in ("actions", "weights", "next_weights"):
        assert list(ops[key]) == list(r_ops[key])
    # The trade list is derived from the same log.
    rows, _ = pathsim.get_trade_stocks(args["pos_columns"], args["price_index"], args["touched_exit"])
    assert [(r[0], r[7], r[8]) for r in rows] == [
        (args["pos_columns"][s], e, x) for s, e, x in r_trades]
    return got


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
    args = scenario(seed, shorts=True, gross=1.6, position_limit=0.3,
                    fee_ratio=0.002, tax_ratio=0.004, resample="all")
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
    args = scenario(seed, shorts=True, excursion_window=window, excursion_window_step=step,
                    stop_loss=0.08, take_profit=0.12, periodically_rebalance=bool(seed % 2))
    assert_same_run(args)


@pytest.mark.parametrize("seed", SEEDS)
@pytest.mark.parametrize("stop_next", [False, True])
def test_close_exit_stops(seed, stop_next):
    args = scenario(seed, nbars=60, shorts=True, gross=1.2,
                    stop_loss=0.06, take_profit=0.1, trail_stop=0.04, trail_stop_activation=0.03,
                    stop_trading_next_period=stop_next, retain_cost_when_rebalance=bool(seed % 2),
                    excursion_window=4, excursion_window_step=2)
    creturn, trades, *_ = assert_same_run(args)
    # Some trades end away from a rebalance bar: the stops did fire.
    assert len(trades) > 8


@pytest.mark.parametrize("seed", SEEDS)
@pytest.mark.parametrize("stop_next", [False, True])
def test_touched_exit_stops(seed, stop_next):
    args = scenario(seed, nbars=60, shorts=True, touched=True,
                    stop_loss=0.05, take_profit=0.08, trail_stop=0.05, trail_stop_activation=0.02,
                    stop_trading_next_period=stop_next, periodically_rebalance=bool(seed % 2),
                    excursion_window=6, excursion_window_step=3)
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
