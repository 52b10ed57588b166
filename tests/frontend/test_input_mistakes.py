"""Each common input mistake gives a clear error or the documented right result."""

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


@pytest.mark.parametrize("order", ["unsorted", "descending", "duplicated"])
def test_price_dates_out_of_order(order):
    idx = {"unsorted": DATES[[0, 2, 1, 3, 4, 5]], "descending": DATES[::-1], "duplicated": DATES[[0, 1, 1, 3, 4, 5]]}[
        order
    ]
    p = prices().set_axis(idx)
    with pytest.raises(ValueError, match=r"price: expected dates in ascending order.*found 2024-01-0\d"):
        torvex.backtest(row(A=1.0).set_axis(idx[:1]), p)


@pytest.mark.parametrize("order", ["descending", "duplicated"])
def test_position_dates_out_of_order(order):
    idx = DATES[[2, 1]] if order == "descending" else DATES[[1, 1]]
    pos = pd.DataFrame({"A": [0.5, 0.5]}, index=idx)
    with pytest.raises(ValueError, match=r"position: expected dates in ascending order.*2024-01-0[23]"):
        torvex.backtest(pos, prices())


def test_position_far_outside_the_price_dates():
    # Microsecond integers read as nanoseconds land in 1970.
    pos = pd.DataFrame({"A": [1.0]}, index=pd.to_datetime([DATES[0].value // 1000]))
    with pytest.raises(ValueError, match="position: expected rows dated within the price dates 2024-01-01"):
        torvex.backtest(pos, prices())


def test_position_index_must_be_dates():
    with pytest.raises(TypeError, match="position: expected a DatetimeIndex"):
        torvex.backtest(pd.DataFrame({"A": [1.0]}, index=[0]), prices())


def test_nan_weight_means_zero():
    nan_pos = pd.DataFrame({"A": [0.5], "B": [np.nan]}, index=DATES[:1])
    zero_pos = pd.DataFrame({"A": [0.5], "B": [0.0]}, index=DATES[:1])
    a, b = torvex.backtest(nan_pos, prices()), torvex.backtest(zero_pos, prices())
    assert np.isfinite(a.creturn).all()
    assert a.creturn.equals(b.creturn)


def test_weight_on_a_symbol_without_prices():
    pos = pd.DataFrame({"A": [0.3], "ZZZ": [0.3], "YYY": [0.1]}, index=DATES[:1])
    with pytest.raises(ValueError, match="position: expected symbols of price; found weights on 'ZZZ', 'YYY'"):
        torvex.backtest(pos, prices())


def test_unpriced_column_without_weight_is_dropped():
    pos = pd.DataFrame({"A": [0.3], "ZZZ": [0.0]}, index=DATES[:1])
    assert list(torvex.backtest(pos, prices()).position.columns) == ["A"]


def test_weight_before_listing_is_not_bought():
    # B lists on bar 3; the row of bar 0 executes on bar 1, where B has no price.
    p = prices(B=[np.nan, np.nan, np.nan, 21, 20, 19.0])
    r = torvex.backtest(row(A=0.6, B=0.6), p, fee_ratio=0, tax_ratio=0)
    assert list(r.trades["symbol"]) == ["A"]
    # A keeps its 0.6: the row is rescaled after B's removal (0.6 <= 1), so 40% stays in cash.
    assert r.creturn.iloc[-1] == pytest.approx(1 + 0.6 * (13 / 10 - 1))
    assert len(r.warnings) == 1 and "'B' has no trading price on 2024-01-02" in r.warnings[0]
    assert np.isfinite(r.stats()["sharpe"])


def test_stock_held_past_its_last_price_is_closed_there():
    p = prices(B=[20, 21, 22, np.nan, np.nan, np.nan])
    r = torvex.backtest(row(A=0.5, B=0.5), p, fee_ratio=0, tax_ratio=0)
    t = r.trades.set_index("symbol")
    assert t.loc["B", "exit_date"] == DATES[2]
    assert t.loc["B", "return"] == pytest.approx(22 / 21 - 1)
    assert any("'B'" in w and "2024-01-03" in w for w in r.warnings)
    # Off: B stays in the book at its last value until the end.
    off = torvex.backtest(row(A=0.5, B=0.5), p, fee_ratio=0, tax_ratio=0, delisting=None)
    assert off.trades.set_index("symbol").loc["B", "exit_bar"] == -1


def test_ohlc_frames_of_other_shapes():
    p = prices()
    with pytest.raises(ValueError, match=r"high: expected a frame of the close's shape \(6, 2\).*\(5, 2\)"):
        torvex.backtest(row(A=1.0), {"close": p, "open": p, "high": p.iloc[:5], "low": p})
    with pytest.raises(ValueError, match="low: expected the close's symbols; found 'C' in column 1"):
        torvex.backtest(row(A=1.0), {"close": p, "low": p.rename(columns={"B": "C"})})


@pytest.mark.parametrize("dtype", ["float32", "int64", "int32"])
def test_price_dtypes_are_converted(dtype):
    p = prices().astype(dtype)
    r = torvex.backtest(row(A=1.0), p)
    assert r.creturn.dtype == np.float64 and r.stats()["trades"] == 1


def test_bool_and_int_weights():
    # Integer weights 1 and 1 have gross 2: rescaled to half each (with a warning), the same as the True
    # cells of a bool row.
    with pytest.warns(UserWarning, match="gross weight of 2"):
        ints = torvex.backtest(pd.DataFrame({"A": [1], "B": [1]}, index=DATES[:1]), prices())
    bools = torvex.backtest(pd.DataFrame({"A": [True], "B": [True]}, index=DATES[:1]), prices())
    assert ints.creturn.equals(bools.creturn)


@pytest.mark.parametrize(
    "labels", [np.array(["A", "B"]), [1, 2], ["A", 2], [2, "A"]], ids=["<U", "int", "text-then-int", "int-then-text"]
)
def test_text_and_int_symbols_are_converted_and_mapped_back(labels):
    p = prices().set_axis(pd.Index(labels, dtype=object) if isinstance(labels, list) else labels, axis=1)
    for held in labels:
        pos = pd.DataFrame({held: [1.0]}, index=DATES[:1])
        r = torvex.backtest(pos, p)
        assert r.trades["symbol"].iloc[0] == held
        assert r.weights.index[0] == held


def test_colliding_labels():
    p = pd.DataFrame({1: [10.0] * 6, "1": [11.0] * 6}, index=DATES)
    with pytest.raises(ValueError, match="price: expected symbols that differ as text; found 1 and '1'"):
        torvex.backtest(pd.DataFrame({1: [1.0]}, index=DATES[:1]), p)


def test_resample_that_marks_no_bar():
    late = pd.DataFrame({"A": [1.0]}, index=DATES[3:4])
    with pytest.raises(ValueError, match="resample: expected rebalance points on or after the first position row"):
        torvex.backtest(late, prices(), resample=["2023-12-29"])
    with pytest.raises(ValueError, match="resample: expected None, a pandas offset alias"):
        torvex.backtest(row(A=1.0), prices(), resample="every month")


def test_percent_stop_on_long_only_warns():
    with pytest.warns(UserWarning, match="stop_loss: 10 can never be reached by a long position"):
        r = torvex.backtest(row(A=1.0), prices(), stop_loss=10)
    assert any("stop_loss: 10" in w for w in r.warnings)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        torvex.backtest(row(A=-1.0), prices(), stop_loss=10)  # a short can rise tenfold


def test_empty_frame_all_nan_and_single_bar():
    with pytest.raises(ValueError, match="price: expected at least one bar and one symbol"):
        torvex.backtest(row(A=1.0), prices().iloc[:0])
    with pytest.raises(ValueError, match="position: expected at least one row"):
        torvex.backtest(row(A=1.0).iloc[:0], prices())
    with pytest.raises(ValueError, match="position: expected at least one symbol; found a frame without columns"):
        torvex.backtest(row(A=1.0).iloc[:, :0], prices())
    with pytest.raises(ValueError, match=r"price: expected some trading prices \(close\); found only NaN"):
        torvex.backtest(row(A=1.0), prices() * np.nan)
    # One bar: the row would trade on the next bar, which the data does not have.
    one = torvex.backtest(row(A=1.0), prices().iloc[:1])
    assert one.creturn.tolist() == [1.0] and len(one.trades) == 0
    assert one.actions.loc["A", "action"] == "enter"


def test_touched_exit_needs_open_high_low():
    with pytest.raises(ValueError, match="touched_exit: True needs open, high and low prices; missing open, high, low"):
        torvex.backtest(row(A=1.0), prices(), touched_exit=True, stop_loss=0.1)
    with pytest.raises(ValueError, match="trade_at: 'open' needs the open prices"):
        torvex.backtest(row(A=1.0), prices(), trade_at="open")


def test_bad_prices_name_symbol_and_date():
    p = prices(A=[10, 10, 11, -1, 12, 13.0])
    with pytest.raises(ValueError, match=r"price: expected positive finite prices; found -1.0 for 'A' on 2024-01-04"):
        torvex.backtest(row(A=1.0), p)


def test_bad_options_are_named():
    with pytest.raises(ValueError, match="excursion_window_step: expected an integer of at least 1; found 0"):
        torvex.backtest(row(A=1.0), prices(), excursion_window=5, excursion_window_step=0)
    with pytest.raises(TypeError, match="fee_ratio: expected a number; found str"):
        torvex.backtest(row(A=1.0), prices(), fee_ratio="0.1%")
    with pytest.raises(TypeError, match="price: expected numeric or bool columns; found dtype"):
        torvex.backtest(row(A=1.0), prices().astype({"B": str}))


def test_infinite_weight_is_refused():
    pos = pd.DataFrame({"A": [np.inf], "B": [np.nan]}, index=DATES[:1])
    with pytest.raises(ValueError, match="position: expected finite weights; found inf for 'A' on 2024-01-01"):
        torvex.backtest(pos, prices())


def test_numbers_beyond_a_float_and_frames_with_other_label_types_are_named():
    with pytest.raises(ValueError, match="stop_loss: expected a number that fits a float"):
        torvex.backtest(row(A=1.0), prices(), stop_loss=10**400)
    with pytest.raises(ValueError, match="fee_ratio: expected a number that fits a float"):
        torvex.backtest(row(A=1.0), prices(), fee_ratio=10**400)
    close = pd.DataFrame(10.0, index=DATES, columns=pd.Index([("T", 0), ("T", 1)], tupleize_cols=False))
    with pytest.raises(ValueError, match="low: expected the close's symbols; found 'x0' in column 0"):
        torvex.backtest(close.notna(), {"close": close, "low": close.set_axis(["x0", "x1"], axis=1)})


@pytest.mark.parametrize("start, end", [("MS", "ME"), ("QS", "QE"), ("YS", "YE")])
def test_period_start_aliases_mark_the_same_periods_as_their_ends(start, end):
    d = pd.bdate_range("2024-01-01", periods=300)
    p = pd.DataFrame({"A": np.linspace(10, 12, 300), "B": np.linspace(12, 10, 300)}, index=d)
    pos = pd.DataFrame({"A": [1.0, 0.0, 1.0], "B": [0.0, 1.0, 0.0]}, index=d[[0, 100, 200]])
    a = torvex.backtest(pos, p, resample=start).creturn
    b = torvex.backtest(pos, p, resample=end).creturn
    assert a.to_numpy().tobytes() == b.to_numpy().tobytes()
