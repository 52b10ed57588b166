"""Small hand-worked runs of backtest_: valuation, rebalance timing, costs,
the trade log, the trade list and the end-of-run record.

Prices are on daily bars from T0 (bar k is dated T0 + k days); a row dated at
a fractional bar lies between two bars.  Fees and taxes are 0 unless a test
sets them.
"""

import math

import numpy as np
import pytest

from torvex.core import excursion, pathsim

from support.reference_model import reference_backtest, run_inputs

FEE, TAX = 0.001425, 0.003


def bt(args):
    return pathsim.backtest_(**args)


def trades():
    return [[int(x) for x in t] for t in excursion.trades]


def positions():
    return [float(x) for x in excursion.trade_positions]


def same_as_reference(args, creturn):
    """The hand-worked run also agrees with the reference model."""
    ref = reference_backtest(**args)
    assert np.array_equal(creturn, ref[0], equal_nan=True)
    assert trades() == [[int(x) for x in t] for t in ref[1]]
    assert pathsim.get_stock_operations() == ref[4]


class TestValuation:
    def test_warm_up_bars_are_worth_one(self):
        # The first row is dated on bar 2: bars 0 and 1 are warm-up bars and
        # stay at 1.0 whatever the prices do; the row is traded on bar 3.
        args = run_inputs([10, 20, 30, 30, 33], [(2, [1.0])])
        c = bt(args)
        assert c.tolist() == [1.0, 1.0, 1.0, 1.0, 1.1]
        assert trades() == [[0, 3, -1]]
        same_as_reference(args, c)

    def test_all_bars_before_the_first_row(self):
        args = run_inputs([10, 11, 12], [(5, [1.0])])
        c = bt(args)
        assert c.tolist() == [1.0, 1.0, 1.0]
        assert trades() == []
        ops = pathsim.get_stock_operations()
        assert ops["weight_time"] == -1 and ops["next_weight_time"] == 0
        assert ops["weights"] == {} and ops["next_weights"] == {0: 1.0}

    def test_nan_gap_carries_the_ratio_over_the_gap(self):
        # Bought on bar 1 at 10; bars 2 and 3 have no price (the stock keeps its
        # carried value); bar 4 prices it at 12, so the whole gap is +20%.
        prices = [10, 10, math.nan, math.nan, 12, 12]
        args = run_inputs(prices, [(0, [1.0])])
        c = bt(args)
        assert c.tolist() == [1.0, 1.0, 1.0, 1.0, 1.2, 1.2]
        same_as_reference(args, c)

    def test_nan_close_counts_at_carried_value(self):
        # Bar 2: traded at 11, close missing -> valued at 1.1 (carried value);
        # bar 3: close 12.1 against price 11 -> 1.1 * 12.1 / 11.
        args = run_inputs([10, 10, 11, 11], [(0, [1.0])], closes=[10, 10, math.nan, 12.1])
        c = bt(args)
        assert c.tolist() == [1.0, 1.0, 1.1, 1.1 * 12.1 / 11]

    def test_nan_gap_still_feeds_the_stop(self):
        # The 20% over the gap lifts cr to 1.2 >= 1 + 0.15: the take-profit is
        # detected at bar 4's close and executed at bar 5's price of 13.
        prices = [10, 10, math.nan, math.nan, 12, 13, 14]
        args = run_inputs(prices, [(0, [1.0])], take_profit=0.15)
        c = bt(args)
        assert trades() == [[0, 1, 5]]
        assert c.tolist()[5:] == pytest.approx([1.3, 1.3], abs=1e-15)


