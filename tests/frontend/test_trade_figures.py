"""The trades table's ledger columns, reconcile() and the trade figures of stats(),
on random front-end runs of every kind and on small runs worked out by hand."""

import warnings

import numpy as np
import pandas as pd
import pytest
from scipy import stats as sps

import torvex
from torvex.report import STAT_NAMES

from support.scenarios import market

LEDGER_COLUMNS = ("entry_price", "exit_price", "fees", "taxes", "pnl", "committed", "return", "path_return")


def random_report(seed):
    position, prices, options, trading = random_inputs(seed)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # unreachable thresholds and input notes are warned about
        report = torvex.backtest(position, prices, **options)
    return report, trading


def random_inputs(seed):
    rng = np.random.default_rng(seed)
    nbars, ncols = int(rng.integers(30, 90)), int(rng.integers(2, 6))
    price, _, high, low, open_ = market(rng, nbars, ncols)
    for a in (high, low, open_):
        a[np.isnan(price) | (rng.random(a.shape) < 0.02)] = np.nan
    if rng.random() < 0.5:  # one stock stops trading for good, another lists late
        gone, late = rng.choice(ncols, 2, replace=False)
        price[int(rng.integers(nbars // 2, nbars - 2)) :, gone] = np.nan
        price[: int(rng.integers(1, nbars // 3)), late] = np.nan
    dates = pd.bdate_range("2022-01-03", periods=nbars)
    syms = [f"S{i}" for i in range(ncols)]

    def frame(a):
        return pd.DataFrame(a, index=dates, columns=syms)

    nrows = int(rng.integers(3, 10))
    rows = dates[np.sort(rng.choice(nbars - 1, nrows, replace=False))]
    shorts = rng.random() < 0.4
    if not shorts and rng.random() < 0.3:
        position = pd.DataFrame(rng.random((nrows, ncols)) < 0.5, index=rows, columns=syms)
    else:
        w = rng.random((nrows, ncols))
        w[rng.random(w.shape) < 0.3] = 0.0
        if shorts:
            w *= np.where(rng.random(w.shape) < 0.4, -1.0, 1.0)
        w *= float(rng.choice([1.0, 1.6])) / np.maximum(np.abs(w).sum(axis=1, keepdims=True), 1e-12)
        position = pd.DataFrame(w, index=rows, columns=syms)
    touched = bool(rng.random() < 0.5)
    ohlc = touched or rng.random() < 0.3
    delisting = rng.choice(["auto", "none", "mapping"])
    options = dict(
        stop_loss=rng.choice([None, 0.05, 0.1]),
        take_profit=rng.choice([None, 0.06, 0.15]),
        trail_stop=rng.choice([None, 0.04]),
        trail_stop_activation=float(rng.choice([0.0, 0.03])),
        position_limit=float(rng.choice([1.0, 0.4])),
        touched_exit=touched,
        retain_cost_when_rebalance=bool(rng.random() < 0.5),
        periodically_rebalance=bool(rng.random() < 0.5),
        excursion_window=int(rng.choice([0, 5])),
        excursion_window_step=int(rng.choice([1, 2])),
        resample=rng.choice([None, "W", "ME"]),
        trade_at=str(rng.choice(["close", "open"])) if ohlc else "close",
        fee_ratio=float(rng.choice([0.0, 0.001425])),
        tax_ratio=float(rng.choice([0.0, 0.003])),
        delisting={"auto": "auto", "none": None, "mapping": {syms[0]: dates[2 * nbars // 3]}}[delisting],
    )
    prices = (
        {"open": frame(open_), "high": frame(high), "low": frame(low), "close": frame(price)} if ohlc else frame(price)
    )
    return position, prices, options, frame(open_ if options["trade_at"] == "open" else price)


@pytest.mark.parametrize("block", range(2))
def test_the_users_frames_are_never_written(block):
    # Every frame handed in, and every frame-valued option, is deep-equal before and after the run and
    # the report's accessors (which build tables from the same memory).
    for seed in range(20 * block, 20 * block + 20):
        position, prices, options, _ = random_inputs(seed)
        frames = {"position": position, **(prices if isinstance(prices, dict) else {"price": prices})}
        before = {k: v.copy(deep=True) for k, v in frames.items()}
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            report = torvex.backtest(position, prices, **options)
            report.trades, report.stats(), report.position, report.drawdowns(), report.actions
        for k, v in frames.items():
            pd.testing.assert_frame_equal(v, before[k], check_exact=True, obj=f"{k} (seed {seed})")


def recomputed_trade_figures(trades):
    closed = trades[trades.exit_bar != -1]
    closed = closed[np.isfinite(closed.pnl) & np.isfinite(closed["return"])]
    win = closed.pnl > 0
    lost = closed.pnl[~win].sum()
    nan = float("nan")
    return dict(
        win_rate=win.mean() if len(closed) else nan,
        profit_factor=closed.pnl[win].sum() / -lost if (~win).any() and lost < 0 else nan,
        expectancy=closed["return"].mean() if len(closed) else nan,
        avg_win=closed["return"][win].mean() if win.any() else nan,
        avg_loss=closed["return"][~win].mean() if (~win).any() else nan,
        fees_paid=trades.fees.sum(),
        taxes_paid=trades.taxes.sum(),
        trades=len(trades),
    )


@pytest.mark.parametrize("block", range(4))
def test_trades_add_up_to_the_equity_curve(block):
    for seed in range(40 * block, 40 * block + 40):
        report, trading = random_report(seed)
        t = report.trades
        assert set(LEDGER_COLUMNS) <= set(t.columns), seed
        if not any(w.startswith("reconcile:") for w in report.warnings):
            assert abs(report.reconcile()) <= 1e-9 * max(1.0, report.creturn.abs().max()), seed
        assert (t["return"] == t.pnl / t.committed).all(), seed
        assert (t.committed > 0).all() and (t.fees >= 0).all() and (t.taxes >= 0).all(), seed
        assert (t.exit_price.isna() == (t.exit_bar == -1)).all(), seed
        # Targets without a trading price are dropped before the run: every entry fills at one.
        col, trading = trading.columns.get_indexer(t.symbol), trading.to_numpy()
        assert (t.entry_price == trading[t.entry_bar, col]).all(), seed
        plain = ((t.exit_bar != -1) & ~t.touched).to_numpy()
        at_exit = trading[t.exit_bar[plain], col[plain]]
        assert (t.exit_price[plain][~np.isnan(at_exit)] == at_exit[~np.isnan(at_exit)]).all(), seed
        unpriced = [w for w in report.warnings if w.startswith("exit:")]
        assert len(unpriced) == np.isnan(at_exit).sum(), seed


@pytest.mark.parametrize("seed", [3, 17, 29, 41, 58, 77])
def test_stats_agree_with_the_trades_table_and_the_returns(seed):
    report, _ = random_report(seed)
    s, t, r = report.stats(), report.trades, report.returns
    assert s.dtype == np.float64 and list(s.index) == list(STAT_NAMES)
    for name, want in recomputed_trade_figures(t).items():
        assert s[name] == pytest.approx(want, rel=1e-12, abs=1e-15, nan_ok=True), name
    assert s["bars"] == len(r)
    if r.std() > 0:
        assert s["skew"] == pytest.approx(sps.skew(r), rel=1e-12, abs=1e-14)
        assert s["kurtosis"] == pytest.approx(sps.kurtosis(r, fisher=False), rel=1e-12)
        assert s["sharpe_per_bar"] * np.sqrt(252) == pytest.approx(s["sharpe"], rel=1e-12)


DATES = pd.bdate_range("2021-03-01", periods=7)


def test_take_profit_touched_at_ten_percent():
    # Bought at 100 on bar 1; bar 2's high reaches 111 and the exit fills at the band, 110.
    close = pd.DataFrame({"A": [100.0, 100, 105, 106, 106]}, index=DATES[:5])
    high, low = close.copy(), close.copy()
    high.iloc[2], low.iloc[2] = 111.0, 99.0
    position = pd.DataFrame({"A": [1.0]}, index=DATES[:1])
    report = torvex.backtest(
        position,
        {"open": close, "high": high, "low": low, "close": close},
        take_profit=0.1,
        touched_exit=True,
        fee_ratio=0,
        tax_ratio=0,
    )
    assert report.creturn.iloc[-1] == pytest.approx(1.10, rel=1e-12)
    ((_, trade),) = report.trades.iterrows()
    assert trade.exit_reason == "take_profit" and trade.touched
    assert (trade.entry_price, trade.exit_price) == (100.0, pytest.approx(110.0, rel=1e-12))
    assert trade.pnl == pytest.approx(0.10, rel=1e-12) and trade["return"] == pytest.approx(0.10, rel=1e-12)
    s = report.stats()
    assert s["win_rate"] == 1.0 and np.isnan(s["profit_factor"])
    assert s["expectancy"] == pytest.approx(0.10, rel=1e-12) and s["trades"] == 1
    assert (s["fees_paid"], s["taxes_paid"]) == (0.0, 0.0)
    assert report.reconcile() == pytest.approx(0.0, abs=1e-15)


def test_stats_keys_with_and_without_trades():
    price = pd.DataFrame({"A": [10.0, 11, 12, 11, 12, 13, 12], "B": [20.0, 19, 21, 22, 21, 22, 23]}, index=DATES)
    busy = torvex.backtest(pd.DataFrame({"A": [0.6, 0.0], "B": [0.4, 0.9]}, index=DATES[[0, 3]]), price)
    idle = torvex.backtest(pd.DataFrame({"A": [0.0], "B": [0.0]}, index=DATES[:1]), price)
    assert len(idle.trades) == 0 and len(busy.trades) > 0
    for report in (busy, idle):
        s = report.stats()
        assert s.dtype == np.float64 and s.index.equals(pd.Index(STAT_NAMES))
        assert "start" not in s.index and "end" not in s.index
        assert report.start in DATES and report.end == DATES[-1]
        assert s.round(3).index.equals(s.index)
        assert s["bars"] == len(report.returns)
    s = idle.stats()
    assert (s["trades"], s["fees_paid"], s["taxes_paid"]) == (0.0, 0.0, 0.0)
    assert np.isnan(s[["win_rate", "profit_factor", "expectancy"]]).all()
    assert idle.reconcile() == 0.0
    s = busy.stats()
    assert s["fees_paid"] > 0 and s["taxes_paid"] > 0


@pytest.mark.parametrize("side", [1, -1], ids=["long", "short"])
@pytest.mark.parametrize("how", ["rebalance", "delisting"])
def test_exit_on_a_halted_bar(side, how):
    # A has no price on 2021-03-05, where the row of 03-04 sells it (or its delisting date
    # closes it): it goes at its last price, 12.
    price = pd.DataFrame({"A": [10, 10, 11, 12, np.nan, 12.5, 13], "B": [20, 20, 20, 21, 22, 22, 22.0]}, index=DATES)
    if how == "rebalance":
        report = torvex.backtest(pd.DataFrame({"A": [0.5 * side, 0.0], "B": [0.5, 0.5]}, index=DATES[[0, 3]]), price)
    else:
        report = torvex.backtest(
            pd.DataFrame({"A": [0.5 * side], "B": [0.5]}, index=DATES[:1]), price, delisting={"A": DATES[4]}
        )
    a = report.trades[report.trades.symbol == "A"].iloc[0]
    assert a.exit_date == DATES[4] and a.exit_price == 12.0
    assert np.isfinite(a["return"]) and np.isfinite(a.pnl)
    f, t, v = 0.001425, 0.003, 0.5
    want = v * (1 - f) * 1.2 * (1 - f - t) - v if side > 0 else v * (1 - f) - v * 1.2 * (1 + f + t)
    assert a.pnl == pytest.approx(want, rel=1e-12)
    lines = [w for w in report.warnings if w.startswith("exit: 'A' has no trading price on 2021-03-05")]
    assert len(lines) == 1 and lines[0].rstrip(".").endswith(" 12")
    assert abs(report.reconcile()) <= 1e-12


def test_value_of_exactly_zero_is_named():
    # A's smallest subnormal holding becomes 0.0 when its price falls to 4.
    price = pd.DataFrame({"A": [10, 10, 4, 4, 4.0], "B": [10, 10, 10, 11, 11.0]}, index=DATES[:5])
    report = torvex.backtest(pd.DataFrame({"A": [5e-324], "B": [0.5]}, index=DATES[:1]), price)
    assert list(report.trades.symbol) == ["B"]
    assert [w[:40] for w in report.warnings if w.startswith("reconcile:")] == [
        "reconcile: 'A' was held at a value of ex"
    ]
    assert abs(report.reconcile()) <= 1e-15


def test_touched_fill_beyond_a_bar_without_an_open_is_named():
    # Bought at 10; bar 2 has no open and trades wholly below the 10% stop (8.0 .. 8.5): the fill is
    # the band's level, 9, which the bar never traded, and the warning says so.
    idx = DATES[:4]
    frame = lambda v: pd.DataFrame({"A": v}, index=idx)  # noqa: E731
    report = torvex.backtest(
        frame([1.0])[:1],
        open=frame([10, 10, np.nan, 8.2]),
        high=frame([10, 10, 8.5, 8.2]),
        low=frame([10, 10, 8.0, 8.2]),
        close=frame([10, 10, 8.2, 8.2]),
        touched_exit=True,
        stop_loss=0.1,
        fee_ratio=0,
        tax_ratio=0,
    )
    assert report.trades.exit_price.iloc[0] == pytest.approx(9.0, rel=1e-12)
    lines = [w for w in report.warnings if w.startswith("touched_exit: 'A' has no open on 2021-03-03")]
    assert len(lines) == 1 and " 9," in lines[0]
    # With the open known, the gap fills at the open and nothing is said.
    gap = torvex.backtest(
        frame([1.0])[:1],
        open=frame([10, 10, 8.4, 8.2]),
        high=frame([10, 10, 8.5, 8.2]),
        low=frame([10, 10, 8.0, 8.2]),
        close=frame([10, 10, 8.2, 8.2]),
        touched_exit=True,
        stop_loss=0.1,
        fee_ratio=0,
        tax_ratio=0,
    )
    assert gap.trades.exit_price.iloc[0] == 8.4 and not any(w.startswith("touched_exit:") for w in gap.warnings)
