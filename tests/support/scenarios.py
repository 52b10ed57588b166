"""Randomised runs: a seeded market, weight table and settings, and the
engine's run compared bit for bit with the plain-Python reference model."""

import numpy as np

from torvex.core import excursion, pathsim

from support.reference_model import reference_backtest

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
        price[b : b + 3, c] = np.nan
        close[b : b + 3, c] = np.nan
    return price, close, high, low, open_


def scenario(
    seed,
    nbars=40,
    ncols=5,
    nrows=8,
    shorts=False,
    gross=1.0,
    extra_columns=True,
    resample="random",
    touched=False,
    **settings,
):
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
        price_values=price,
        close_values=close,
        high_values=high if touched else None,
        low_values=low if touched else None,
        open_values=open_ if touched else None,
        price_index=price_index,
        price_columns=price_columns,
        pos_values=weights,
        pos_index=pos_index,
        pos_columns=pos_columns,
        resample=marks,
        touched_exit=touched,
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


def _typed_bits(v):
    return type(v), np.float64(v).tobytes()


def assert_same_run(args):
    got, got_err = outcome(run_engine, args)
    want, want_err = outcome(run_reference, args)
    assert got_err == want_err
    if want_err is not None:
        return
    creturn, trades, positions, stats, ops = got
    r_creturn, r_trades, r_positions, r_stats, r_ops = want
    assert np.array_equal(creturn, r_creturn, equal_nan=True), np.flatnonzero(
        ~((creturn == r_creturn) | (np.isnan(creturn) & np.isnan(r_creturn)))
    )
    assert trades == r_trades
    assert np.array_equal(np.array(positions), np.array(r_positions), equal_nan=True)
    assert len(stats) == len(r_stats)
    for k, (a, b) in enumerate(zip(stats, r_stats)):
        assert a.shape == b.shape and np.array_equal(a, b, equal_nan=True), (k, trades[k], a, b)
    # Weights compare by kind and bits below (a NaN weight is no equal of itself).
    numbers = ("weights", "next_weights")
    assert {k: v for k, v in ops.items() if k not in numbers} == {k: v for k, v in r_ops.items() if k not in numbers}
    assert list(ops) == ["actions", "weights", "next_weights", "weight_time", "next_weight_time"]
    for key in ("actions", "weights", "next_weights"):
        assert list(ops[key]) == list(r_ops[key])
    for key in ("weights", "next_weights"):  # the same kind of number, to the bit
        assert [_typed_bits(v) for v in ops[key].values()] == [_typed_bits(v) for v in r_ops[key].values()]
    # The trade list is derived from the same log.
    rows, _ = pathsim.get_trade_stocks(args["pos_columns"], args["price_index"], args["touched_exit"])
    assert [(r[0], r[7], r[8]) for r in rows] == [(args["pos_columns"][s], e, x) for s, e, x in r_trades]
    return got