class TestRebalanceTiming:
    def test_row_dated_on_a_bar_trades_on_the_next_bar(self):
        # Row on bar 0 -> taken at bar 0's end, bought at bar 1's price 20.
        args = run_inputs([10, 20, 22], [(0, [1.0])])
        c = bt(args)
        assert c.tolist() == [1.0, 1.0, 1.1]
        assert trades() == [[0, 1, -1]]

    def test_row_between_bars_is_taken_at_the_end_of_the_bar_before(self):
        # Row 1 is dated between bars 1 and 2, so before bar 2: bar 1 takes it
        # at its end and bar 2 trades it.
        args = run_inputs([[10, 10]] * 5, [(0, [1.0, 0.0]), (1.5, [0.0, 1.0])])
        bt(args)
        assert trades() == [[0, 1, 2], [1, 2, -1]]

    def test_two_rows_between_the_same_bars_only_the_later_executes(self):
        rows = [(0, [0.0, 0.0, 0.0]), (2.3, [1.0, 0.0, 0.0]), (2.6, [0.0, 0.0, 1.0])]
        args = run_inputs([[10, 10, 10]] * 6, rows)
        c = bt(args)
        assert trades() == [[2, 3, -1]]
        assert pathsim.get_stock_operations()["weight_time"] == 2
        same_as_reference(args, c)

    def test_unmarked_bars_wait_for_the_next_mark(self):
        # Marks on bars 0 and 3 only.  Row 1 (bar 1) is in force from bar 1's
        # end, but bars 1 and 2 are unmarked: it is traded on bar 4.
        args = run_inputs([[10, 10]] * 6, [(0, [1.0, 0.0]), (1, [0.0, 1.0])], resample=[0, 3])
        bt(args)
        assert trades() == [[0, 1, 4], [1, 4, -1]]

    def test_a_newer_row_replaces_a_waiting_one(self):
        rows = [(0, [1.0, 0.0, 0.0]), (1, [0.0, 1.0, 0.0]), (2, [0.0, 0.0, 1.0])]
        args = run_inputs([[10, 10, 10]] * 6, rows, resample=[0, 3])
        bt(args)
        assert trades() == [[0, 1, 4], [2, 4, -1]]

    def test_empty_resample_never_trades(self):
        args = run_inputs([10, 11, 12], [(0, [1.0])], resample=[])
        assert bt(args).tolist() == [1.0, 1.0, 1.0]
        assert trades() == []


