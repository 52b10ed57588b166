"""Bad prices of held stocks are refused by the front end before the engine runs, and only on the
cells the run can read them at: a held stock's trading price and close (and open, high and low with
touched_exit) from the bar its row executes through the bar the next row executes."""

import re

import numpy as np
import pandas as pd
import pytest

import torvex
from torvex import _checks
from torvex.core import _typed

DATES = pd.bdate_range("2024-01-01", periods=12)
# Rows dated on bars 2 and 6 execute on bars 3 and 7: A is held on bars 3 .. 7 (sold on 7), B from 7.
ROWS = pd.DataFrame({"A": [0.5, 0.0], "B": [0.0, 0.5], "C": [0.0, np.nan]}, index=DATES[[2, 6]])
HELD_A = range(3, 8)
FREE_A = [0, 1, 2, 8, 9, 11]
FREE_B = [0, 1, 2, 3, 6]
FRAME_PREFIXES = ("price:", "open:", "high:", "low:", "close:")


def frames():
    close = pd.DataFrame(
        {"A": np.linspace(10, 12, 12), "B": np.linspace(20, 18, 12), "C": np.linspace(5, 6, 12)}, index=DATES
    )
    return {"open": close * 1.001, "high": close * 1.01, "low": close * 0.99, "close": close}


def with_bad(frame_name, symbol, bar, value):
    f = frames()
    f[frame_name] = f[frame_name].copy()
    f[frame_name].iloc[bar, f[frame_name].columns.get_loc(symbol)] = value
    return f


@pytest.fixture
def no_engine(monkeypatch):
    def refuse(*args, **kw):
        raise AssertionError("the engine ran")

    monkeypatch.setattr(_typed, "run", refuse)


def date(bar):
    return DATES[bar].strftime("%Y-%m-%d")


@pytest.mark.parametrize("value", [0.0, -0.0, -3.0, np.inf])
@pytest.mark.parametrize("bar", HELD_A)
@pytest.mark.parametrize(
    "frame_name, kw",
    [
        ("close", {}),  # trading price and close
        ("open", dict(trade_at="open")),
        ("close", dict(trade_at="open")),
        ("open", dict(touched_exit=True)),
        ("high", dict(touched_exit=True)),
        ("low", dict(touched_exit=True)),
    ],
)
def test_a_bad_price_of_a_held_stock_is_refused_before_the_run(no_engine, frame_name, kw, bar, value):
    f = with_bad(frame_name, "A", bar, value)
    with pytest.raises(ValueError) as info:
        torvex.backtest(ROWS, f, **kw)
    text = str(info.value)
    assert text.startswith(f"{frame_name}: expected positive finite prices; found {value!r} for 'A' on {date(bar)}")


def test_the_close_of_a_price_frame_is_named_price(no_engine):
    f = with_bad("close", "A", 5, 0.0)
    with pytest.raises(ValueError, match=r"^price: expected positive finite prices; found 0.0 for 'A'"):
        torvex.backtest(ROWS, f["close"])
    with pytest.raises(ValueError, match=r"^price: expected positive finite prices; found 0.0 for 'A'"):
        torvex.backtest(ROWS, f["close"], open=f["open"], trade_at="open")


@pytest.mark.parametrize("value", [0.0, -1.0, np.inf])
@pytest.mark.parametrize("frame_name", ["open", "high", "low", "close"])
@pytest.mark.parametrize("symbol, bar", [("A", b) for b in FREE_A] + [("B", b) for b in FREE_B] + [("C", 5)])
def test_a_bad_price_where_the_run_cannot_read_it_is_left_alone(frame_name, symbol, bar, value):
    f = with_bad(frame_name, symbol, bar, value)
    if frame_name in ("high", "low"):  # keep the bar's range ordered
        other = "low" if frame_name == "high" else "high"
        f[other].iloc[bar, f[other].columns.get_loc(symbol)] = value
    report = torvex.backtest(ROWS, f, touched_exit=True, trade_at="open", fee_ratio=0, tax_ratio=0)
    assert np.isfinite(report.creturn.to_numpy()).all()


def test_a_bad_price_after_a_stop_before_the_next_row_is_still_refused(no_engine):
    # The stop closes A early, but the run could hold A through bar 7: the check covers it.
    f = frames()
    f["close"].iloc[4, 0] = 5.0  # a 50% fall: the stop closes A on bar 5
    f["close"].iloc[6, 0] = 0.0
    with pytest.raises(ValueError, match=r"^price: .* for 'A' on " + date(6)):
        torvex.backtest(ROWS, f["close"], stop_loss=0.1)


