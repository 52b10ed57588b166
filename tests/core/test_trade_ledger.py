"""The ledger's figures per trade in the run log: fills, charges, cash flows and
committed money, checked against closed-form single trades and, over random
runs of every kind, against the equity curve they must add up to.

Closed forms, with V the entry target's money value, f the fee and t the tax
ratio, Pe / Px the entry and exit fills:

    long:  buy V (holding V(1-f)), carried to V(1-f)Px/Pe, sold for that less f+t
           pnl = V(1-f)(Px/Pe)(1-f-t) - V
    short: sell V (cash V(1-f), holding -V), carried to -V Px/Pe, covered paying f+t
           pnl = V(1-f) - V(Px/Pe)(1+f+t)
"""

import numpy as np
import pytest

from torvex._runlog import EXIT_REASONS, last_run_log
from torvex.core import excursion, pathsim

from support.reference_model import run_inputs
from support.scenarios import scenario

PER_TRADE = (
    "entry_price",
    "exit_price",
    "fees",
    "taxes",
    "pnl",
    "committed",
    "unpriced_exit",
    "exit_reason",
    "touched",
)


def run(args):
    creturn = pathsim.backtest_(**args)
    log = last_run_log()
    assert log["matches_trade_log"]
    trades = np.array([[int(x) for x in t] for t in excursion.trades], dtype=np.int64).reshape(-1, 3)
    return creturn, trades, log


def closed_form(side, v, f, t, pe, px):
    if side > 0:
        return v * (1 - f) * (px / pe) * (1 - f - t) - v
    return v * (1 - f) - v * (px / pe) * (1 + f + t)


def reasons(log):
    return [EXIT_REASONS[c] for c in log["exit_reason"]]


# ---------------------------------------------------------------- random runs

FAMILIES = ("close", "touched", "short", "touched_short", "gross", "gross_short_touched")
SEEDS = range(40)


