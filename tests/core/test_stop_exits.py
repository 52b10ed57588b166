"""Stop-loss, take-profit and trailing-stop exits, delisting and their labels.

Unless a test says otherwise: one stock, bought (or shorted) with all of the
equity by the row of bar 0 on bar 1 at price 10, no fees, every bar marked.
A ratio is the stock's price relative to that entry price.
"""

import math

import numpy as np
import pytest

from torvex import _stops
from torvex.core import excursion, pathsim

from support.reference_model import reference_backtest, run_inputs


def bt(args):
    return pathsim.backtest_(**args)


def trades():
    return [[int(x) for x in t] for t in excursion.trades]


def ops():
    return pathsim.get_stock_operations()


def same_as_reference(args, creturn):
    ref = reference_backtest(**args)
    assert np.array_equal(creturn, ref[0], equal_nan=True)
    assert trades() == [[int(x) for x in t] for t in ref[1]]
    for a, b in zip(excursion.excursion, ref[3]):
        assert np.array_equal(a, b, equal_nan=True)
    assert ops() == ref[4]


LONG, SHORT = [(0, [1.0])], [(0, [-1.0])]


class TestCloseExitBands:
    @pytest.mark.parametrize("sign", [1, -1])
    def test_take_profit_edge_is_inclusive(self, sign):
        # cr at bar 2's close is 12.5 / 10 = 1.25 = 1 + 0.25 (all exact):
        # detected, sold on bar 3 at its trading price 13.
        args = run_inputs([10, 10, 12.5, 13, 13], LONG, take_profit=0.25 * sign, stop_loss=0.1 * sign)
        c = bt(args)
        assert trades() == [[0, 1, 3]]
        assert c.tolist() == pytest.approx([1.0, 1.0, 1.25, 1.3, 1.3], abs=1e-15)
        assert ops()["actions"] == {0: "tp_"}

    @pytest.mark.parametrize("sign", [1, -1])
    def test_stop_loss_edge_is_strict(self, sign):
        # cr 0.5 = 1 - 0.5 (all exact) is not below the band: no exit.
        args = run_inputs([10, 10, 5, 5, 5], LONG, stop_loss=0.5 * sign)
        bt(args)
        assert trades() == [[0, 1, -1]]
        # cr 0.49 is: sold on bar 3 at 4.
        args = run_inputs([10, 10, 4.9, 4, 4], LONG, stop_loss=0.5 * sign)
        c = bt(args)
        assert trades() == [[0, 1, 3]]
        assert c.tolist() == pytest.approx([1.0, 1.0, 0.49, 0.4, 0.4], abs=1e-15)
        assert ops()["actions"] == {0: "sl_"}

    def test_close_price_decides_not_the_trading_price(self):
        # Bar 2 trades at 10 but closes at 12.5: cr at the close is 1.25.
        args = run_inputs([10, 10, 10, 11, 11], LONG, closes=[10, 10, 12.5, 11, 11], take_profit=0.2)
        bt(args)
        assert trades() == [[0, 1, 3]]

    def test_trailing_stop_armed(self):
        # Stop 0.1, trailing 0.05 from +10%: the best ratio 1.15 (bar 2) lifts the
        # lower bound to 1.10; bar 3's 1.09 is below it: sold on bar 4 at 10.
        args = run_inputs([10, 10, 11.5, 10.9, 10, 10], LONG, stop_loss=0.1, trail_stop=0.05, trail_stop_activation=0.1)
        c = bt(args)
        assert trades() == [[0, 1, 4]]
        assert c.tolist() == pytest.approx([1.0, 1.0, 1.15, 1.09, 1.0, 1.0], abs=1e-15)
        assert ops()["actions"] == {0: "sl_"}

    @pytest.mark.parametrize("activation", [0.1, -0.1])
    def test_trailing_stop_not_armed(self, activation):
        # Best ratio 1.08 < 1.1: the band stays [0.9, inf), 1.03 is inside.
        args = run_inputs(
            [10, 10, 10.8, 10.3, 10, 10], LONG, stop_loss=0.1, trail_stop=-0.05, trail_stop_activation=activation
        )
        bt(args)
        assert trades() == [[0, 1, -1]]

    def test_trailing_stop_never_loosens_the_stop(self):
        # Stop 0.02, trailing 0.05 from the start: 1.0 - 0.05 = 0.95 is below
        # 0.98, so the lower bound stays 0.98 and 0.97 exits.
        args = run_inputs([10, 10, 9.7, 9.7, 9.7], LONG, stop_loss=0.02, trail_stop=0.05, trail_stop_activation=0.0)
        bt(args)
        assert trades() == [[0, 1, 3]]

    def test_short_trailing_stop(self):
        # Short, stop 0.1, take-profit 0.2, trailing 0.05 from -10%: the lowest
        # ratio 0.85 pulls the upper bound to 0.90; 0.91 crosses it (a stop of
        # the short).  Sold on bar 4 at 9.1: cash 2 - 0.91 = 1.09.
        args = run_inputs(
            [10, 10, 8.5, 9.1, 9.1, 9.1],
            SHORT,
            stop_loss=0.1,
            take_profit=0.2,
            trail_stop=0.05,
            trail_stop_activation=0.1,
        )
        c = bt(args)
        assert trades() == [[0, 1, 4]]
        assert c.tolist() == pytest.approx([1.0, 1.0, 1.15, 1.09, 1.09, 1.09], abs=1e-15)
        assert ops()["actions"] == {0: "sl_"}

    @pytest.mark.parametrize(
        "prices, value, label",
        [
            # Band [0.8, 1.1]: 0.79 is below the take-profit side of the short.
            ([10, 10, 7.9, 7.5, 7.5], 2 - 0.75, "tp_"),
            # 1.15 is above the stop-loss side.
            ([10, 10, 11.5, 12, 12], 2 - 1.2, "sl_"),
        ],
    )
    def test_short_band_sides(self, prices, value, label):
        args = run_inputs(prices, SHORT, stop_loss=0.1, take_profit=0.2)
        c = bt(args)
        assert trades() == [[0, 1, 3]]
        assert c[3] == pytest.approx(value, abs=1e-15)
        assert ops()["actions"] == {0: label}


