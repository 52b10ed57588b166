"""Properties of every well-formed run, checked on generated inputs (bounded
example counts): price scale, column order, bookkeeping, repeatability, inputs
left as they were, and memory layout."""

import numpy as np
from hypothesis import HealthCheck, given, settings, strategies as st

from torvex.core import excursion, pathsim

DAY = 86_400 * 10**9
FEW = settings(max_examples=25, deadline=None, suppress_health_check=list(HealthCheck))


def outcome(c):
    """Everything a run leaves: creturn, trade log, statistics, record."""
    return (
        c.tobytes(),
        [[int(v) for v in t] for t in excursion.trades],
        [float(p) for p in excursion.trade_positions],
        [e.tobytes() for e in excursion.excursion],
        pathsim.get_stock_operations(),
    )


@st.composite
def runs(draw, dyadic=False):
    """Keyword arguments of a run with stops, trailing stops and touched exits.

    With `dyadic`, prices are powers of two and weights multiples of 1/8 with
    a gross weight of at most 1 and there are no fees, so that every sum of
    the run is exact."""
    nbars = draw(st.integers(2, 25))
    ncols = draw(st.integers(1, 5))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    if dyadic:
        price = 2.0 ** rng.integers(-2, 3, size=(nbars, ncols)).astype(float)
        close = 2.0 ** rng.integers(-2, 3, size=(nbars, ncols)).astype(float)
    else:
        price = 10.0 * np.exp(np.cumsum(rng.normal(0, 0.05, (nbars, ncols)), axis=0))
        close = price * np.exp(rng.normal(0, 0.02, price.shape))
    high = np.maximum(price, close) * 1.03125
    low = np.minimum(price, close) * 0.96875
    idx = np.arange(nbars, dtype=np.int64) * DAY
    nrows = draw(st.integers(1, min(4, nbars)))
    rows = np.sort(rng.choice(nbars, size=nrows, replace=False)).astype(np.int64) * DAY
    if dyadic:
        weights = rng.integers(-2, 3, size=(nrows, ncols)) / 8.0
        # A gross weight above 1 would divide by it: such rows are left empty.
        weights = np.where(np.abs(weights).sum(axis=1, keepdims=True) > 1, 0.0, weights)
    else:
        weights = rng.choice([0.0, 0.2, 0.4, -0.3, 0.7], size=(nrows, ncols))
    cols = np.array([f"s{i}" for i in range(ncols)], dtype=object)
    args = dict(
        price_values=price,
        close_values=close,
        high_values=high,
        low_values=low,
        open_values=price.copy(),
        price_index=idx,
        price_columns=cols,
        pos_values=weights,
        pos_index=rows,
        pos_columns=cols.copy(),
        resample=idx[:: draw(st.integers(1, 3))].copy(),
        touched_exit=draw(st.booleans()),
        stop_trading_next_period=draw(st.booleans()),
        retain_cost_when_rebalance=draw(st.booleans()),
    )
    if dyadic:
        args.update(fee_ratio=0.0, tax_ratio=0.0)  # fees are not dyadic fractions
    if draw(st.booleans()):
        args.update(
            stop_loss=draw(st.sampled_from([0.0625, 0.125, 0.5])),  # dyadic bands
            take_profit=draw(st.sampled_from([0.125, 0.25, np.inf])),
            trail_stop=draw(st.sampled_from([0.0625, np.inf])),
        )
    return args


def run(args):
    return pathsim.backtest_(**args)


PRICE_TABLES = ("price_values", "close_values", "high_values", "low_values", "open_values")


@FEW
@given(runs(), st.integers(-6, 6))
def test_power_of_two_price_scale_changes_nothing(args, k):
    # Every price ratio is the same double when all prices are scaled by 2**k.
    base = outcome(run(args))
    scaled = dict(args, **{t: args[t] * 2.0**k for t in PRICE_TABLES})
    assert outcome(run(scaled)) == base