class TestCosts:
    def test_entry_resize_flip_and_close(self):
        # Flat prices at 1.0, fee 0.001425, tax 0.003; target shares 0.1, 0.04,
        # -0.05, then 0, traded on bars 1 to 4.
        args = run_inputs([1.0] * 5, [(0, [0.1]), (1, [0.04]), (2, [-0.05]), (3, [0.0])], fee_ratio=FEE, tax_ratio=TAX)
        c = bt(args)
        # Bar 1, entry: cash 1 - 0.1 = 0.9; the fee comes out of the position:
        # 0.1 - 0.0001425 = 0.0998575; value 0.9998575.
        cash, p = 0.9, 0.1 - 0.1 * FEE
        assert c[1] == cash + p
        # Bar 2, resize down to 0.04 * 0.9998575 = 0.0399943: a sale that is
        # not an entry, so fee and tax on 0.0598632 (0.000264895); 0.99959261.
        v2 = 0.04 * (cash + p)
        amount = v2 - p
        cash, p = (-amount - abs(amount) * (FEE + TAX)) + cash, amount + p
        assert c[2] == cash + p
        # Bar 3, flip to -0.05 * 0.99959261 = -0.0499796: a sale of 0.0899739
        # towards a short target is an entry, so only the fee; 0.99946439.
        v2 = -0.05 * (cash + p)
        amount = v2 - p
        cash, p = (-amount - abs(amount) * FEE) + cash, amount + p
        assert c[3] == cash + p
        # Bar 4, close of the short: pays 0.0499796 plus fee and tax on it;
        # 0.99924323.
        cash = (p - abs(p) * (FEE + TAX)) + cash
        assert c[4] == cash
        assert c.tolist() == pytest.approx([1.0, 0.9998575, 0.99959261, 0.99946439, 0.99924323], abs=5e-9)
        # Periodic rebalancing splits each resize into a closed and a new trade.
        assert trades() == [[0, 1, 2], [0, 2, 3], [0, 3, 4]]
        # Each new trade records its target share of the equity before the trade.
        assert positions() == pytest.approx([0.1, 0.04, -0.05], abs=1e-15)

    def test_buy_pays_fee_from_the_position_sell_from_the_proceeds(self):
        # Ledger example scaled to 1.0: entering 0.5 + 0.5 with fee 0.001425.
        args = run_inputs([[1.0, 1.0]] * 3, [(0, [0.5, 0.5])], fee_ratio=FEE, tax_ratio=TAX)
        c = bt(args)
        assert c[1] == 0.0 + (0.5 - 0.5 * FEE) + (0.5 - 0.5 * FEE)  # 0.998575

    def test_gross_weight_above_one_is_scaled(self):
        # [0.8, 0.8]: gross 1.6, so each target is 1.0 / 1.6 * 0.8 = 0.5.
        args = run_inputs([[1.0, 1.0], [1.0, 1.0], [2.0, 1.0]], [(0, [0.8, 0.8])])
        c = bt(args)
        assert c.tolist() == [1.0, 1.0, 1.5]

    def test_gross_weight_below_one_keeps_cash(self):
        # [0.2, 0.2]: 0.6 stays in cash; stock A doubles -> 1.2.
        args = run_inputs([[1.0, 1.0], [1.0, 1.0], [2.0, 1.0]], [(0, [0.2, 0.2])])
        assert bt(args).tolist() == [1.0, 1.0, 1.2]

    def test_position_limit_clips_both_sides(self):
        # [0.3, -0.3] with limit 0.2: targets 0.2 and -0.2; A +50%, B +50%:
        # 1 + 0.2 * 0.5 - 0.2 * 0.5 = 1.0, then B back to 1: 1.1.
        args = run_inputs([[1.0, 1.0], [1.0, 1.0], [1.5, 1.5], [1.5, 1.0]], [(0, [0.3, -0.3])], position_limit=0.2)
        c = bt(args)
        assert c.tolist() == pytest.approx([1.0, 1.0, 1.0, 1.1], abs=1e-15)
        assert positions() == [0.2, -0.2]


class TestExcursionExample:
    def test_worked_example_as_a_run(self):
        # Long, window 0, fee 0.001, tax 0.003: entered on bar 1 at 10 (close
        # 10), closes 11 and 9, sold on bar 3 at 9.
        args = run_inputs([10, 10, 11, 9], [(0, [1.0]), (2, [0.0])], resample=[0, 2], fee_ratio=0.001, tax_ratio=0.003)
        c = bt(args)
        assert trades() == [[0, 1, 3]]
        assert positions() == [1.0]
        (stats,) = excursion.excursion
        r0 = (1 - 0.001) * 1.0  # 0.999
        r1 = r0 * (11 / 10)  # 1.0989
        r2 = r1 * (9 / 11)  # 0.8991
        ret = 9 / 9 * r2 * (1 - 0.001 - 0.003)  # 0.8955036
        # mae from the lowest ratio (bar 3), gmfe and bmfe from the best one
        # before it (bar 2), mdd from bar 2 to bar 3, one bar in profit.
        expected = [r2 - 1, r1 - 1, r1 - 1, r2 / r1 - 1, 1.0, ret - 1]
        assert stats.tolist() == expected
        assert stats.tolist() == pytest.approx([-0.1009, 0.0989, 0.0989, -0.18181818181818, 1, -0.1044964], abs=1e-12)
        # The run's own value ends at the same return.
        assert c.tolist() == pytest.approx([1.0, 0.999, 1.0989, 0.8955036], abs=1e-15)