def touched_run(o, h, low, rows=LONG, **kw):
    """Bar 2 trades at 10 with the given open, high and low; bar 3 is flat."""
    prices = [10, 10, 10, 10]
    return run_inputs(
        prices,
        rows,
        touched_exit=True,
        stop_loss=0.1,
        take_profit=0.2,
        open_=[10, 10, o, 10],
        high=[10, 10, h, 10],
        low=[10, 10, low, 10],
        **kw,
    )


class TestTouchedExits:
    @pytest.mark.parametrize(
        "o,h,low,fill,label",
        [
            (10, 11, 8.5, 0.9, "sl_"),  # low crosses 0.9: filled at the bound
            (8, 10, 7.5, 0.8, "sl_"),  # gap below the band: filled at the open
            (10, 12.5, 9.5, 1.2, "tp_"),  # high crosses 1.2
            (12.6, 13, 12, 1.26, "tp_"),  # gap above the band: filled at the open
            (10, 12.5, 8.5, 1.2, "tp_"),  # both bounds: the high wins, a take-profit
        ],
    )
    def test_long(self, o, h, low, fill, label):
        args = touched_run(o, h, low)
        c = bt(args)
        assert trades() == [[0, 1, 2]]
        assert c.tolist() == pytest.approx([1.0, 1.0, fill, fill], abs=1e-15)
        assert ops()["actions"] == {0: label}
        same_as_reference(args, c)

    @pytest.mark.parametrize(
        "o,h,low,fill,label",
        [
            (10, 11.5, 9.5, 1.1, "sl_"),  # short band [0.8, 1.1]: high crosses its stop
            (10, 10.5, 7.5, 0.8, "tp_"),  # low crosses its take-profit
            (7.8, 10, 7.5, 0.78, "tp_"),  # gap down: filled at the open
            (11.3, 11.5, 11, 1.13, "sl_"),  # gap up: filled at the open
            (10, 11.5, 7.5, 1.1, "sl_"),  # both bounds: filled at the high bound
        ],
    )
    def test_short(self, o, h, low, fill, label):
        args = touched_run(o, h, low, rows=SHORT)
        c = bt(args)
        assert trades() == [[0, 1, 2]]
        # Short of 1.0 at 10 leaves cash 2; buying back costs the fill.
        assert c.tolist() == pytest.approx([1.0, 1.0, 2 - fill, 2 - fill], abs=1e-15)
        assert ops()["actions"] == {0: label}
        same_as_reference(args, c)

    def test_touch_ratios_use_the_previous_trading_price(self):
        # Bar 2 trades at 11 (cr 1.1) after 10: its high 12 is 1.0 * 12 / 10 =
        # 1.2 on the cr scale, the take-profit bound.
        args = run_inputs(
            [10, 10, 11, 11],
            LONG,
            touched_exit=True,
            take_profit=0.2,
            open_=[10, 10, 10.5, 11],
            high=[10, 10, 12, 11],
            low=[10, 10, 10.4, 11],
        )
        c = bt(args)
        assert trades() == [[0, 1, 2]]
        assert c[2] == pytest.approx(1.2, abs=1e-15)

    def test_exited_stock_stays_at_zero_and_is_not_held(self):
        # After a touched exit the stock's price turns 0, then NaN, then comes
        # back; no rebalance follows.  Nothing fails, nothing more is traded,
        # and the record gives the stock weight 0.
        prices = [10, 10, 10, 0.0, math.nan, 12]
        args = run_inputs(
            prices,
            LONG,
            touched_exit=True,
            stop_loss=0.1,
            open_=[10] * 6,
            high=[10] * 6,
            low=[10, 10, 8, 10, 10, 10],
            delisting_bars=np.array([4], dtype=np.int64),
        )
        c = bt(args)
        assert c.tolist() == pytest.approx([1.0, 1.0, 0.9, 0.9, 0.9, 0.9], abs=1e-15)
        assert trades() == [[0, 1, 2]]  # the delisting of bar 4 finds nothing held
        assert ops()["weights"] == {0: 0.0}
        assert ops()["actions"] == {0: "sl_"}
        same_as_reference(args, c)

    def test_exited_stock_with_zero_price_then_rebalanced(self):
        # A is stopped out on bar 2; its price is 0 on bars 3 and 4 while B is
        # bought by the row of bar 3 (A's weight 0): the run goes on.
        prices = [[10, 10], [10, 10], [10, 10], [0.0, 10], [0.0, 11], [10, 11]]
        rows = [(0, [1.0, 0.0]), (3, [0.0, 0.5])]
        ones = [[10, 10]] * 6
        low = [[10, 10], [10, 10], [8, 10], [10, 10], [10, 10], [10, 10]]
        args = run_inputs(prices, rows, touched_exit=True, stop_loss=0.1, open_=ones, high=ones, low=low)
        c = bt(args)
        assert trades() == [[0, 1, 2], [1, 4, -1]]
        assert c.tolist() == pytest.approx([1.0, 1.0, 0.9, 0.9, 0.9, 0.9], abs=1e-15)
        same_as_reference(args, c)


