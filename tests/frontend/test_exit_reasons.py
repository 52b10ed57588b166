"""Each trade's exit reason is the engine's own record, on runs that exercise every kind."""

import numpy as np
import pandas as pd
import pytest

import torvex

runlog = pytest.importorskip("torvex._runlog")
if not hasattr(runlog, "last_run_log"):
    pytest.skip("the engine's run log is not built yet", allow_module_level=True)

DATES = pd.date_range("2024-01-01", periods=8, freq="B")


def ohlc(close, high=None, low=None):
    close = pd.DataFrame(close, index=DATES)
    return {
        "open": close,
        "high": close if high is None else pd.DataFrame(high, index=DATES),
        "low": close if low is None else pd.DataFrame(low, index=DATES),
        "close": close,
    }


def reasons(report):
    return dict(zip(report.trades["symbol"], report.trades["exit_reason"].astype(str)))


FLAT = [10.0] * 8


@pytest.mark.parametrize("touched", [False, True], ids=["close exits", "touched exits"])
def test_stop_loss_take_profit_and_trailing(touched):
    p = ohlc(
        {
            "L": [10, 10, 10, 8.5, 8.5, 8.5, 8.5, 8.5],  # -15%: stop-loss
            "P": [10, 10, 10, 12.5, 12.5, 12.5, 12.5, 12.5],  # +25%: take-profit
            "T": [10, 10, 10.8, 11.5, 10.9, 10.9, 10.9, 10.9],  # up 15%, back 6%: trailing stop
            "H": FLAT,
        }
    )  # held to the end: open
    pos = pd.DataFrame({"L": [0.25], "P": [0.25], "T": [0.25], "H": [0.25]}, index=DATES[:1])
    r = torvex.backtest(
        pos, p, stop_loss=0.1, take_profit=0.2, trail_stop=0.05, trail_stop_activation=0.1, touched_exit=touched
    )
    assert reasons(r) == {"L": "stop_loss", "P": "take_profit", "T": "trail_stop", "H": "open"}
    if touched:
        # Touched exits close on the bar that crossed the band.
        t = r.trades.set_index("symbol")
        assert t.loc["L", "exit_bar"] == 3 and t.loc["L", "touched"] and not t.loc["H", "touched"]


def test_short_stop_is_a_stop_loss():
    p = ohlc({"S": [10, 10, 10, 11.5, 11.5, 11.5, 11.5, 11.5]})
    r = torvex.backtest(pd.DataFrame({"S": [-1.0]}, index=DATES[:1]), p, stop_loss=0.1)
    assert reasons(r) == {"S": "stop_loss"}


def test_rebalance_and_delisting():
    p = ohlc({"A": FLAT, "D": [10, 10, 10, 10, np.nan, np.nan, np.nan, np.nan], "B": FLAT})
    pos = pd.DataFrame({"A": [0.5, 0.0], "D": [0.5, 0.5], "B": [0.0, 0.5]}, index=DATES[[0, 5]])
    r = torvex.backtest(pos, p)
    t = r.trades
    assert dict(zip(t["symbol"], t["exit_reason"].astype(str))) == {"A": "rebalance", "D": "delisted", "B": "open"}


def test_rebalance_bars_match_the_front_ends_own_rule(universe, momentum):
    r = torvex.backtest(momentum, universe, resample="W-FRI")
    log = r._run.runlog
    assert np.array_equal(np.asarray(log["rebalance_bars"]), r._run.exec_bars)
    assert np.array_equal(np.asarray(log["rebalance_rows"]), r._run.exec_rows)
