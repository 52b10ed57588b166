"""The typed entry runs the same engine as backtest_: the same values, bit for bit, on the
reference scenarios and on random runs; it refuses bad arrays by name and leaves the
specified surface's state alone."""

import math

import numpy as np
import pytest
from support.inputs import REQUIRED
from support.scenarios import scenario

from torvex._backtest import _RUNLOG_FIELDS
from torvex._runlog import last_run_log
from torvex.core import _engine, _typed, excursion, pathsim

RUNLOG = _RUNLOG_FIELDS
POSITIONAL = REQUIRED  # backtest_'s positional arguments, in order


def _split(args):
    return tuple(args[k] for k in POSITIONAL), {k: v for k, v in args.items() if k not in POSITIONAL}


def _same_value(a, b):
    """Same type and bits (NaN equal to NaN), recursively through dicts in key order."""
    if isinstance(a, dict):
        return isinstance(b, dict) and list(a) == list(b) and all(_same_value(a[k], b[k]) for k in a)
    if type(a) is not type(b):
        return False
    if isinstance(a, (float, np.floating)):
        return np.float64(a).tobytes() == np.float64(b).tobytes() or (math.isnan(a) and math.isnan(b))
    return a == b


def assert_typed_matches(args):
    """The typed run of ``args`` against backtest_ + the trade log + the run log + the record."""
    pos, opts = _split(args)
    try:
        creturn = pathsim.backtest_(*pos, **opts)
    except Exception as exc:  # both must refuse alike
        with pytest.raises(type(exc)):
            _typed.run(*pos, **opts)
        return
    res = _typed.run(*pos, **opts)
    assert np.array_equal(creturn, res.creturn, equal_nan=True)
    trades = np.array(excursion.trades, dtype=np.int64).reshape(-1, 3)
    assert np.array_equal(trades, np.stack([res.sid, res.entry_bar, res.exit_bar], axis=1))
    assert np.array_equal(np.array(excursion.trade_positions, dtype=float), res.position, equal_nan=True)
    if len(trades):
        blocks = np.array([np.asarray(x) for x in excursion.excursion])
        assert np.array_equal(blocks, res.excursion, equal_nan=True)
    assert res.n_trades == len(trades)
    log = last_run_log()
    for name in RUNLOG:
        got = getattr(res, name)
        assert got.dtype == log[name].dtype and np.array_equal(got, log[name], equal_nan=True), name
    ops = _typed.stock_operations(
        res,
        args["pos_values"],
        args["price_index"],
        args["pos_index"],
        opts.get("position_limit", 1.0),
        opts.get("stop_trading_next_period", True),
    )
    assert _same_value(ops, pathsim.get_stock_operations())


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize(
    "settings",
    [
        {},
        {"retain_cost_when_rebalance": True},
        {"periodically_rebalance": False},
        {"shorts": True, "position_limit": 0.3, "gross": 1.6},
        {"stop_loss": 0.05, "take_profit": 0.08, "stop_trading_next_period": False},
        {"stop_loss": 0.04, "trail_stop": 0.03, "trail_stop_activation": 0.02, "touched": True},
        {"excursion_window": 6, "excursion_window_step": 2},
        {"resample": "all", "nrows": 12},
    ],
)
def test_reference_scenarios(seed, settings):
    assert_typed_matches(scenario(seed, **settings))


@pytest.mark.parametrize("seed", range(3))
def test_per_stock_thresholds_and_delisting(seed):
    rng = np.random.default_rng(seed)
    args = scenario(seed, touched=bool(seed % 2))
    ncols = len(args["pos_columns"])
    args["stop_loss"] = rng.uniform(0.02, 0.1, ncols)
    args["take_profit"] = rng.uniform(0.05, 0.2, (len(args["price_index"]), ncols))
    args["delisting_bars"] = rng.integers(-1, len(args["price_index"]), ncols).astype(np.int64)
    assert_typed_matches(args)