class TestTradeLog:
    def test_closed_trades_first_then_open_trades_by_stock_id(self):
        # B (id 1) is bought on bar 1 and kept; C (id 2) is bought on bar 1 and
        # sold on bar 3; A (id 0) is bought on bar 3 and kept.
        rows = [(0, [0.0, 0.3, 0.3]), (2, [0.3, 0.3, 0.0])]
        args = run_inputs([[10, 10, 10]] * 5, rows, retain_cost_when_rebalance=True)
        c = bt(args)
        assert trades() == [[2, 1, 3], [0, 3, -1], [1, 1, -1]]
        assert positions() == [0.3, 0.3, 0.3]
        same_as_reference(args, c)

    def test_trade_list_rows(self):
        rows = [(0, [0.5, 0.5]), (2, [0.0, 0.5])]
        args = run_inputs([[10, 10]] * 6, rows, retain_cost_when_rebalance=True)
        bt(args)
        idx = args["price_index"]
        got, ops = pathsim.get_trade_stocks(args["pos_columns"], idx, False)
        assert ops == pathsim.get_stock_operations()
        assert got == [
            ["A", idx[1], idx[3], idx[0], idx[2], 0.5, 2, 1, 3],
            ["B", idx[1], -1, idx[0], -1, 0.5, 5, 1, -1],
        ]
        # With touched exits the exit signal falls on the exit bar itself.
        got, _ = pathsim.get_trade_stocks(args["pos_columns"], idx, True)
        assert got[0][4] == idx[3] and got[1][4] == -1


class TestSettingsReadAtEachResize:
    """The ledger reads RESAMPLE and RETAIN_COST_WHEN_REBALANCE at every resize.
    Code the trade log runs (a list subclass with its own append) can change
    them in the middle of a run; the change counts from the next resize on."""

    class FlippingLog(list):
        def __init__(self, name, value):
            super().__init__()
            self.name, self.value = name, value

        def append(self, item):
            super().append(item)
            setattr(pathsim, self.name, self.value)

    @pytest.mark.parametrize(
        "name, value",
        [
            ("RESAMPLE", False),
            ("RESAMPLE", None),
            ("RESAMPLE", 0),
            ("RETAIN_COST_WHEN_REBALANCE", True),
        ],
    )
    def test_a_change_made_by_the_log_is_seen(self, monkeypatch, name, value):
        # Three stocks resized on every bar from bar 2: each resize splits the
        # trade while RESAMPLE is true. The first split logs a trade, whose
        # append turns splitting off: later resizes keep their trades open.
        rows = [(b, [0.3 + 0.01 * b, 0.3, 0.3 - 0.01 * b]) for b in range(5)]
        args = run_inputs([[10, 10, 10]] * 6, rows, periodically_rebalance=True)
        monkeypatch.setattr(excursion, "trades", self.FlippingLog(name, value))
        bt(args)
        assert trades() == [[0, 1, 2], [0, 2, -1], [1, 1, -1], [2, 1, -1]]

    def test_unchanged_settings_split_every_resize(self):
        rows = [(b, [0.3 + 0.01 * b, 0.3, 0.3 - 0.01 * b]) for b in range(5)]
        args = run_inputs([[10, 10, 10]] * 6, rows, periodically_rebalance=True)
        c = bt(args)
        assert len(trades()) == 3 * 4 + 3
        same_as_reference(args, c)


class TestRecordListsRebound:
    """The trade log finds its lists by name at every record: a list bound in
    the middle of a run (here by code the log itself runs) gets the records
    from then on."""

    def test_rebinding_during_a_run(self, monkeypatch):
        later = []

        class Rebinding(list):
            def append(self, item):
                super().append(item)
                if len(self) == 2:
                    excursion.trade_positions = later

        rows = [(b, [0.3 + 0.01 * b, 0.3, 0.3 - 0.01 * b]) for b in range(5)]
        args = run_inputs([[10, 10, 10]] * 6, rows, periodically_rebalance=True)
        first = excursion.trade_positions
        monkeypatch.setattr(excursion, "trades", Rebinding())
        monkeypatch.setattr(excursion, "trade_positions", first)
        bt(args)
        # The second trade's record rebinds trade_positions before its position
        # is logged: the first position went to the list bound before the run
        # (cleared at its start), every later one to the new list.
        assert len(excursion.trades) == 15
        assert len(first) == 1 and len(later) == 14
        assert excursion.trade_positions is later

    def test_rebinding_between_runs(self, monkeypatch):
        args = run_inputs([[10, 10]] * 4, [(0, [0.5, 0.5])])
        bt(args)
        fresh = []
        monkeypatch.setattr(excursion, "excursion", fresh)
        bt(args)
        assert len(fresh) == 2