class TestQueuedExits:
    def test_skipped_when_the_rebalance_of_the_detection_bar_sold_it(self):
        # Bar 2: A's close is at 0.85 (detected), then bar 2's rebalance sells A
        # and buys B.  Bar 3 finds A no longer held: no second exit, no label.
        prices = [[10, 10], [10, 10], [8.5, 10], [8, 10], [8, 10]]
        args = run_inputs(prices, [(0, [1.0, 0.0]), (1, [0.0, 1.0])], stop_loss=0.1)
        c = bt(args)
        assert trades() == [[0, 1, 2], [1, 2, -1]]
        assert ops()["actions"] == {}
        same_as_reference(args, c)

    @pytest.mark.parametrize("stop_next", [False, True])
    def test_exit_and_rebalance_on_the_same_bar(self, stop_next):
        # A is detected at bar 2's close (0.85) and the row of bar 2 (A at 0.5)
        # is traded on bar 3, whose price 9.5 is back inside the band.  With
        # stop_trading_next_period off the rebalance sets A and the queued exit
        # is skipped: A goes from 0.95 to 0.475, then gains 10%.  With it on, A
        # is sold at 9.5 and kept out.
        prices = [10, 10, 8.5, 9.5, 10.45]
        args = run_inputs(
            prices,
            [(0, [1.0]), (2, [0.5])],
            stop_loss=0.1,
            stop_trading_next_period=stop_next,
            periodically_rebalance=False,
        )
        c = bt(args)
        if stop_next:
            assert trades() == [[0, 1, 3]]
            assert c.tolist() == pytest.approx([1.0, 1.0, 0.85, 0.95, 0.95], abs=1e-15)
        else:
            assert trades() == [[0, 1, -1]]
            assert c.tolist() == pytest.approx([1.0, 1.0, 0.85, 0.95, 0.475 + 0.5225], abs=1e-15)
        same_as_reference(args, c)

    def test_repeat_detection_is_erased(self):
        # Detected at bar 2 (1.15) and again at bar 3 (1.2), the last bar, where
        # the first detection sells it: the second is dropped, so the record
        # shows the executed exit, not a pending one.
        args = run_inputs([10, 10, 11.5, 12], LONG, take_profit=0.1, stop_trading_next_period=False)
        c = bt(args)
        assert trades() == [[0, 1, 3]]
        assert ops()["actions"] == {0: "tp_"}
        assert c[3] == pytest.approx(1.2, abs=1e-15)
        same_as_reference(args, c)

    def test_detection_survives_one_bar_only(self):
        # Detected at bar 2 while held, queued for bar 3, where the pending
        # rebalance (stop_trading_next_period off, weight kept) sets the stock
        # instead; bar 3's close is back inside the band, so no exit ever.
        prices = [10, 10, 8.5, 9.5, 9.5]
        args = run_inputs(
            prices,
            [(0, [1.0]), (2, [1.0])],
            stop_loss=0.1,
            stop_trading_next_period=False,
            retain_cost_when_rebalance=True,
        )
        bt(args)
        assert trades() == [[0, 1, -1]]


