"""Odd inputs to torvex.backtest: a clear error or a visible warning, never a silent change."""

import warnings

import numpy as np
import pandas as pd
import pytest

import torvex

DATES = pd.date_range("2024-01-01", periods=6, freq="B")


def prices(**cols):
    base = {"A": [10, 10, 11, 12, 12, 13.0], "B": [20, 21, 22, 21, 20, 19.0]}
    base.update(cols)
    return pd.DataFrame(base, index=DATES)


def row(**w):
    return pd.DataFrame(w, index=DATES[:1])


def ohlc(close=None, **frames):
    c = prices() if close is None else close
    out = {"open": c, "high": c * 1.02, "low": c * 0.98, "close": c}
    out.update(frames)
    return out


def quiet(*args, **kw):
    """A run that must not warn."""
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        return torvex.backtest(*args, **kw)


# ------------------------------------------------------------------ costs and limits


@pytest.mark.parametrize(
    "name, value",
    [("fee_ratio", -1.0), ("fee_ratio", 1.0), ("tax_ratio", -0.003), ("tax_ratio", 1.5), ("fee_ratio", np.nan)],
)
def test_cost_outside_a_fraction_is_refused(name, value):
    with pytest.raises(ValueError, match=f"{name}: expected a"):
        torvex.backtest(row(A=1.0), prices(), **{name: value})


@pytest.mark.parametrize(
    "kw, text",
    [
        ({"fee_ratio": 0.1425}, "fee_ratio: 0.1425 is a cost of 14.25%"),
        ({"tax_ratio": 0.3}, "tax_ratio: 0.3 is a cost of 30%"),
        ({"position_limit": 20}, "position_limit: 20 has no effect"),
    ],
)
def test_cost_or_limit_that_looks_like_per_cent_warns(kw, text):
    with pytest.warns(UserWarning, match=text) as rec:
        r = torvex.backtest(row(A=1.0), prices(), **kw)
    assert rec[0].filename == __file__  # points at the caller's line
    assert any(w.startswith(text) for w in r.warnings)


@pytest.mark.parametrize(
    "pos",
    [
        row(A=1.0),
        row(A=0.3, B=-0.3),
        row(A=True, B=True),
        pd.DataFrame({f"S{i}": [0.05] for i in range(20)}, index=DATES[:1]),
    ],
    ids=["one", "long-short", "bool", "twenty-fractions"],
)
def test_ordinary_inputs_do_not_warn(pos):
    p = pd.concat([prices()] + [prices()[["A"]].rename(columns={"A": f"S{i}"}) for i in range(20)], axis=1)
    quiet(pos, p)
    quiet(pos, ohlc(p), touched_exit=True, stop_loss=0.05)


# ------------------------------------------------------------------ weights


@pytest.mark.parametrize("seed", range(6))
def test_gross_above_one_warns_and_trades_the_rescaled_row(seed):
    rng = np.random.default_rng(seed)
    w = pd.DataFrame(rng.normal(0, 0.6, (3, 2)), index=DATES[[0, 1, 2]], columns=["A", "B"])
    gross = w.abs().sum(axis=1)
    # Rows 0 .. 2 execute on bars 1 .. 3.
    with warnings.catch_warnings(record=True) as rec:
        warnings.simplefilter("always")
        r = torvex.backtest(w, prices(), fee_ratio=0, tax_ratio=0)
    texts = [str(x.message) for x in rec if "gross weight" in str(x.message)]
    over = gross[gross > 1 + 1e-9]
    if over.empty:
        assert texts == []
    else:
        assert len(texts) == 1 and f"row of {over.index[0]:%Y-%m-%d}" in texts[0]
        assert f"scaled by {1 / over.iloc[0]:g}" in texts[0]
    scaled = torvex.backtest(w.div(np.maximum(gross, 1), axis=0), prices(), fee_ratio=0, tax_ratio=0)
    np.testing.assert_allclose(r.creturn, scaled.creturn, rtol=1e-12)


def test_hedged_and_per_cent_weights_warn():
    with pytest.warns(UserWarning, match=r"row of 2024-01-01 has a gross weight of 2 .*scaled by 0.5"):
        torvex.backtest(row(A=1.0, B=-1.0), prices())
    with pytest.warns(UserWarning, match="weights are fractions: 0.1 means 10%; found 50 for 'A' on 2024-01-01"):
        torvex.backtest(row(A=50.0, B=50.0), prices())


