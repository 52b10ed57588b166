"""Notes of torvex.backtest as Python warnings (one per kind, at the caller's line), a sweep's one
summary of them, and the clear refusals of inputs given in the wrong place or form (swapped
frames, paths, arrays) and polars frames."""

import inspect
import pathlib
import warnings
from collections import Counter

import numpy as np
import pandas as pd
import pytest

import torvex

BDAYS = pd.bdate_range("2024-01-01", periods=20)


def recorded(fn, *args, **kw):
    """(result, warnings) of one call, every warning recorded."""
    with warnings.catch_warnings(record=True) as rec:
        warnings.simplefilter("always")
        out = fn(*args, **kw)
    return out, rec


def texts(rec):
    return [str(w.message) for w in rec]


def here(w):
    return pathlib.Path(w.filename).resolve() == pathlib.Path(__file__).resolve()


def ramp(index, *names):
    return pd.DataFrame({n: np.linspace(10 + k, 12 + 2 * k, len(index)) for k, n in enumerate(names)}, index=index)


def many_notes():
    """Prices and weights whose run makes notes of several kinds, some of them several times."""
    p = ramp(BDAYS, "A", "B", "C", "D")
    p.loc[: BDAYS[9], "B"] = np.nan  # listed late: its targets are removed
    p.loc[BDAYS[12] :, "C"] = np.nan  # gone: closed by delisting='auto'
    pos = pd.DataFrame({"A": 0.6, "B": 0.6, "C": 0.3, "D": 0.3}, index=BDAYS[[0, 2, 4, 8]])
    return pos, p


# ------------------------------------------------------------------ one warning per kind


def test_each_kind_of_note_is_one_warning_with_its_count():
    pos, p = many_notes()
    with warnings.catch_warnings(record=True) as rec:
        warnings.simplefilter("always")
        line = inspect.currentframe().f_lineno + 1
        report = torvex.backtest(pos, p, fee_ratio=0.06)
    kinds = Counter(report._run.notes.kinds())
    assert kinds["unpriced"] > 1 and kinds["fee_ratio"] == 1 and kinds["delisting"] == 1 and kinds["gross"] == 1
    issued = [w for w in rec if w.category is UserWarning]
    assert len(issued) == len(rec) == len(kinds)
    by_kind = {}
    for kind, text in report._run.notes:
        by_kind.setdefault(kind, []).append(text)
    for w, notes in zip(issued, by_kind.values()):
        more = f" (and {len(notes) - 1} more like it in report.warnings)" if len(notes) > 1 else ""
        assert str(w.message) == notes[0] + more
        assert here(w) and w.lineno == line


def test_report_warnings_hold_every_note_in_order():
    pos, p = many_notes()
    report, rec = recorded(torvex.backtest, pos, p, fee_ratio=0.06)
    assert list(report.warnings) == [text for _, text in report._run.notes]
    assert len(report.warnings) > len(rec)
    for w in rec:
        assert str(w.message).split(" (and ")[0] in report.warnings


def test_a_run_without_notes_issues_no_warning():
    p = ramp(BDAYS, "A", "B")
    pos = pd.DataFrame({"A": [0.5, 0.2], "B": [0.5, 0.8]}, index=BDAYS[[0, 5]])
    report, rec = recorded(torvex.backtest, pos, p)
    assert rec == [] and list(report.warnings) == []


# ------------------------------------------------------------------ calendar days and idle cash


def test_a_calendar_daily_frame_warns():
    days = pd.date_range("2024-01-01", periods=28, freq="D")
    p = ramp(days, "A", "B")
    p[days.day_of_week >= 5] = np.nan  # weekends without any price
    pos = pd.DataFrame({"A": [0.5], "B": [0.5]}, index=days[:1])
    with warnings.catch_warnings(record=True) as rec:
        warnings.simplefilter("always")
        line = inspect.currentframe().f_lineno + 1
        report = torvex.backtest(pos, p)
    notes = [w for w in rec if "a calendar-daily frame" in str(w.message)]
    assert len(notes) == 1 and here(notes[0]) and notes[0].lineno == line
    assert str(notes[0].message).startswith("price: 8 Saturday and Sunday rows have no trading price")
    assert any("a calendar-daily frame" in t for t in report.warnings)
    # The same prices without the empty rows are quiet.
    _, rec = recorded(torvex.backtest, pos, p.dropna(how="all"))
    assert rec == []


def test_rebalances_executed_on_empty_weekend_rows_are_counted():
    days = pd.date_range("2024-01-01", periods=28, freq="D")
    p = ramp(days, "A")
    p[days.day_of_week >= 5] = np.nan
    pos = pd.DataFrame({"A": [1.0, 0.5]}, index=days[[4, 11]])  # Fridays: executed on Saturdays
    report, _ = recorded(torvex.backtest, pos, p)
    (note,) = [t for t in report.warnings if "calendar-daily" in t]
    assert "2 rebalances executed on them traded nothing" in note