class TestStopTradingNextPeriod:
    @pytest.mark.parametrize("touched", [False, True])
    @pytest.mark.parametrize("stop_next", [False, True])
    def test_stopped_stock_and_the_next_rebalance(self, touched, stop_next):
        # A is stopped out; the row of bar 3 still weights it (and B).
        prices = [[10, 10], [10, 10], [8.5, 10], [8, 10], [8, 10], [8, 10]]
        lows = [[10, 10], [10, 10], [8.5, 10], [8, 10], [8, 10], [8, 10]]
        rows = [(0, [0.5, 0.5]), (3, [0.5, 0.5])]
        args = run_inputs(
            prices,
            rows,
            stop_loss=0.1,
            stop_trading_next_period=stop_next,
            touched_exit=touched,
            open_=prices,
            high=prices,
            low=lows,
        )
        c = bt(args)
        out = [0, 1, 2] if touched else [0, 1, 3]
        if stop_next:
            assert trades() == [out, [1, 1, 4], [1, 4, -1]]
            assert 0 not in ops()["weights"] or ops()["weights"][0] == 0
        else:
            # B's resize on bar 4 is logged as it happens; open trades follow.
            assert trades() == [out, [1, 1, 4], [0, 4, -1], [1, 4, -1]]
        same_as_reference(args, c)


class TestDelisting:
    def test_delisted_stock_is_closed_at_the_trading_price(self):
        # Fee 0.001, tax 0.003.  Bought on bar 1: 0.999; bar 3 trades at 11:
        # 1.0989, sold with fee and tax: 1.0989 * (1 - 0.004), no stop label.
        args = run_inputs(
            [10, 10, 10.5, 11, 12], LONG, fee_ratio=0.001, tax_ratio=0.003, delisting_bars=np.array([3], dtype=np.int64)
        )
        c = bt(args)
        assert trades() == [[0, 1, 3]]
        value = 0.999 * (11 / 10)
        assert c[3] == pytest.approx(value - value * 0.004, abs=1e-15)
        assert c[4] == c[3]
        assert ops()["actions"] == {}

    def test_only_non_negative_entries_delist(self):
        args = run_inputs([[10, 10]] * 4, [(0, [0.5, 0.5])], delisting_bars=np.array([-1, 2], dtype=np.int64))
        bt(args)
        assert trades() == [[1, 1, 2], [0, 1, -1]]
        args["delisting_bars"] = np.array([-1, -1], dtype=np.int64)
        bt(args)
        assert trades() == [[0, 1, -1], [1, 1, -1]]


def label_run(side, bound, extra_bars, touched=False, **kw):
    """Stock 0 (and a flat stock 1) entered on bar 1; stock 0 leaves by `bound`
    ("tp" or "sl") on bar 3, followed by `extra_bars` flat bars."""
    up = (side > 0) == (bound == "tp")
    move = 12.5 if up else 7.5
    p0 = [10, 10, 10, move] + [move] * extra_bars
    prices = [[p, 10] for p in p0]
    return run_inputs(
        prices,
        [(0, [0.5 * side, 0.5])],
        stop_loss=0.1,
        take_profit=0.2,
        touched_exit=touched,
        open_=prices,
        high=prices,
        low=prices,
        **kw,
    )