# ------------------------------------------------------------------ prices


@pytest.mark.parametrize("bad", [0.0, -5.0, np.inf])
@pytest.mark.parametrize("frame", ["close", "high", "low", "open"])
def test_unusable_price_of_a_held_stock_is_refused(bad, frame):
    c = prices()
    p = ohlc(c)
    p[frame] = p[frame].copy()
    p[frame].iloc[3, 0] = bad
    with pytest.raises(ValueError, match=f"{frame}: expected positive finite prices; found .* for 'A' on 2024-01-04"):
        torvex.backtest(row(A=1.0), p, touched_exit=True, stop_loss=0.5)


def test_unusable_close_with_trading_at_open_is_refused():
    c = prices(A=[10, 10, 11, 0, 12, 13.0])
    with pytest.raises(ValueError, match="close: expected positive finite prices; found 0.0 for 'A' on 2024-01-04"):
        torvex.backtest(row(A=1.0), {"open": prices(), "close": c}, trade_at="open")


def test_unusable_price_outside_what_is_held_is_left_alone():
    p = prices(B=[20, 0, 22, -1, 20, 19.0])  # B is never held
    assert np.isfinite(quiet(row(A=1.0), p).creturn).all()


@pytest.mark.parametrize("extreme", [1e305, 1e-310])
def test_prices_that_overflow_the_equity_are_named(extreme):
    p = prices(A=[10, 10, extreme, 12, 12, 13.0])
    with pytest.raises(ValueError, match=r"price: expected prices that keep the equity finite; .*2024-01-0[34].*'A'"):
        torvex.backtest(row(A=1.0), p)


def test_high_below_low_is_refused_and_closes_outside_the_range_warn():
    p = ohlc()
    p["high"], p["low"] = p["low"], p["high"]
    with pytest.raises(ValueError, match="high: expected highs at or above the lows; found .* for 'A' on 2024-01-02"):
        torvex.backtest(row(A=1.0), p, touched_exit=True)
    p = ohlc(close=prices() * 1.1)
    p["open"], p["high"], p["low"] = prices(), prices() * 1.01, prices() * 0.99
    with pytest.warns(UserWarning, match="close: 11 for 'A' on 2024-01-02 lies outside the bar's low"):
        torvex.backtest(row(A=1.0), p, touched_exit=True)


# ------------------------------------------------------------------ dates, options, columns


@pytest.mark.parametrize("where", ["price", "position", "stop_loss"])
def test_nat_in_an_index_is_refused(where):
    idx = DATES.insert(6, pd.NaT)
    p = prices().reindex(DATES).set_axis(idx[1:], axis=0) if where == "price" else prices()
    pos = pd.DataFrame({"A": [1.0, 1.0]}, index=idx[[0, 6]]) if where == "position" else row(A=1.0)
    sl = pd.DataFrame({"A": [0.1, 0.1]}, index=idx[[0, 6]]) if where == "stop_loss" else None
    with pytest.raises(ValueError, match=f"{where}: expected dates without gaps; found NaT"):
        torvex.backtest(pos, p, stop_loss=sl)


@pytest.mark.parametrize(
    "when, found", [(pd.NaT, "NaT"), ("not a date", "'not a date'"), (pd.Timestamp("3000-01-01"), "3000-01-01")]
)
def test_unusable_delisting_date_is_refused(when, found):
    with pytest.raises(ValueError, match=f"delisting: expected .*; found {found}"):
        torvex.backtest(row(A=1.0), prices(), delisting={"A": when})


@pytest.mark.parametrize("when, found", [([DATES[2], pd.NaT], "NaT"), (["2024-01-03", "next week"], "'next week'")])
def test_unusable_rebalance_date_is_refused(when, found):
    with pytest.raises(ValueError, match=f"resample: expected a date; found {found} \\(first at row 1\\)"):
        torvex.backtest(row(A=1.0), prices(), resample=when)