class TestRebalanceColumns:
    """Columns with a zero weight are passed over only when nothing changes."""

    def test_wide_rows_with_sparse_weights(self):
        # 37 columns (blocks of eight and a tail), weights on a few, stocks
        # held before and zeroed, NaN and negative weights.
        n = 37
        prices = [[10.0 + i + b for i in range(n)] for b in range(6)]
        w0 = [0.0] * n
        w0[3], w0[8], w0[16], w0[36] = 0.2, 0.3, -0.1, 0.2
        w1 = [0.0] * n
        w1[9], w1[16], w1[35] = 0.25, 0.25, float("nan")
        w2 = [0.0] * n
        w2[0], w2[36] = 0.5, 0.5
        args = run_inputs(prices, [(0, w0), (2, w1), (3, w2)], fee_ratio=FEE, tax_ratio=TAX)
        same_as_reference(args, bt(args))

    def test_infinite_equity_still_visits_every_column(self):
        # A fee of -1e308 makes the sale on bar 2 pay out an infinite amount:
        # the rebalance on bar 3 sees an infinite ratio, and a zero weight
        # times it is NaN, so stocks never held (A and C) get NaN positions.
        args = run_inputs(
            [[1.0, 1.0, 1.0]] * 5, [(0, [1.0, 0.0, 0.0]), (1, [0.0, 1.0, 0.0]), (2, [0.0, 0.5, 0.0])], fee_ratio=-1e308
        )
        c = bt(args)
        assert trades() == [[0, 1, 2], [1, 2, 3], [0, 3, -1], [1, 3, -1], [2, 3, -1]]
        assert all(math.isnan(p) for p in positions()[2:])
        same_as_reference(args, c)


class TestStockOperations:
    def test_record_of_a_run_without_stops(self):
        # Executed row 0: [0.6, 0.6, 0] (gross 1.2); pending row dated on the
        # last bar: [0, 0.3, 0.2], due because the last bar is marked.
        rows = [(0, [0.6, 0.6, 0.0]), (3, [0.0, 0.3, 0.2])]
        args = run_inputs([[10, 10, 10]] * 4, rows)
        c = bt(args)
        ops = pathsim.get_stock_operations()
        assert ops == {
            "actions": {0: "exit", 1: "hold", 2: "enter"},
            "weights": {0: 0.6 / 1.2, 1: 0.6 / 1.2},
            "next_weights": {1: 0.3, 2: 0.2},
            "weight_time": 0,
            "next_weight_time": 1,
        }
        same_as_reference(args, c)

    def test_weights_of_a_stock_no_longer_held_count_in_the_sum(self):
        # Row [0.6, 0.6] executed; B then delisted: weight 0 but still in the
        # 1.2 divisor; with limit 0.4 A's 0.5 is clipped.
        rows = [(0, [0.6, 0.6])]
        args = run_inputs([[10, 10]] * 4, rows, position_limit=0.4, delisting_bars=np.array([-1, 2], dtype=np.int64))
        c = bt(args)
        ops = pathsim.get_stock_operations()
        assert ops["weights"] == {0: 0.4, 1: 0.0}
        assert ops["next_weights"] == {0: 0.4, 1: 0.4}
        assert ops["actions"] == {}
        same_as_reference(args, c)


