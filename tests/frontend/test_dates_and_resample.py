"""Date units, time zones and the mapping of resample to price bars."""

import numpy as np
import pandas as pd
import pytest

import torvex

DATES = pd.date_range("2024-01-01", periods=70, freq="B")
PRICE = pd.DataFrame({"A": np.linspace(10, 17, 70), "B": np.linspace(20, 15, 70)}, index=DATES)
POS = pd.DataFrame({"A": 0.5, "B": 0.5}, index=DATES[::10])


@pytest.mark.parametrize("unit", ["s", "ms", "us", "ns"])
def test_any_date_unit_gives_the_same_run(unit):
    ref = torvex.backtest(POS, PRICE)
    r = torvex.backtest(POS.set_axis(POS.index.as_unit(unit)), PRICE.set_axis(PRICE.index.as_unit(unit)))
    assert np.array_equal(r.creturn.to_numpy(), ref.creturn.to_numpy())
    assert r.trades["entry_bar"].tolist() == ref.trades["entry_bar"].tolist()


def test_time_zones():
    ny = PRICE.tz_localize("America/New_York")
    r = torvex.backtest(POS.tz_localize("America/New_York"), ny)
    assert r.creturn.index.tz is not None and str(r.trades["entry_date"].dt.tz) == "America/New_York"
    assert np.array_equal(r.creturn.to_numpy(), torvex.backtest(POS, PRICE).creturn.to_numpy())
    with pytest.raises(ValueError, match="position: dates are tz-naive but the price dates are in time zone America"):
        torvex.backtest(POS, ny)
    with pytest.raises(ValueError, match="position: dates are in time zone UTC but the price dates are in time zone"):
        torvex.backtest(POS.tz_localize("UTC"), ny)


@pytest.mark.parametrize("alias,canonical", [("M", "ME"), ("Q", "QE"), ("W", "W-SUN")])
def test_old_aliases_mean_the_period_ends(alias, canonical):
    a = torvex.backtest(POS.iloc[:1], PRICE, resample=alias)
    b = torvex.backtest(POS.iloc[:1], PRICE, resample=canonical)
    assert a.rebalances.equals(b.rebalances)


def test_month_end_rebalances_on_the_bar_after_the_last_bar_of_each_month():
    daily = pd.DataFrame({"A": 1.0, "B": 0.0}, index=DATES)
    daily.loc[DATES[DATES.month == 2], ["A", "B"]] = [0.0, 1.0]
    r = torvex.backtest(daily, PRICE, resample="ME")
    # Jan 31 (a Wednesday), Feb 29 and Mar 29 (Good Friday is a bar here) end their months; each row is
    # traded on the next bar; the partial April marks its last bar, Apr 5, which holds the same row as March.
    assert r.rebalances["date"].dt.strftime("%m-%d").tolist() == ["02-01", "03-01", "04-01"]
    assert r.rebalances["row_date"].dt.strftime("%m-%d").tolist() == ["01-31", "02-29", "03-29"]
    assert r.position["B"].tolist() == [0.0, 1.0, 0.0]


def test_explicit_dates_map_to_the_last_bar_on_or_before():
    # Saturday Jan 13 marks Friday Jan 12; the row of Jan 1 is then traded on Monday Jan 15.
    r = torvex.backtest(POS.iloc[:1], PRICE, resample=["2024-01-13"])
    assert r.rebalances["date"].tolist() == [pd.Timestamp("2024-01-15")]


def test_row_dated_on_a_bar_trades_on_the_next():
    r = torvex.backtest(POS.iloc[:1], PRICE, fee_ratio=0, tax_ratio=0)
    assert r.trades["entry_date"].iloc[0] == DATES[1]
    assert r.trades["entry_signal_date"].iloc[0] == DATES[0]