@FEW
@given(runs(dyadic=True), st.randoms(use_true_random=False))
def test_permuted_columns_permute_the_trades_only(args, rnd):
    # Columns matched by name in another order: with exact sums the values are
    # the same doubles and the trade list holds the same trades under the names.
    ncols = args["pos_columns"].size
    perm = list(range(ncols))
    rnd.shuffle(perm)
    base_c = run(args)
    base = sorted(
        (str(args["pos_columns"][t[0]]), int(t[1]), int(t[2]), float(p))
        for t, p in zip(excursion.trades, excursion.trade_positions)
    )
    shuffled = dict(args, pos_values=args["pos_values"][:, perm], pos_columns=args["pos_columns"][perm])
    price_perm = list(reversed(range(ncols)))
    for t in PRICE_TABLES:
        shuffled[t] = args[t][:, price_perm]
    shuffled["price_columns"] = args["price_columns"][price_perm]
    c = run(shuffled)
    got = sorted(
        (str(shuffled["pos_columns"][t[0]]), int(t[1]), int(t[2]), float(p))
        for t, p in zip(excursion.trades, excursion.trade_positions)
    )
    assert c.tobytes() == base_c.tobytes()
    assert got == base


@FEW
@given(st.integers(2, 20), st.integers(1, 4), st.integers(0, 2**32 - 1))
def test_value_is_cash_plus_positions_without_fees_or_stops(nbars, ncols, seed):
    # A row per bar, every bar marked: the row of bar d - 1 is traded on bar d.
    # Without fees the books are: positions carried by the trading-price ratio,
    # moved to weight x equity at each rebalance, cash what is left, and the
    # bar worth cash plus every position marked at the close.
    rng = np.random.default_rng(seed)
    price = 10.0 * np.exp(np.cumsum(rng.normal(0, 0.05, (nbars, ncols)), axis=0))
    close = price * np.exp(rng.normal(0, 0.02, price.shape))
    weights = rng.uniform(0, 1, (nbars, ncols))
    weights /= np.maximum(1.0, weights.sum(axis=1, keepdims=True))
    idx = np.arange(nbars, dtype=np.int64) * DAY
    cols = np.array([f"s{i}" for i in range(ncols)], dtype=object)
    c = pathsim.backtest_(
        price, close, None, None, None, idx, cols, weights, idx.copy(), cols, idx.copy(), fee_ratio=0.0, tax_ratio=0.0
    )
    cash, pos = 1.0, np.zeros(ncols)
    expected = [1.0]
    for d in range(1, nbars):
        pos = pos * price[d] / price[d - 1]
        equity = cash + pos.sum()
        pos = weights[d - 1] * equity
        cash = equity - pos.sum()
        expected.append(cash + (pos * close[d] / price[d]).sum())
    np.testing.assert_allclose(c, expected, rtol=1e-12)


@FEW
@given(runs())
def test_second_run_is_identical_and_inputs_are_never_written(args):
    before = {k: (v.copy(), v.flags.writeable) for k, v in args.items() if isinstance(v, np.ndarray)}
    first = outcome(run(args))
    second = outcome(run(args))
    assert first == second
    for k, (copy, writeable) in before.items():
        assert args[k].flags.writeable == writeable
        assert args[k].tobytes() == copy.tobytes(), k


def relayout(a, how):
    if how == "F":
        return np.asfortranarray(a)
    big = np.zeros(tuple(3 * s for s in a.shape), dtype=a.dtype)
    view = big[tuple(slice(1, None, 3) for _ in a.shape)]
    view[...] = a
    return view


@FEW
@given(runs(), st.sampled_from(["F", "strided"]))
def test_memory_layout_changes_nothing(args, how):
    base = outcome(run(args))
    other = {k: relayout(v, how) if isinstance(v, np.ndarray) and v.dtype != object else v for k, v in args.items()}
    assert outcome(run(other)) == base
