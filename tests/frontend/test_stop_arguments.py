"""Stop arguments by symbol and by date, and None meaning no stop on either side."""

import numpy as np
import pandas as pd
import pytest

import torvex

DATES = pd.date_range("2024-01-01", periods=8, freq="B")
PRICE = pd.DataFrame({"A": [10, 10, 10, 9.0, 9, 9, 9, 9], "B": [10, 10, 10, 9.0, 9, 9, 9, 9]}, index=DATES)
BOTH = pd.DataFrame({"A": [0.5], "B": [0.5]}, index=DATES[:1])


def exits(report):
    t = report.trades.set_index("symbol")
    return {s: int(t.loc[s, "exit_bar"]) for s in t.index}


def test_series_by_symbol():
    # A falls 10% on bar 3: stopped at 5%, exited at bar 4; B has no stop and stays open.
    r = torvex.backtest(BOTH, PRICE, stop_loss=pd.Series({"A": 0.05}))
    assert exits(r) == {"A": 4, "B": -1}


def test_frame_by_date_is_in_force_from_its_date():
    # The 5% stop starts on bar 5: the 10% fall of bar 3 is already in, so the close of bar 5 triggers it.
    table = pd.DataFrame({"A": [0.05], "B": [np.nan]}, index=DATES[5:6])
    r = torvex.backtest(BOTH, PRICE, stop_loss=table)
    assert exits(r) == {"A": 6, "B": -1}


def test_none_is_no_stop_unlike_the_engine_default():
    # A short whose price doubles: the engine's default 1.0 stops it at a 100% loss, None does not.
    up = pd.DataFrame({"A": [10, 10, 10, 20.5, 21, 21, 21, 21.0]}, index=DATES)
    short = pd.DataFrame({"A": [-0.5]}, index=DATES[:1])
    assert exits(torvex.backtest(short, up)) == {"A": -1}
    assert exits(torvex.backtest(short, up, stop_loss=1.0)) == {"A": 4}


def test_unknown_symbol_is_refused():
    with pytest.raises(ValueError, match="take_profit: expected symbols of position; found 'Z'"):
        torvex.backtest(BOTH, PRICE, take_profit=pd.Series({"Z": 0.1}))
    with pytest.raises(TypeError, match="stop_loss: expected None, a number, a Series by symbol"):
        torvex.backtest(BOTH, PRICE, stop_loss="5%")
