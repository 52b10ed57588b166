"""read_prices: CSV and Parquet, wide and long, straight into backtest."""

import io

import numpy as np
import pandas as pd
import pytest

import torvex

WIDE = "date,A,B\n2024-01-02,10,20\n2024-01-03,11,\n2024-01-04,12,22\n"
LONG = ("date,symbol,open,high,low,close,volume\n"
        "2024-01-02,A,10,10.5,9.5,10,100\n2024-01-02,B,20,21,19,20,50\n"
        "2024-01-03,A,10.5,11.5,10,11,90\n"
        "2024-01-04,A,11,12.5,11,12,80\n2024-01-04,B,21,22.5,20.5,22,70\n")


def test_wide_csv():
    p = torvex.read_prices(io.StringIO(WIDE))
    assert list(p.columns) == ["A", "B"] and isinstance(p.index, pd.DatetimeIndex)
    assert np.isnan(p.loc["2024-01-03", "B"]) and p.dtypes.eq(np.float64).all()


def test_long_csv_gives_ohlc_frames_backtest_takes():
    frames = torvex.read_prices(io.StringIO(LONG))
    assert set(frames) == {"open", "high", "low", "close", "volume"}
    assert np.isnan(frames["close"].loc["2024-01-03", "B"])  # no line for B that day
    pos = pd.DataFrame({"A": [1.0]}, index=frames["close"].index[:1])
    r = torvex.backtest(pos, frames, trade_at="open", touched_exit=True, stop_loss=0.5)
    assert r.trades["entry_date"].iloc[0] == pd.Timestamp("2024-01-03")


@pytest.mark.parametrize("layout", ["wide", "long"])
def test_parquet(tmp_path, layout):
    pytest.importorskip("pyarrow")
    src = torvex.read_prices(io.StringIO(WIDE if layout == "wide" else LONG))
    path = tmp_path / "p.parquet"
    if layout == "wide":
        src.to_parquet(path)
        pd.testing.assert_frame_equal(torvex.read_prices(path), src)
    else:
        pd.read_csv(io.StringIO(LONG)).to_parquet(path)
        pd.testing.assert_frame_equal(torvex.read_prices(path)["close"], src["close"])


def test_duplicate_lines_are_refused():
    text = LONG + "2024-01-04,B,21,22.5,20.5,22,70\n"
    with pytest.raises(ValueError, match="expected one line per date and symbol; found 'B' twice on 2024-01-04"):
        torvex.read_prices(io.StringIO(text))