def _random_args(rng):
    nb, ns = int(rng.integers(3, 60)), int(rng.integers(1, 8))
    price = np.exp(np.cumsum(rng.normal(0, 0.05, (nb, ns)), 0)) * 10
    price[rng.random((nb, ns)) < 0.05] = np.nan
    close = price * np.exp(rng.normal(0, 0.01, (nb, ns)))
    touched = bool(rng.random() < 0.5)
    idx = np.arange(nb, dtype=np.int64) * 86_400 * 10**9
    nr = int(min(rng.integers(1, 6), nb))
    weights = rng.normal(0, 0.3, (nr, ns)) * (rng.random((nr, ns)) < 0.7)
    labels = np.array([f"s{i}" for i in range(ns)], dtype=object)
    args = dict(
        price_values=price,
        close_values=close,
        high_values=np.fmax(price, close) * 1.02 if touched else None,
        low_values=np.fmin(price, close) * 0.98 if touched else None,
        open_values=price * np.exp(rng.normal(0, 0.01, (nb, ns))) if touched else None,
        price_index=idx,
        price_columns=labels,
        pos_values=weights,
        pos_index=np.sort(rng.choice(idx, nr, replace=False)),
        pos_columns=labels[::-1].copy() if rng.random() < 0.3 else labels,
        resample=np.sort(rng.choice(idx, int(rng.integers(1, nb)), replace=False)),
        fee_ratio=float(rng.choice([0, 0.001425])),
        tax_ratio=float(rng.choice([0, 0.003])),
        stop_loss=float(rng.choice([1.0, 0.05, 0.1])),
        take_profit=float(rng.choice([np.inf, 0.1, 0.2])),
        trail_stop=float(rng.choice([np.inf, 0.05])),
        trail_stop_activation=float(rng.choice([0, 0.02])),
        touched_exit=touched,
        position_limit=float(rng.choice([1.0, 0.3])),
        retain_cost_when_rebalance=bool(rng.random() < 0.3),
        stop_trading_next_period=bool(rng.random() < 0.5),
        excursion_window=int(rng.choice([0, 0, 5])),
        excursion_window_step=int(rng.choice([1, 2])),
        periodically_rebalance=bool(rng.random() < 0.7),
    )
    if rng.random() < 0.3:
        args["delisting_bars"] = rng.integers(-1, nb, ns).astype(np.int64)
    return args


@pytest.mark.parametrize("seed", range(4))
def test_random_runs(seed):
    rng = np.random.default_rng(1000 + seed)
    for _ in range(60):
        assert_typed_matches(_random_args(rng))


def test_leaves_the_specified_surface_alone():
    args = scenario(3, stop_loss=0.05)
    pos, opts = _split(args)
    pathsim.backtest_(*pos, **opts)
    before = (list(excursion.trades), pathsim.get_stock_operations(), last_run_log()["pnl"].tolist())
    settings = (pathsim.RETAIN_COST_WHEN_REBALANCE, pathsim.RESAMPLE)
    other = scenario(4, retain_cost_when_rebalance=True, periodically_rebalance=False)
    p2, o2 = _split(other)
    _typed.run(*p2, **o2)
    assert (list(excursion.trades), pathsim.get_stock_operations(), last_run_log()["pnl"].tolist()) == before
    assert (pathsim.RETAIN_COST_WHEN_REBALANCE, pathsim.RESAMPLE) == settings


def test_result_arrays_are_read_only_and_made_once():
    args = scenario(1)
    pos, opts = _split(args)
    res = _typed.run(*pos, **opts)
    assert res.pnl is res.pnl
    for name in ("creturn",):
        assert getattr(res, name).flags.writeable
    for name in ("sid", "excursion", "pnl", "exit_reason", "rebalance_bars"):
        with pytest.raises(ValueError):
            getattr(res, name)[...] = 0
    with pytest.raises(TypeError):
        _engine.Result()