def test_a_weekend_with_some_prices_is_no_calendar_frame():
    days = pd.date_range("2024-01-01", periods=28, freq="D")
    p = ramp(days, "A")  # crypto-like: priced every day
    pos = pd.DataFrame({"A": [1.0]}, index=days[:1])
    report, rec = recorded(torvex.backtest, pos, p)
    assert not any("calendar" in t for t in texts(rec) + list(report.warnings))


def test_true_on_an_unlisted_stock_warns_about_idle_cash():
    p = ramp(BDAYS, "A", "B", "C")
    p.loc[: BDAYS[9], "B"] = np.nan
    pos = pd.DataFrame(True, index=BDAYS[[0, 3, 5]], columns=["A", "B", "C"])
    report, rec = recorded(torvex.backtest, pos, p, fee_ratio=0, tax_ratio=0)
    idle = [t for t in texts(rec) if " in cash" in t]
    assert len(idle) == 1
    assert idle[0].startswith("position: 3 True cells on stocks without a trading price left their share")
    assert "'B'" in idle[0] and "position & price.notna()" in idle[0]
    # A third of the equity stays in cash: A and C hold a third each.
    assert np.allclose(report.position.loc[:, ["A", "C"]].to_numpy(), 1 / 3)


def test_true_on_priced_stocks_alone_is_quiet():
    p = ramp(BDAYS, "A", "B")
    pos = pd.DataFrame(True, index=BDAYS[[0, 3]], columns=["A", "B"])
    _, rec = recorded(torvex.backtest, pos, p)
    assert rec == []


# ------------------------------------------------------------------------ sweeps


def sweep_inputs():
    from torvex.datasets import synthetic_universe

    price = synthetic_universe(n_stocks=6, n_bars=80, seed=3)
    weights = (price.rank(axis=1, ascending=False) <= 2).astype(float)  # rows of gross 2
    return weights, price


@pytest.mark.parametrize("n_jobs", [1, 2])
def test_a_sweep_issues_one_summary_and_no_warning_per_run(n_jobs):
    weights, price = sweep_inputs()
    grid = {"fee_ratio": [0.001, 0.06, 0.1], "position_limit": [0.5, 2.0]}
    with warnings.catch_warnings(record=True) as rec:
        warnings.simplefilter("always")
        line = inspect.currentframe().f_lineno + 1
        res = torvex.sweep(weights, price, grid, n_jobs=n_jobs, progress=False)
    assert res["error"].isna().all()
    assert len(rec) == 1, texts(rec)
    (w,) = rec
    text = str(w.message)
    assert w.category is UserWarning and text.startswith("sweep: 6 of 6 runs made notes")
    assert here(w) and w.lineno == line
    assert "4 with 'fee_ratio', first: fee_ratio: 0.06 is a cost of 6%" in text
    assert "3 with 'position_limit', first: position_limit: 2 has no effect" in text
    assert "6 with 'gross', first: position: the row of" in text


@pytest.mark.parametrize("n_jobs", [1, 2])
def test_a_sweep_without_notes_is_quiet(n_jobs):
    weights, price = sweep_inputs()
    price = price.ffill().bfill()  # every stock priced on every bar
    weights = weights / 4
    res, rec = recorded(torvex.sweep, weights, price, {"fee_ratio": [0.0, 0.001]}, n_jobs=n_jobs, progress=False)
    assert res["error"].isna().all()
    assert rec == [], texts(rec)


def test_a_sweep_counts_runs_not_notes():
    pos, p = many_notes()
    res, rec = recorded(torvex.sweep, pos, p, {"tax_ratio": [0.0, 0.003]}, n_jobs=1, progress=False)
    (w,) = rec
    assert str(w.message).startswith("sweep: 2 of 2 runs made notes")
    assert "2 with 'unpriced', first: position: 'B' has no trading price" in str(w.message)


# ------------------------------------------------------------------ arguments in the wrong place or form


@pytest.fixture(scope="module")
def universe():
    from torvex.datasets import synthetic_universe

    price = synthetic_universe(n_stocks=8, n_bars=120, seed=3)
    top = price.rank(axis=1, ascending=False) <= 3
    return price, top


@pytest.mark.parametrize("form", ["float", "bool", "monthly"])
def test_prices_swapped_with_weights_are_named(universe, form):
    price, top = universe
    weights = {"float": top.astype(float) / 3, "bool": top, "monthly": (top.astype(float) / 3).resample("ME").last()}
    with pytest.raises(ValueError, match="swapped") as info:
        torvex.backtest(price, weights[form])
    assert str(info.value).startswith("price: expected positive finite prices")


def test_weights_with_a_zero_price_are_not_called_swapped(universe):
    price, top = universe
    p = price.copy()
    held = top.astype(float) / 3
    r, c = np.argwhere(top.to_numpy())[10]
    p.iloc[r + 1, c] = 0.0  # a real bad price of a held stock
    with pytest.raises(ValueError) as info:
        torvex.backtest(held, p)
    assert "swapped" not in str(info.value)


@pytest.mark.parametrize("path", ["prices.csv", pathlib.Path("data/prices.parquet"), b"prices.csv"])
@pytest.mark.parametrize("where", ["price", "position"])
def test_a_path_is_refused_pointing_at_read_prices(universe, path, where):
    price, top = universe
    args = (top, path) if where == "price" else (path, price)
    with pytest.raises(TypeError, match="read_prices") as info:
        torvex.backtest(*args)
    assert str(info.value).startswith(f"{where}: expected a pandas DataFrame")