def random_args(family, seed):
    rng = np.random.default_rng([seed, FAMILIES.index(family)])
    nbars = int(rng.integers(20, 45))
    args = scenario(
        seed,
        nbars=nbars,
        ncols=int(rng.integers(2, 6)),
        nrows=int(rng.integers(4, 10)),
        shorts="short" in family,
        gross=1.6 if "gross" in family else 1.0,
        touched="touched" in family,
        resample=str(rng.choice(["random", "all"])),
    )
    args.update(
        stop_loss=float(rng.choice([1.0, 0.04, 0.1])),
        take_profit=float(rng.choice([np.inf, 0.05, 0.12])),
        retain_cost_when_rebalance=bool(seed % 2),
        periodically_rebalance=bool(seed // 2 % 2),
        stop_trading_next_period=bool(rng.random() < 0.5),
    )
    if rng.random() < 0.5:
        args.update(trail_stop=float(rng.choice([0.02, 0.05])), trail_stop_activation=float(rng.choice([0.0, 0.03])))
    if rng.random() < 0.4:
        args["position_limit"] = 0.3
    if rng.random() < 0.5:
        npos = args["pos_columns"].size
        bars = rng.integers(0, nbars, npos).astype(np.int64)
        bars[rng.random(npos) < 0.4] = -1
        args["delisting_bars"] = bars
    if rng.random() < 0.4:
        args.update(excursion_window=int(rng.integers(1, 8)), excursion_window_step=int(rng.integers(1, 4)))
    return args


def check_ledger(args, creturn, trades, log):
    n = len(trades)
    assert all(len(log[k]) == n for k in PER_TRADE)
    assert len(log["unrecorded_sids"]) == len(log["unrecorded_pnl"])
    scale = max(1.0, float(np.nanmax(np.abs(creturn))))
    gain = creturn[-1] - 1
    assert abs(log["pnl"].sum() + log["unrecorded_pnl"].sum() - gain) <= 1e-9 * scale
    if len(log["unrecorded_pnl"]) == 0:
        assert abs(log["pnl"].sum() - gain) <= 1e-9 * scale
    assert np.isfinite(log["pnl"]).all() and (log["committed"] > 0).all()
    assert (log["fees"] >= 0).all() and (log["taxes"] >= 0).all()
    if args["fee_ratio"] == 0:
        assert (log["fees"] == 0).all()
    if args["tax_ratio"] == 0:
        assert (log["taxes"] == 0).all()
    if n == 0:
        return
    sid, entry, exit_ = trades.T
    closed = exit_ != -1
    # An open trade has no exit fill; a closed one has one unless it never had a price at all.
    assert (np.isnan(log["exit_price"]) == (~closed | np.isnan(log["entry_price"]))).all()
    col_of = {name: i for i, name in enumerate(args["price_columns"])}
    cols = np.array([col_of[args["pos_columns"][s]] for s in sid])
    price = args["price_values"]
    at_entry = price[entry, cols]
    priced = ~np.isnan(at_entry)
    assert (log["entry_price"][priced] == at_entry[priced]).all()
    at_exit = price[np.where(closed, exit_, 0), cols]
    plain = closed & ~log["touched"]
    # Rebalances, close-mode stops and delistings fill at the bar's trading price, or are
    # flagged as unpriced where it has none.
    assert (log["unpriced_exit"] == (plain & np.isnan(at_exit))).all()
    ok = plain & ~np.isnan(at_exit)
    assert (log["exit_price"][ok] == at_exit[ok]).all()
    if args["touched_exit"]:
        # A touched fill lies within the bar's range where open, high and low are all known.
        k = np.flatnonzero(log["touched"])
        b, c = exit_[k], cols[k]
        lo, hi, op = args["low_values"][b, c], args["high_values"][b, c], args["open_values"][b, c]
        known = ~(np.isnan(lo) | np.isnan(hi) | np.isnan(op))
        fill = log["exit_price"][k][known]
        assert ((fill >= lo[known] * (1 - 1e-12)) & (fill <= hi[known] * (1 + 1e-12))).all()


@pytest.mark.parametrize("family", FAMILIES)
def test_ledger_adds_up_to_the_equity_curve(family):
    ran = 0
    for seed in SEEDS:
        args = random_args(family, seed)
        try:
            creturn, trades, log = run(args)
        except (ValueError, OverflowError):
            continue
        ran += 1
        try:
            check_ledger(args, creturn, trades, log)
        except AssertionError as exc:
            raise AssertionError(f"{family} seed {seed}") from exc
    assert ran >= 0.9 * len(SEEDS)


@pytest.mark.parametrize("shorts", [False, True], ids=["long", "short"])
def test_cost_basis_settings_do_not_change_the_ledger(shorts):
    # Without stops the cost basis only decides where the trade log splits a position: the
    # equity curve is the same to the bit, and each stock's pnl summed over its trades the same.
    for seed in range(25):
        args = scenario(seed, nbars=35, shorts=shorts, gross=1.3 if seed % 3 == 0 else 1.0, stop_loss=np.inf)
        runs = []
        # The default (a split at every resize) first.
        for retain, periodic in ((False, True), (False, False), (True, True), (True, False)):
            creturn, trades, log = run(dict(args, retain_cost_when_rebalance=retain, periodically_rebalance=periodic))
            npos = args["pos_columns"].size
            per_stock = [np.bincount(trades[:, 0], weights=log[k], minlength=npos) for k in ("pnl", "fees", "taxes")]
            runs.append((creturn, per_stock, len(trades)))
        (c0, s0, n0), *others = runs
        assert n0 >= max(n for _, _, n in others)
        for c, s, _ in others:
            assert np.array_equal(c, c0, equal_nan=True)
            for a, b in zip(s, s0):
                np.testing.assert_allclose(a, b, rtol=0, atol=1e-15)


# ------------------------------------------------------------- closed forms


@pytest.mark.parametrize("side", [1, -1], ids=["long", "short"])
def test_single_trade_closed_form(side):
    rng = np.random.default_rng(11 + side)
    for _ in range(30):
        w, f, t = float(rng.uniform(0.05, 1.0)), float(rng.uniform(0, 0.01)), float(rng.uniform(0, 0.01))
        nbars = int(rng.integers(5, 12))
        exit_row = int(rng.integers(1, nbars - 1))
        prices = 20 * np.cumprod(np.exp(rng.normal(0, 0.03, nbars)))
        args = run_inputs(
            prices,
            [(0, [side * w]), (exit_row, [0.0])],
            resample=[0, exit_row],
            fee_ratio=f,
            tax_ratio=t,
            stop_loss=np.inf,
        )
        creturn, trades, log = run(args)
        assert trades.tolist() == [[0, 1, exit_row + 1]] and reasons(log) == ["rebalance"]
        pe, px = log["entry_price"][0], log["exit_price"][0]
        assert pe == prices[1] and px == prices[exit_row + 1]
        assert log["pnl"][0] == pytest.approx(closed_form(side, w, f, t, pe, px), rel=1e-10, abs=1e-15)
        assert log["committed"][0] == pytest.approx(w, rel=1e-14)
        # Entry: the fee on V; exit: fee and tax on the value carried to the exit.
        held = w * (px / pe) * ((1 - f) if side > 0 else 1.0)
        assert log["fees"][0] == pytest.approx(w * f + held * f, rel=1e-12, abs=1e-18)
        assert log["taxes"][0] == pytest.approx(held * t, rel=1e-12, abs=1e-18)
        assert not log["unpriced_exit"][0] and not log["touched"][0]
        assert log["pnl"][0] == pytest.approx(creturn[-1] - 1, rel=1e-12, abs=1e-15)


@pytest.mark.parametrize("side", [1, -1], ids=["long", "short"])
@pytest.mark.parametrize("edge", ["take_profit", "stop_loss"])
@pytest.mark.parametrize("gap", [False, True], ids=["inside", "gap"])
def test_touched_fill_at_the_band_or_the_open(side, edge, gap):
    rng = np.random.default_rng([side + 1, len(edge), gap])
    sl, tp = 0.08, 0.12
    for _ in range(8):
        f, t = float(rng.choice([0.0, 0.001425])), float(rng.choice([0.0, 0.003]))
        pe = float(rng.uniform(5, 50))
        # Bar 1 buys at pe, bars 2-3 drift inside the band, bar 4 reaches it.
        prices = [pe, pe, *(pe * np.exp(rng.uniform(-0.03, 0.03, 2))), pe, pe]
        high, low, open_ = [p * 1.001 for p in prices], [p * 0.999 for p in prices], list(prices)
        prev = prices[3]
        up = (edge == "take_profit") == (side > 0)
        band = pe * (1 + tp if side > 0 else 1 - tp) if edge == "take_profit" else pe * (1 - sl if side > 0 else 1 + sl)
        if gap:
            o = band * (1.03 if up else 0.97)
            prices[4] = open_[4] = o
            high[4], low[4] = (o * 1.01, min(o, prev) * 0.99) if up else (max(o, prev) * 1.01, o * 0.99)
        else:
            prices[4] = open_[4] = prev
            high[4], low[4] = (band * 1.02, prev * 0.99) if up else (prev * 1.01, band * 0.98)
        args = run_inputs(
            prices,
            [(0, [float(side)])],
            high=high,
            low=low,
            open_=open_,
            touched_exit=True,
            stop_loss=sl,
            take_profit=tp,
            fee_ratio=f,
            tax_ratio=t,
        )
        creturn, trades, log = run(args)
        assert trades.tolist() == [[0, 1, 4]]
        assert reasons(log) == [edge] and log["touched"].tolist() == [True]
        px = log["exit_price"][0]
        assert log["entry_price"][0] == pe
        assert px == (open_[4] if gap else pytest.approx(band, rel=1e-12))
        assert log["pnl"][0] == pytest.approx(closed_form(side, 1.0, f, t, pe, px), rel=1e-10, abs=1e-15)
        assert log["pnl"][0] == pytest.approx(creturn[-1] - 1, rel=1e-12, abs=1e-15)


NAN = np.nan


@pytest.mark.parametrize("side", [1, -1], ids=["long", "short"])
@pytest.mark.parametrize("edge", ["take_profit", "stop_loss"])
def test_touched_fill_without_an_open_is_the_band(side, edge):
    # Bought (or shorted) at 10; bar 2 has no open and trades wholly beyond the band at 9 or 11.
    # Without an open the engine cannot see the gap: it fills at the band, and the log records that
    # fill, the price the ledger valued the exit at (the front end warns that it lies outside the bar).
    up = (edge == "take_profit") == (side > 0)
    high, low = ([10, 10, 12.0, 11.5], [10, 10, 11.5, 11.5]) if up else ([10, 10, 8.5, 8.2], [10, 10, 8.0, 8.2])
    close = low
    args = run_inputs(
        close,
        [(0, [float(side)])],
        high=high,
        low=low,
        open_=[10, 10, NAN, close[3]],
        touched_exit=True,
        stop_loss=0.1,
        take_profit=0.1,
    )
    creturn, trades, log = run(args)
    assert trades.tolist() == [[0, 1, 2]] and reasons(log) == [edge] and log["touched"].tolist() == [True]
    assert log["exit_price"][0] == pytest.approx(11.0 if up else 9.0, rel=1e-12)
    assert not low[2] <= log["exit_price"][0] <= high[2]
    assert log["pnl"][0] == pytest.approx(closed_form(side, 1.0, 0, 0, 10.0, log["exit_price"][0]), rel=1e-12)
    assert log["pnl"][0] == pytest.approx(creturn[-1] - 1, rel=1e-12)


HALT = [[10, 20], [10, 20], [11, 20], [12, 21], [NAN, 22], [NAN, 22], [13, 22]]


@pytest.mark.parametrize("side", [1, -1], ids=["long", "short"])
@pytest.mark.parametrize("how", ["rebalance", "delisted"])
def test_exit_on_a_bar_without_a_price(side, how):
    # A is bought on bar 1 at 10 and closed on bar 4, where it has no price: at 12, its last one.
    f, t = 0.001425, 0.003
    if how == "rebalance":
        args = run_inputs(HALT, [(0, [0.5 * side, 0.5]), (3, [0.0, 0.5])], resample=[0, 3], fee_ratio=f, tax_ratio=t)
    else:
        args = run_inputs(
            HALT, [(0, [0.5 * side, 0.5])], fee_ratio=f, tax_ratio=t, delisting_bars=np.array([4, -1], dtype=np.int64)
        )
    creturn, trades, log = run(args)
    assert trades[0].tolist() == [0, 1, 4] and reasons(log)[0] == how
    assert log["unpriced_exit"].tolist() == [True] + [False] * (len(trades) - 1)
    assert log["exit_price"][0] == 12.0 and log["entry_price"][0] == 10.0
    assert np.isfinite(log["pnl"]).all()
    assert log["pnl"][0] == pytest.approx(closed_form(side, 0.5, f, t, 10.0, 12.0), rel=1e-12)
    assert log["pnl"].sum() == pytest.approx(creturn[-1] - 1, abs=1e-15)


@pytest.mark.parametrize("side", [1, -1], ids=["long", "short"])
def test_resize_splits_the_trade(side):
    # One stock held from bar 1 and resized on bar 4: with the default settings the trade log
    # ends the first trade there at the value carried in, and the resize belongs to the next.
    rng = np.random.default_rng(40 + side)
    for _ in range(20):
        f, t = float(rng.uniform(0, 0.005)), float(rng.uniform(0, 0.005))
        w0, w1 = rng.uniform(0.2, 0.9, 2) * side
        p = 20 * np.cumprod(np.exp(rng.normal(0, 0.03, 8)))
        args = run_inputs(p, [(0, [w0]), (3, [w1])], resample=[0, 3], fee_ratio=f, tax_ratio=t, stop_loss=np.inf)
        creturn, trades, log = run(args)
        assert trades.tolist() == [[0, 1, 4], [0, 4, -1]] and reasons(log) == ["rebalance", "open"]
        v = abs(w0)
        carried = v * (1 - f) * p[4] / p[1] if side > 0 else -v * p[4] / p[1]
        outlay = v if side > 0 else -v * (1 - f)
        assert log["pnl"][0] == pytest.approx(carried - outlay, rel=1e-12, abs=1e-15)
        assert log["exit_price"][0] == log["entry_price"][1] == p[4]
        assert (log["fees"][0], log["taxes"][0]) == (pytest.approx(v * f, rel=1e-12), 0.0)
        # The new trade opens at the resize target and pays the resize's charges.
        target = w1 * (1 - v + carried if side > 0 else 1 + v * (1 - f) + carried)
        change = target - carried
        reduces = (change < 0) == (side > 0)
        assert log["committed"][1] == pytest.approx(abs(target), rel=1e-12)
        assert log["fees"][1] == pytest.approx(abs(change) * f, rel=1e-10, abs=1e-17)
        assert log["taxes"][1] == pytest.approx(abs(change) * t if reduces else 0.0, rel=1e-10, abs=1e-17)
        if side > 0:  # buy: holding grows by the amount less the fee; sale: proceeds less fee and tax
            flow, held = (-change, carried + change * (1 - f)) if change > 0 else (-change * (1 - f - t), target)
            want = -carried + flow + held * p[7] / p[4]
            assert log["pnl"][1] == pytest.approx(want, rel=1e-10, abs=1e-15)
        # A kept cost basis keeps one trade: the same ledger, to the bit.
        c2, trades2, log2 = run(dict(args, retain_cost_when_rebalance=True))
        assert trades2.tolist() == [[0, 1, -1]]
        assert np.array_equal(c2, creturn)
        assert abs(log2["pnl"][0] - log["pnl"].sum()) <= 1e-15
        assert log2["fees"][0] == pytest.approx(log["fees"].sum(), rel=1e-14)


def test_value_of_exactly_zero_is_an_unrecorded_trade():
    # The smallest subnormal weight on A rounds to 0.0 when A's price falls to 4: the trade
    # log counts A as never held, and its cash flow is kept aside.
    args = run_inputs(
        [[10, 10], [10, 10], [4, 10], [4, 11], [4, 11]], [(0, [5e-324, 0.5])], fee_ratio=0.001, tax_ratio=0.003
    )
    creturn, trades, log = run(args)
    assert trades.tolist() == [[1, 1, -1]]
    assert log["unrecorded_sids"].tolist() == [0] and log["unrecorded_pnl"].size == 1
    assert log["pnl"].sum() + log["unrecorded_pnl"].sum() == pytest.approx(creturn[-1] - 1, abs=1e-15)