def test_a_high_below_its_low_is_refused_with_touched_exit_only(no_engine):
    f = frames()
    f["high"].iloc[5, 0] = f["low"].iloc[5, 0] - 1.0
    with pytest.raises(ValueError, match=r"^high: expected highs at or above the lows; found .* for 'A' on " + date(5)):
        torvex.backtest(ROWS, f, touched_exit=True)


def test_a_high_below_its_low_is_not_read_without_touched_exit():
    f = frames()
    f["high"].iloc[5, 0] = f["low"].iloc[5, 0] - 1.0
    torvex.backtest(ROWS, f)


def test_a_target_removed_for_want_of_a_price_holds_nothing():
    # A has no price on bar 3, where its row executes: the target is removed and A's later bad
    # prices are never read.
    f = frames()
    f["close"].iloc[3, 0] = np.nan
    f["close"].iloc[4:7, 0] = 0.0
    with pytest.warns(UserWarning, match="'A' has no trading price on 2024-01-04"):
        report = torvex.backtest(ROWS, f["close"])
    assert any("'A' has no trading price" in t for t in report.warnings)


def test_position_columns_in_another_order_name_the_right_symbol(no_engine):
    f = with_bad("close", "A", 4, 0.0)
    rows = ROWS[["C", "B", "A"]]
    with pytest.raises(ValueError, match=r"^price: .* for 'A' on " + date(4)):
        torvex.backtest(rows, f["close"])
    rows = ROWS[["A"]]  # a subset of the price columns
    with pytest.raises(ValueError, match=r"^price: .* for 'A' on " + date(4)):
        torvex.backtest(rows, f["close"])


# ------------------------------------------- a first row dated between two bars (a Saturday)

AUG = pd.bdate_range("2024-08-26", periods=30)  # 2024-08-31 is a Saturday, bar 5 the Monday after
MONTH_ENDS = pd.DataFrame({"A": [1.0, 0.0], "B": [0.0, 1.0]}, index=pd.to_datetime(["2024-08-31", "2024-09-30"]))


def aug_prices():
    return pd.DataFrame({"A": np.linspace(10, 12, 30), "B": np.linspace(5, 6, 30)}, index=AUG)


def test_a_first_row_dated_on_a_weekend_is_checked_where_it_executes(no_engine):
    p = aug_prices()
    p.iloc[6, 0] = 0.0  # A, bought on the Monday (bar 5), is held on bar 6
    with pytest.raises(ValueError, match=r"^price: expected positive finite prices; found 0.0 for 'A' on 2024-09-03"):
        torvex.backtest(MONTH_ENDS, p)


def test_a_first_row_dated_on_a_weekend_executes_on_the_next_bar():
    report = torvex.backtest(MONTH_ENDS, aug_prices(), fee_ratio=0, tax_ratio=0)
    assert report.creturn.index[report._run.exec_bars].strftime("%Y-%m-%d").tolist() == ["2024-09-02", "2024-10-01"]
    assert report.trades["entry_date"].dt.strftime("%Y-%m-%d").tolist() == ["2024-09-02", "2024-10-01"]
    # One such row alone is a run too.
    report = torvex.backtest(MONTH_ENDS.iloc[:1], aug_prices(), fee_ratio=0, tax_ratio=0)
    assert report.trades["entry_date"].dt.strftime("%Y-%m-%d").tolist() == ["2024-09-02"]


def test_a_first_row_target_without_a_price_where_it_executes_is_removed():
    p = aug_prices()
    p.loc[:"2024-09-03", "A"] = np.nan  # A listed after the Monday the first row executes on
    with pytest.warns(UserWarning, match="'A' has no trading price on 2024-09-02, where the row of 2024-08-31"):
        report = torvex.backtest(MONTH_ENDS, p, fee_ratio=0, tax_ratio=0)
    assert report.trades["symbol"].tolist() == ["B"]
    assert report.creturn.iloc[:26].eq(1.0).all()
    assert abs(report.reconcile()) < 1e-12


# ------------------------------------------------------------------ random runs

BAD = np.array([0.0, -1.0, -np.inf, np.inf, -1e-300])