class TestInvalidTradingPrice:
    @pytest.mark.parametrize("bad,shown", [(0.0, "0.0"), (-2.5, "-2.5"), (math.inf, "inf")])
    def test_invalid_price_of_a_held_stock_ends_the_run(self, bad, shown):
        prices = [[10, 10], [10, 10], [10, 10], [10, bad], [10, 10]]
        args = run_inputs(prices, [(0, [0.5, 0.5])])
        with pytest.raises(ValueError) as e:
            bt(args)
        assert str(e.value) == (
            f"Invalid trading price for B at price row 3: {shown}. "
            "Expected a positive finite price; check the trading-price dataset."
        )

    def test_invalid_price_of_a_stock_not_held_is_ignored(self):
        prices = [[10, 10], [10, 0.0], [10, -1.0], [11, 10]]
        args = run_inputs(prices, [(0, [1.0, 0.0])])
        assert bt(args).tolist() == [1.0, 1.0, 1.0, 1.1]

    def test_position_column_without_prices_must_not_carry_weight(self):
        args = run_inputs([[10, 10]] * 3, [(0, [0.5, 0.5])], pos_columns=["A", "Z"])
        with pytest.raises(ValueError):
            bt(args)
        args = run_inputs([[10, 10]] * 3, [(0, [0.5, 0.0])], pos_columns=["A", "Z"])
        assert bt(args).tolist() == [1.0, 1.0, 1.0]


