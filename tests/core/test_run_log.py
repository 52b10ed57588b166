"""The run log: why each trade of the last run ended, and where its rebalances
executed.

Unless a test says otherwise: one stock, bought (or shorted) with all of the
equity by the row of bar 0 on bar 1 at price 10, no fees, every bar marked.
"""

import numpy as np
import pytest

from torvex._runlog import EXIT_REASONS, last_run_log
from torvex.core import excursion, pathsim

from support.inputs import run_fresh
from support.reference_model import run_inputs

LONG, SHORT = [(0, [1.0])], [(0, [-1.0])]


def run(args):
    pathsim.backtest_(**args)
    log = last_run_log()
    assert len(log["exit_reason"]) == len(excursion.trades) == len(log["touched"])
    assert log["matches_trade_log"]
    return log


def reasons(log):
    return [EXIT_REASONS[c] for c in log["exit_reason"]]


class TestCloseExits:
    def test_stop_loss_long(self):
        # Close 8.5 at bar 2: ratio 0.85 < 0.9, sold on bar 3.
        log = run(run_inputs([10, 10, 8.5, 8, 8], LONG, stop_loss=0.1))
        assert [[int(x) for x in t] for t in excursion.trades] == [[0, 1, 3]]
        assert reasons(log) == ["stop_loss"] and log["touched"].tolist() == [False]

    def test_stop_loss_short(self):
        # A short's stop is the upper side: 11.5 / 10 = 1.15 >= 1.1.
        log = run(run_inputs([10, 10, 11.5, 12, 12], SHORT, stop_loss=0.1))
        assert reasons(log) == ["stop_loss"]

    def test_take_profit_long_and_short(self):
        log = run(run_inputs([10, 10, 12.5, 13, 13], LONG, take_profit=0.25))
        assert reasons(log) == ["take_profit"]
        # A short takes profit below: 7.5 / 10 = 0.75 < 1 - 0.2.
        log = run(run_inputs([10, 10, 7.5, 7, 7], SHORT, take_profit=0.2))
        assert reasons(log) == ["take_profit"]

    def test_trailing_stop_long(self):
        # Best ratio 1.2 arms the trail (activation 0.1); 1.2 - 0.05 = 1.15 is
        # above the stop-loss bound 0.9, so the trail formed the band when the
        # close 11.0 (ratio 1.1) fell out of it.
        log = run(run_inputs([10, 10, 12, 11, 11, 11], LONG, stop_loss=0.1, trail_stop=0.05, trail_stop_activation=0.1))
        assert reasons(log) == ["trail_stop"]

    def test_trailing_stop_short(self):
        # Worst ratio 0.8 arms it; 0.8 + 0.05 = 0.85 is below 1.1.
        log = run(run_inputs([10, 10, 8, 9, 9, 9], SHORT, stop_loss=0.1, trail_stop=0.05, trail_stop_activation=0.1))
        assert reasons(log) == ["trail_stop"]

    def test_trail_not_tighter_than_the_stop_is_a_stop_loss(self):
        # Trail 0.5 below the best ratio 1.0 is 0.5, looser than 0.9.
        log = run(run_inputs([10, 10, 8.5, 8, 8], LONG, stop_loss=0.1, trail_stop=0.5))
        assert reasons(log) == ["stop_loss"]


class TestTouchedExits:
    @staticmethod
    def touched(o, h, low, **settings):
        # Bar 2 opens, reaches and dips to the given prices; other bars are flat.
        prices = [10, 10, 10, 10]
        high, lo, op = ([10.0] * 4 for _ in range(3))
        op[2], high[2], lo[2] = o, h, low
        return run_inputs(
            prices, settings.pop("rows", LONG), high=high, low=lo, open_=op, touched_exit=True, **settings
        )

    def test_touched_stop_loss_and_take_profit(self):
        log = run(self.touched(10, 10.5, 8.5, stop_loss=0.1))
        assert reasons(log) == ["stop_loss"] and log["touched"].tolist() == [True]
        log = run(self.touched(10, 12.5, 9.5, take_profit=0.2))
        assert reasons(log) == ["take_profit"] and log["touched"].tolist() == [True]

    def test_gap_through_the_band_counts_on_the_side_of_the_open(self):
        log = run(self.touched(8, 10, 8, stop_loss=0.1, take_profit=0.2))
        assert reasons(log) == ["stop_loss"]

    def test_short_touched_stop(self):
        log = run(self.touched(10, 11.5, 9.9, rows=SHORT, stop_loss=0.1))
        assert reasons(log) == ["stop_loss"] and log["touched"].tolist() == [True]