class TestLabels:
    @pytest.mark.parametrize("side", [1, -1])
    @pytest.mark.parametrize("bound", ["tp", "sl"])
    def test_pending_at_the_last_close(self, side, bound):
        # Detected at the last bar's close and never executed.
        args = label_run(side, bound, 0)
        c = bt(args)
        assert ops()["actions"] == {0: bound}
        # Stopped stocks are left out of the pending weights.
        assert ops()["next_weights"] == {1: 0.5}
        same_as_reference(args, c)

    @pytest.mark.parametrize("side", [1, -1])
    @pytest.mark.parametrize("bound", ["tp", "sl"])
    @pytest.mark.parametrize("touched", [False, True])
    def test_executed_since_the_last_rebalance(self, side, bound, touched):
        args = label_run(side, bound, 2, touched=touched)
        c = bt(args)
        assert ops()["actions"] == {0: bound + "_"}
        same_as_reference(args, c)

    @pytest.mark.parametrize("side", [1, -1])
    @pytest.mark.parametrize("bound", ["tp", "sl"])
    def test_pending_with_a_reentry(self, side, bound):
        # stop_trading_next_period off and a row dated on the last bar keeps a
        # weight for the stock: it will be entered again.
        args = label_run(side, bound, 0, stop_trading_next_period=False)
        args["pos_values"] = np.array([[0.5 * side, 0.5], [0.5 * side, 0.5]])
        args["pos_index"] = np.array([args["pos_index"][0], args["price_index"][-1]], dtype=np.int64)
        c = bt(args)
        assert ops()["actions"] == {0: bound + "_enter", 1: "hold"}
        assert ops()["next_weight_time"] == 1
        same_as_reference(args, c)

    @pytest.mark.parametrize("side", [1, -1])
    def test_pending_without_a_newer_row(self, side):
        # stop_trading_next_period off, but the row in force is older than the
        # last bar: the plain label.
        args = label_run(side, "tp", 0, stop_trading_next_period=False)
        bt(args)
        assert ops()["actions"] == {0: "tp"}
        assert ops()["next_weights"] == {0: 0.5 * side, 1: 0.5}

    def test_mixed_book(self):
        # Four stocks, close exits at the last bar: long up (tp), long down (sl),
        # short down (tp), short up (sl); then the same one bar earlier.
        last = [[12.5, 7.5, 7.5, 12.5]]
        prices = [[10] * 4] * 3 + last
        rows = [(0, [0.25, 0.25, -0.25, -0.25])]
        args = run_inputs(prices, rows, stop_loss=0.1, take_profit=0.2)
        c = bt(args)
        assert ops()["actions"] == {0: "tp", 1: "sl", 2: "tp", 3: "sl"}
        same_as_reference(args, c)
        args = run_inputs(prices + last, rows, stop_loss=0.1, take_profit=0.2)
        c = bt(args)
        assert ops()["actions"] == {0: "tp_", 1: "sl_", 2: "tp_", 3: "sl_"}
        assert trades() == [[0, 1, 4], [1, 1, 4], [2, 1, 4], [3, 1, 4]]
        same_as_reference(args, c)


class TestThresholdTables:
    def test_one_threshold_per_stock(self):
        # Both fall 10%; only A's stop of 5% fires.
        prices = [[10, 10], [10, 10], [9, 9], [9, 9], [9, 9]]
        args = run_inputs(prices, [(0, [0.5, 0.5])], stop_loss=np.array([0.05, 0.5]))
        c = bt(args)
        assert trades() == [[0, 1, 3], [1, 1, -1]]
        same_as_reference(args, c)

    def test_thresholds_changing_by_bar(self):
        # A 50% stop until bar 2, 5% from bar 3: the 10% fall of bar 2 is
        # detected only at bar 3's close and sold on bar 4.
        prices = [[10, 10], [10, 10], [9, 9], [9, 9], [9, 9], [9, 9]]
        table = np.array([[0.5, 0.5]] * 3 + [[0.05, 0.5]] * 3)
        args = run_inputs(prices, [(0, [0.5, 0.5])], stop_loss=table)
        c = bt(args)
        assert trades() == [[0, 1, 4], [1, 1, -1]]
        same_as_reference(args, c)
        built = _stops.stop_table(table, args["price_index"], args["pos_columns"])
        assert isinstance(built, _stops.StopTable) and built.values.shape[0] == 2
        args["stop_loss"] = built
        assert np.array_equal(bt(args), c)
        assert trades() == [[0, 1, 4], [1, 1, -1]]

    def test_take_profit_table(self):
        prices = [[10, 10], [10, 10], [11.5, 11.5], [11.5, 11.5], [11.5, 11.5]]
        tp = _stops.StopTable(np.array([[0.1, 0.2]]), np.zeros(5, dtype=np.intp))
        args = run_inputs(prices, [(0, [0.5, 0.5])], take_profit=tp)
        c = bt(args)
        assert trades() == [[0, 1, 3], [1, 1, -1]]
        assert ops()["actions"] == {0: "tp_"}
        same_as_reference(args, c)