@pytest.mark.parametrize("where", ["price", "position"])
def test_a_numpy_array_is_refused_naming_the_argument(universe, where):
    price, top = universe
    args = (top, price.to_numpy()) if where == "price" else (top.to_numpy(), price)
    with pytest.raises(TypeError, match="NumPy array of shape") as info:
        torvex.backtest(*args)
    assert str(info.value).startswith(f"{where}: expected")


def test_a_path_in_a_price_mapping_is_refused(universe):
    price, top = universe
    with pytest.raises(TypeError, match=r"^price\['open'\]: expected a pandas DataFrame.*read_prices"):
        torvex.backtest(top, {"open": "open.csv", "close": price})


# ------------------------------------------------------------------------ polars frames


polars_runs = pytest.mark.filterwarnings("ignore::UserWarning")  # the runs' notes, compared in same_run


def to_polars(frame, date_name="date"):
    pl = pytest.importorskip("polars")
    cols = {date_name: pl.Series(date_name, list(frame.index.to_pydatetime()))}
    for c in frame.columns:
        s = frame[c]
        if s.dtype == bool:
            cols[c] = pl.Series(c, s.tolist(), dtype=pl.Boolean)
        else:
            cols[c] = pl.Series(c, [None if np.isnan(v) else float(v) for v in s], dtype=pl.Float64)
    out = pl.DataFrame(cols)
    if frame.index.tz is not None:
        out = out.with_columns(pl.col(date_name).dt.convert_time_zone(str(frame.index.tz)))
    return out


def same_run(a, b):
    assert a.creturn.index.equals(b.creturn.index.as_unit(a.creturn.index.unit))
    assert np.array_equal(a.creturn.to_numpy(), b.creturn.to_numpy())  # bit for bit
    assert a.trades[["entry_price", "exit_price", "pnl"]].equals(b.trades[["entry_price", "exit_price", "pnl"]])
    assert list(a.warnings) == list(b.warnings)


@polars_runs
@pytest.mark.parametrize("zone", [None, "America/New_York", "Asia/Taipei"])
def test_polars_frames_give_the_pandas_run(universe, zone):
    price, top = universe
    if zone is not None:
        price, top = price.tz_localize(zone), top.tz_localize(zone)
    ref = torvex.backtest(top, price, stop_loss=0.05)
    pp, pt = to_polars(price), to_polars(top)
    assert price.isna().to_numpy().any()  # late listings: nulls in the polars frame
    assert pp.null_count().sum_horizontal().item() > 0
    for pos, p in ((pt, pp), (top, pp), (pt, price)):
        report = torvex.backtest(pos, p, stop_loss=0.05)
        same_run(report, ref)
        assert str(report.creturn.index.tz) == str(zone) if zone else report.creturn.index.tz is None


@polars_runs
def test_polars_date_column_and_null_weights(universe):
    pl = pytest.importorskip("polars")
    price, top = universe
    weights = (top.astype(float) / 3).where(top)  # NaN where not held
    ref = torvex.backtest(weights, price)
    pw = to_polars(weights).with_columns(pl.col("date").cast(pl.Date))
    pp = to_polars(price).with_columns(pl.col("date").cast(pl.Date))
    assert pw.null_count().sum_horizontal().item() > 0
    same_run(torvex.backtest(pw, pp), ref)


@polars_runs
def test_polars_bool_weights_with_nulls_hold_nothing_there(universe):
    pl = pytest.importorskip("polars")
    price, top = universe
    pt = to_polars(top)
    masked = pt.with_columns(pl.when(pl.col("S0001")).then(None).otherwise(pl.col("S0001")).alias("S0001"))
    assert masked["S0001"].null_count() > 0
    ref = torvex.backtest(top.assign(S0001=False), price)
    same_run(torvex.backtest(masked, price), ref)


@pytest.mark.parametrize("where", ["price", "position"])
def test_a_polars_frame_without_dates_first_is_refused(universe, where):
    pl = pytest.importorskip("polars")
    price, top = universe
    frame = to_polars(price if where == "price" else top)
    frame = frame.select([c for c in frame.columns if c != "date"] + ["date"])
    args = (top, frame) if where == "price" else (frame, price)
    with pytest.raises(ValueError, match="first column holds the dates") as info:
        torvex.backtest(*args)
    assert str(info.value).startswith(f"{where}: expected a polars DataFrame")
    with pytest.raises(ValueError, match=f"^{where}: expected a polars DataFrame"):
        torvex.backtest(*((top, pl.DataFrame()) if where == "price" else (pl.DataFrame(), price)))


def test_a_polars_column_of_text_is_refused(universe):
    pl = pytest.importorskip("polars")
    price, top = universe
    frame = to_polars(price).with_columns(pl.lit("x").alias("S0002"))
    with pytest.raises(TypeError, match="^price: expected numeric or bool columns; found dtype String"):
        torvex.backtest(top, frame)