class TestOtherEnds:
    def test_delisting_and_open(self):
        # A delisted at bar 2; B held to the end.
        args = run_inputs(
            [[10, 10], [10, 10], [10, 10], [10, 10]],
            [(0, [0.5, 0.5])],
            delisting_bars=np.array([2, -1], dtype=np.int64),
        )
        log = run(args)
        assert [[int(x) for x in t] for t in excursion.trades] == [[0, 1, 2], [1, 1, -1]]
        assert reasons(log) == ["delisted", "open"]

    def test_rebalance_close_and_split_resize(self):
        # Row of bar 2 sells A and resizes B; with periodic rebalancing and
        # without a kept cost basis the log splits B's trade at the resize.
        rows = [(0, [0.5, 0.5]), (2, [0.0, 0.8])]
        args = run_inputs([[10, 10]] * 5, rows, resample=[0, 2])
        log = run(args)
        trades = [[int(x) for x in t] for t in excursion.trades]
        assert trades == [[0, 1, 3], [1, 1, 3], [1, 3, -1]]
        assert reasons(log) == ["rebalance", "rebalance", "open"]
        # A kept cost basis keeps B's trade whole: the resize ends nothing.
        log = run(dict(args, retain_cost_when_rebalance=True))
        assert [[int(x) for x in t] for t in excursion.trades] == [[0, 1, 3], [1, 1, -1]]
        assert reasons(log) == ["rebalance", "open"]


class TestRebalanceBars:
    def test_known_schedule(self):
        # Rows dated on bars 0, 3 and 5.5; resample marks bars 0, 3 and 6. A
        # mark executes the row in force on the bar after it: row 0 at bar 1,
        # row 1 at bar 4, row 2 (in force from bar 6) at bar 7.
        rows = [(0, [1.0]), (3, [0.5]), (5.5, [0.2])]
        args = run_inputs([10] * 9, rows, resample=[0, 3, 6])
        log = run(args)
        assert log["rebalance_bars"].tolist() == [1, 4, 7]
        assert log["rebalance_rows"].tolist() == [0, 1, 2]
        assert log["rebalance_bars"].dtype == np.int64


class TestLifecycle:
    def test_before_any_run(self):
        out = run_fresh("""
            from torvex._runlog import last_run_log
            log = last_run_log()
            print(sorted(log), [len(v) for k, v in sorted(log.items()) if k != 'matches_trade_log'],
                  log['matches_trade_log'])
        """)
        assert out.strip() == (
            "['committed', 'entry_price', 'exit_price', 'exit_reason', 'fees', "
            "'matches_trade_log', 'pnl', 'rebalance_bars', 'rebalance_rows', 'taxes', "
            "'touched', 'unpriced_exit', 'unrecorded_pnl', 'unrecorded_sids'] "
            "[0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0] True"
        )

    def test_failed_run_keeps_the_completed_log_and_says_so(self):
        run(run_inputs([10, 10, 8.5, 8, 8], LONG, stop_loss=0.1))
        # Fails before the trade log is restarted: the log still matches it.
        with pytest.raises(TypeError):
            pathsim.backtest_(**dict(run_inputs([10, 10], LONG), fee_ratio="x"))
        log = last_run_log()
        assert reasons(log) == ["stop_loss"] and log["matches_trade_log"]
        # Fails in the bar loop (a negative trading price at bar 2), after the
        # trade log was restarted.
        with pytest.raises(ValueError, match="Invalid trading price"):
            pathsim.backtest_(**run_inputs([10, 10, -1, 10], LONG))
        log = last_run_log()
        assert reasons(log) == ["stop_loss"] and not log["matches_trade_log"]
        run(run_inputs([10, 10, 10], LONG))
        assert reasons(last_run_log()) == ["open"]

    def test_arrays_are_copies(self):
        log = run(run_inputs([10, 10, 8.5, 8, 8], LONG, stop_loss=0.1))
        log["exit_reason"][0] = 0
        assert reasons(last_run_log()) == ["stop_loss"]