def random_case(rng):
    nbars, ncols = int(rng.integers(6, 30)), int(rng.integers(1, 6))
    dates = pd.bdate_range("2024-01-01", periods=nbars)
    symbols = [f"S{i}" for i in range(ncols)]
    close = np.exp(np.cumsum(rng.normal(0, 0.03, (nbars, ncols)), axis=0)) * rng.uniform(5, 50, ncols)
    # Late listings and early delistings.
    for c in range(ncols):
        if rng.random() < 0.3:
            close[: rng.integers(0, nbars // 2), c] = np.nan
        if rng.random() < 0.2:
            close[rng.integers(nbars // 2, nbars) :, c] = np.nan
    high = close * rng.uniform(1.0, 1.03, close.shape)
    low = close * rng.uniform(0.97, 1.0, close.shape)
    open_ = low + (high - low) * rng.random(close.shape)
    arrays = {"open": open_, "high": high, "low": low, "close": close}
    touched = bool(rng.random() < 0.4)
    trade_at = "open" if rng.random() < 0.4 else "close"
    for a in arrays.values():
        hit = rng.random(a.shape) < rng.choice([0.0, 0.02, 0.08])
        a[hit] = rng.choice(BAD, hit.sum())
    if touched:  # a high below its low now and then
        hit = rng.random(close.shape) < 0.01
        high[hit] = low[hit] * 0.5
    price = {k: pd.DataFrame(v, index=dates, columns=symbols) for k, v in arrays.items()}
    # Rows on random dates (some between the bars, some repeated weights), random weights.
    nrows = int(rng.integers(1, 6))
    days = pd.date_range(dates[0] - pd.Timedelta(days=3), dates[-2])  # weekends and a day before the bars
    row_dates = pd.DatetimeIndex(np.sort(rng.choice(days, nrows, replace=False)))
    if row_dates[-1] < dates[0] + pd.Timedelta(days=1):  # one row within the price dates
        row_dates = row_dates[:-1].append(pd.DatetimeIndex([dates[1]]))
    if rng.random() < 0.3:
        row_dates = row_dates + pd.Timedelta(hours=12)
    weights = rng.choice([0.0, 0.0, 0.2, 0.5, -0.3, np.nan], (nrows, ncols))
    if rng.random() < 0.3 and nrows > 1:
        weights[1] = weights[0]
    cols = list(rng.permutation(symbols)[: int(rng.integers(1, ncols + 1))])
    if rng.random() < 0.25:
        position = pd.DataFrame(weights > 0, index=row_dates, columns=symbols)[cols]
    else:
        position = pd.DataFrame(weights, index=row_dates, columns=symbols)[cols]
    kw = dict(trade_at=trade_at, touched_exit=touched, delisting=rng.choice(["auto", None]))
    if rng.random() < 0.4:
        kw["stop_loss"] = float(rng.choice([0.02, 0.05, 0.2]))
    if rng.random() < 0.3:
        kw["resample"] = "W"
    if not touched and trade_at == "close" and rng.random() < 0.5:
        price = price["close"]
    return position, price, kw


def outcome(position, price, kw):
    """None for a run that went through, else the error's type and text."""
    try:
        report = torvex.backtest(position, price, **kw)
    except Exception as exc:
        return type(exc), str(exc)
    # Positions open only where the front end's schedule executes a row (so its checks cover them).
    entries = report.trades["entry_date"].dropna()
    assert entries.isin(report.creturn.index[report._run.exec_bars]).all()
    return None


FOUND = re.compile(r"found (\S+) for '([^']*)' on (\S+)")


@pytest.mark.filterwarnings("ignore::UserWarning")
@pytest.mark.parametrize("seed", range(50))
def test_the_front_end_refuses_before_the_engine_does(seed, monkeypatch):
    position, price, kw = random_case(np.random.default_rng(seed))
    checked = outcome(position, price, kw)
    if checked is not None:
        kind, text = checked
        assert kind is ValueError and "Invalid trading price" not in text, text
        assert text.startswith(FRAME_PREFIXES), text
        m = FOUND.search(text)
        if m and "positive finite" in text:
            value = float(m.group(1))
            assert value <= 0 or value == np.inf
            assert m.group(2) in list(position.columns)
    # With the front end's check off, a run that fails on its prices (the engine's invalid price,
    # or a division by a zero price) must have been refused by the check.
    monkeypatch.setattr(_checks, "held_prices", lambda *a, **k: None)
    unchecked = outcome(position, price, kw)
    if unchecked is not None:
        assert checked is not None, unchecked