class TestSoundBehaviour:
    def test_previous_price_is_kept_per_position_column(self):
        # Two position columns trade the same price column A.  Each carries its
        # own previous price, so both gain the 20% of 10 -> 12: 1.2, not 1.1.
        args = run_inputs([10, 10, 12], [(0, [0.5, 0.5])], pos_columns=["A", "A"])
        c = bt(args)
        assert c.tolist() == [1.0, 1.0, 1.2]
        same_as_reference(args, c)

    def test_missing_price_at_a_rebalance_keeps_a_held_stock_previous_price(self):
        # A is bought at 10 on bar 1; bar 2 has no price for A and is a
        # rebalance bar (A resized to 0.5, B bought).  A keeps 10 as its
        # previous price, so bar 3's 12 is +20%: 0.5 * 1.2.  B, entered without
        # a price, starts from its first price (bar 3's 12): r = 1, not 12 / 1.
        prices = [[10, 10], [10, 10], [math.nan, math.nan], [12, 12], [12, 12]]
        rows = [(0, [1.0, 0.0]), (1, [0.5, 0.3])]
        args = run_inputs(prices, rows)
        c = bt(args)
        # Bar 2: A valued at its carried 1.0; bought back to 0.5, B 0.3; cash 0.2.
        assert c.tolist() == [1.0, 1.0, 1.0, 0.2 + 0.6 + 0.3, 0.2 + 0.6 + 0.3]
        same_as_reference(args, c)

    @pytest.mark.parametrize("resample", [[0], [0, 1]])
    def test_first_row_between_a_warm_up_bar_and_the_next(self, resample):
        # The first row lies between bars 0 and 1: bar 0 is a warm-up bar but
        # still takes the row at its end, so a mark on bar 0 trades it on bar 1.
        args = run_inputs([10, 10, 12, 12], [(0.5, [1.0])], resample=resample)
        c = bt(args)
        assert trades() == [[0, 1, -1]]
        assert c.tolist() == [1.0, 1.0, 1.2, 1.2]
        same_as_reference(args, c)

    def test_exit_costs_land_on_the_exit_bar_of_a_window(self):
        # Long from bar 1 to bar 3 (sold at 9, close 9.5), window 4, data to
        # bar 6: the samples run past the exit.  Fee 0.001, tax 0.003.
        prices = [10, 10, 11, 9, 10, 10.5, 10]
        closes = [10, 10, 11, 9.5, 10, 10.5, 10]
        args = run_inputs(
            prices,
            [(0, [1.0]), (2, [0.0])],
            closes=closes,
            resample=[0, 2],
            fee_ratio=0.001,
            tax_ratio=0.003,
            excursion_window=4,
        )
        bt(args)
        (stats,) = excursion.excursion
        r = [0.999]
        r.append(r[0] * (11 / 10))
        r.append(r[1] * (9.5 / 11))
        r.append(r[2] * (10 / 9.5))  # walked on from the unadjusted ratio
        exit_return = 9 / 9.5 * r[2] * (1 - 0.001 - 0.003)
        blocks = stats.reshape(-1, 6)
        assert blocks.shape == (5, 6)
        # Sample block 2 is the exit bar: it sees the exit costs, as does the
        # exit block; block 3 (after the exit) does not.
        assert blocks[2, 5] == exit_return - 1
        assert blocks[4, 5] == exit_return - 1
        assert blocks[3, 5] == r[3] - 1
        assert blocks[0, 5] == r[0] - 1 and blocks[1, 5] == r[1] - 1
        # The other statistics stay on the closes.
        assert blocks[4, 0] == r[2] - 1 and blocks[4, 1] == r[1] - 1

    def test_exit_on_the_entry_bar_pays_only_fee_and_tax(self):
        # A short bought by the rebalance of bar 1 and delisted on bar 1: entry
        # and exit share a bar, so only the (1 - fee - tax) factor applies, not
        # the price / close move (price 10, close 11).
        args = run_inputs(
            [10, 10, 10],
            [(0, [-1.0])],
            closes=[10, 11, 11],
            resample=[0],
            fee_ratio=0.001,
            tax_ratio=0.003,
            stop_loss=np.inf,
            delisting_bars=np.array([1], dtype=np.int64),
        )
        bt(args)
        assert trades() == [[0, 1, 1]]
        (stats,) = excursion.excursion
        entry = (1 - 0.001) * (2 - 11 / 10)
        assert stats[5] == (1 - 0.001 - 0.003) * entry - 1

    def test_position_cap_with_negative_equity(self):
        # A short of 0.3 (limit 0.3) at 10 leaves cash 1.3; the price goes to 60,
        # the short is worth -1.8 and equity is -0.5.  The new row [0.1] gives
        # the target 0.1 * -0.5 = -0.05, within |0.3 * -0.5| = 0.15: kept as is
        # (not clipped, and not turned into a long of 0.15).
        prices = [10, 10, 60, 60, 30]
        rows = [(0, [-0.3]), (2, [0.1])]
        args = run_inputs(prices, rows, position_limit=0.3, resample=[0, 2], stop_loss=np.inf)
        c = bt(args)
        assert c.tolist() == pytest.approx([1.0, 1.0, -0.5, -0.5, -0.475], abs=1e-12)
        # The resize is recorded as a new trade whose share is -0.05 / -0.5.
        assert trades() == [[0, 1, 3], [0, 3, -1]]
        assert positions() == pytest.approx([-0.3, 0.1])
        same_as_reference(args, c)

    def test_position_cap_clips_to_the_magnitude_with_the_sign_of_the_target(self):
        # Equity -0.5 again; row [-1.0]: target 0.5 exceeds 0.15 and is clipped
        # to +0.15 (the sign of the target), a long.
        prices = [10, 10, 60, 60, 30]
        rows = [(0, [-0.3]), (2, [-1.0])]
        args = run_inputs(prices, rows, position_limit=0.3, resample=[0, 2], stop_loss=np.inf)
        c = bt(args)
        # Bar 3: cash 1.3 - (-1.8 -> 0.15: buy 1.95) = -0.65; 0.15 long; -0.5.
        # Bar 4: the long halves: -0.65 + 0.075 = -0.575.
        assert c.tolist() == pytest.approx([1.0, 1.0, -0.5, -0.5, -0.575], abs=1e-12)
        same_as_reference(args, c)