def test_statistics_outlive_their_result():
    args = scenario(8, excursion_window=6, excursion_window_step=2)
    pos, opts = _split(args)
    res = _typed.run(*pos, **opts)
    blocks, pnl = res.excursion, res.pnl
    want = np.array(blocks, copy=True)
    del res
    for _ in range(3):  # later runs reuse freed buffers; these arrays keep theirs
        assert _typed.run(*pos, **opts).excursion.shape == want.shape
    assert np.array_equal(blocks, want, equal_nan=True) and len(pnl) == len(blocks)


def _engine_args(args):
    """The 26 arguments of _engine.run for a scenario (tables of plain-number thresholds)."""
    pos, opts = _split(args)
    price_col = _typed.price_columns_of(args["price_columns"], args["pos_columns"])
    n, k = len(args["price_index"]), len(args["pos_columns"])
    return [
        *pos[:6],
        args["pos_values"],
        args["pos_index"],
        price_col,
        args["resample"],
        np.ones((1, k)),
        np.zeros(n, np.int64),
        np.full((1, k), np.inf),
        np.zeros(n, np.int64),
        None,
        0.001,
        0.003,
        np.inf,
        0.0,
        1.0,
        bool(opts.get("touched_exit", False)),
        False,
        True,
        True,
        0,
        1,
    ]


@pytest.mark.parametrize(
    "k, value, error, words",
    [
        (0, np.zeros((3, 3), np.float32), TypeError, "price: expected an aligned float64"),
        (0, [[1.0]], TypeError, "price: expected a numpy array"),
        (1, np.ones((2, 2)), ValueError, "close: expected"),
        (5, np.zeros(3), TypeError, "price_index"),
        (6, np.zeros((0, 6)), ValueError, "pos_values: expected at least one row"),
        (8, np.full(6, 99, np.int64), ValueError, "price_col: expected price columns"),
        (11, np.full(40, 1, np.int64), ValueError, "stop_loss_rows: expected table rows"),
        (12, np.ones((1, 2)), ValueError, "take_profit_values"),
        (14, np.zeros(2, np.int64), ValueError, "delisting_bars"),
        (15, "0.1", TypeError, "fee_ratio: expected a float"),
        (20, 1, TypeError, "touched_exit: expected True or False"),
        (24, -1, ValueError, "excursion_window: expected an int from 0"),
        (25, 0, ValueError, "excursion_window_step: expected an int from 1"),
    ],
)
def test_refuses_bad_arguments_by_name(k, value, error, words):
    a = _engine_args(scenario(2))
    _engine.run(*a)  # the arguments as made are sound
    a[k] = value
    with pytest.raises(error, match=words):
        _engine.run(*a)


def test_refuses_missing_ohlc_with_touched_exits_and_a_wrong_count():
    a = _engine_args(scenario(2))
    a[20] = True
    with pytest.raises(TypeError, match="high: expected a numpy array;"):
        _engine.run(*a)
    with pytest.raises(TypeError, match="26 positional arguments"):
        _engine.run(*a[:-1])


def test_refuses_unpriced_weights_before_the_run():
    args = scenario(5)
    args["pos_values"] = args["pos_values"].copy()
    col = list(args["pos_columns"]).index("no_price")
    args["pos_values"][:, col] = 0.5
    pos, opts = _split(args)
    with pytest.raises(ValueError, match="No price column for position columns with non-zero weights: no_price"):
        _typed.run(*pos, **opts)


def test_invalid_price_names_stock_and_bar():
    args = scenario(6, extra_columns=False)
    a = _engine_args(args)
    price = np.array(a[0])
    price[:] = 10.0
    price[25, :] = -1.0
    a[0] = price
    a[6] = np.full_like(a[6], 0.1)
    with pytest.raises(ValueError, match="Invalid trading price") as info:
        _engine.run(*a)
    assert info.value.bar == 25 and info.value.value == -1.0 and 0 <= info.value.sid < price.shape[1]
