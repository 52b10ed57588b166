"""The front end hands the engine exactly the arrays it reports on: creturn and every trade
record equal a direct backtest_ call bit for bit."""

import numpy as np
import pandas as pd
import pytest

import torvex
from frontend._frontend_helpers import captured_backtest, direct_run

CASES = {
    "close, defaults": dict(),
    "open trades, close-mode stops": dict(trade_at="open", stop_loss=0.05, take_profit=0.1),
    "touched exits with trailing stop": dict(
        trade_at="open", touched_exit=True, stop_loss=0.04, trail_stop=0.03, trail_stop_activation=0.02
    ),
    "windows and retained cost": dict(
        excursion_window=15,
        excursion_window_step=4,
        retain_cost_when_rebalance=True,
        stop_loss=0.08,
        stop_trading_next_period=False,
    ),
    "explicit delisting, weekly": dict(resample="W-FRI", delisting={"S0003": "2024-06-28"}),
}


def _same_bits(a, b):
    return np.array_equal(np.asarray(a, np.float64).view(np.uint64), np.asarray(b, np.float64).view(np.uint64))


@pytest.mark.parametrize("case", list(CASES))
def test_report_equals_direct_call(monkeypatch, universe, momentum, case):
    report, args, options = captured_backtest(monkeypatch, momentum, universe, **CASES[case])
    creturn, rows, ex = direct_run(args, options)
    assert _same_bits(report.creturn.to_numpy(), creturn)
    trades = report.trades
    assert len(trades) == len(rows) > 0
    sym = [str(s) for s in trades["symbol"]]
    assert sym == [r[0] for r in rows]
    assert (trades["entry_bar"].to_numpy() == [r[7] for r in rows]).all()
    assert (trades["exit_bar"].to_numpy() == [r[8] for r in rows]).all()
    assert (trades["period"].to_numpy() == [r[6] for r in rows]).all()
    assert _same_bits(trades["position"].to_numpy(), [r[5] for r in rows])
    assert (trades["entry_date"].dt.as_unit("ns").astype("int64").to_numpy() == [r[1] for r in rows]).all()
    exit_ns = trades["exit_date"].dt.as_unit("ns").astype("int64").to_numpy()
    closed = trades["exit_bar"].to_numpy() != -1
    assert (exit_ns[closed] == np.array([r[2] for r in rows])[closed]).all()
    sig = trades["exit_signal_date"].dt.as_unit("ns").astype("int64").to_numpy()
    assert (sig[closed] == np.array([r[4] for r in rows])[closed]).all()
    last = np.array([x[-6:] for x in ex])
    for k, name in enumerate(["mae", "gmfe", "bmfe", "mdd", "profit_period", "path_return"]):
        assert _same_bits(trades[name].to_numpy(np.float64), last[:, k]), name
    if options["excursion_window"]:
        # Sample block at offset 4 is the second block of each vector.
        got = trades["path_return_at_4"].to_numpy()
        want = np.array([x[11] for x in ex])
        ok = ~np.isnan(got)
        assert ok.any() and _same_bits(got[ok], want[ok])


def test_hand_built_arrays(universe):
    """A user's own conversion of a weight frame gives the same run as the front end."""
    close = universe["close"]
    dates = close.index[::21][1:]
    w = pd.DataFrame(0.0, index=dates, columns=close.columns)
    w[["S0001", "S0005", "S0009"]] = 0.3
    report = torvex.backtest(w, close, delisting=None, stop_loss=0.1)
    from torvex.core import pathsim

    c = close.to_numpy()
    idx = close.index.as_unit("ns").asi8
    names = np.array(list(close.columns), dtype=object)
    pidx = dates.as_unit("ns").asi8
    want = pathsim.backtest_(c, c, None, None, None, idx, names, w.to_numpy(), pidx, names.copy(), pidx, stop_loss=0.1)
    assert _same_bits(report.creturn.to_numpy(), want)