def test_dates_beyond_nanoseconds_are_refused():
    far = pd.DatetimeIndex(np.array(["2024-01-01", "3000-01-01"], dtype="datetime64[s]"))
    with pytest.raises(ValueError, match="position: expected dates between .*; found 3000-01-01"):
        torvex.backtest(pd.DataFrame({"A": [1.0, 0.0]}, index=far), prices())


@pytest.mark.parametrize(
    "name", ["touched_exit", "retain_cost_when_rebalance", "stop_trading_next_period", "periodically_rebalance"]
)
@pytest.mark.parametrize("value", [pd.NA, "yes", None, 2])
def test_bool_option_of_another_type_is_refused(name, value):
    with pytest.raises(TypeError, match=f"{name}: expected True or False; found"):
        torvex.backtest(row(A=1.0), ohlc(), **{name: value})


@pytest.mark.parametrize("where", ["price", "open", "position", "stop_loss"])
def test_multiindex_columns_are_refused(where):
    two = pd.MultiIndex.from_tuples([("x", "A"), ("x", "B")])
    p = ohlc() if where == "open" else prices()
    kw = {}
    if where == "price":
        p = p.set_axis(two, axis=1)
    elif where == "open":
        kw = {"open": p.pop("open").set_axis(two, axis=1)}
    pos = row(A=1.0, B=0.0).set_axis(two, axis=1) if where == "position" else row(A=1.0)
    if where == "stop_loss":
        kw = {"stop_loss": row(A=0.1, B=0.1).set_axis(two, axis=1)}
    with pytest.raises(ValueError, match=f"{where}: expected one column per symbol; found MultiIndex"):
        torvex.backtest(pos, p, **kw)


# ------------------------------------------------------------------ nullable and arrow dtypes


@pytest.mark.parametrize("dtype", ["Float64", "double[pyarrow]"])
def test_nullable_frames_read_na_as_nan(dtype):
    p = prices(B=[20, np.nan, 22, 21, np.nan, 19.0])
    pos = pd.DataFrame({"A": [0.4, 0.5], "B": [np.nan, 0.3]}, index=DATES[[0, 2]])
    want = torvex.backtest(pos, p)
    got = torvex.backtest(pos.astype(dtype), p.astype(dtype))
    assert got.creturn.equals(want.creturn)
    held = pd.DataFrame({"A": [True, True], "B": [pd.NA, True]}, index=DATES[[0, 2]], dtype="boolean")
    plain = torvex.backtest(held.fillna(False).astype(bool), p)
    assert torvex.backtest(held, p.astype(dtype)).creturn.equals(plain.creturn)


# ------------------------------------------------------------------ excursion windows


def test_excursion_window_limits():
    with pytest.raises(ValueError, match=r"excursion_window: expected at most 6 \(the number of price bars\)"):
        torvex.backtest(row(A=1.0), prices(), excursion_window=7)
    many = pd.DataFrame(1.0, index=pd.date_range("2000-01-01", periods=4000), columns=[f"S{i}" for i in range(400)])
    with pytest.raises(ValueError, match="excursion_window_step: expected a step whose samples fit in memory; found 1"):
        torvex.backtest(many.iloc[:-1], many, excursion_window=4000)


def test_excursion_window_without_trades_gives_an_empty_table():
    traded = torvex.backtest(row(A=1.0), prices(), excursion_window=4, excursion_window_step=2).trades
    empty = torvex.backtest(row(A=0.0), prices(), excursion_window=4, excursion_window_step=2).trades
    assert len(empty) == 0 and list(empty.columns) == list(traded.columns)


# ------------------------------------------------------------------ notes are warnings too


def test_each_kind_of_note_warns_once_with_a_count():
    p = prices(A=[np.nan, np.nan, 11, 12, 12, 13.0], B=[20, 21, 22, np.nan, np.nan, np.nan], C=[np.nan] * 2 + [5.0] * 4)
    with pytest.warns(UserWarning) as rec:
        r = torvex.backtest(row(A=0.3, B=0.3, C=0.3), p)
    texts = [str(w.message) for w in rec]
    removed = [t for t in texts if "its target" in t]
    assert len(removed) == 1 and "(and 1 more like it in report.warnings)" in removed[0]
    assert sum(t.startswith("delisting: 'B'") for t in texts) == 1
    assert all(w.filename == __file__ for w in rec)
    assert sum("its target" in w for w in r.warnings) == 2
