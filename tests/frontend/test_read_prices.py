"""read_prices: CSV and Parquet, wide and long, straight into backtest."""

import io

import numpy as np
import pandas as pd
import pytest

import torvex

WIDE = "date,A,B\n2024-01-02,10,20\n2024-01-03,11,\n2024-01-04,12,22\n"
LONG = (
    "date,symbol,open,high,low,close,volume\n"
    "2024-01-02,A,10,10.5,9.5,10,100\n2024-01-02,B,20,21,19,20,50\n"
    "2024-01-03,A,10.5,11.5,10,11,90\n"
    "2024-01-04,A,11,12.5,11,12,80\n2024-01-04,B,21,22.5,20.5,22,70\n"
)


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


# --- sources: local regular files and open files only ---------------------------------------------


@pytest.mark.parametrize(
    "url",
    [
        "http://example.com/p.csv",
        "https://example.com/p.parquet",
        "ftp://h/p.csv",
        "s3://bucket/p.csv",
        "file:///tmp/p.csv",
        "gs+x.y-z://a/b",
    ],
)
def test_urls_never_reach_pandas(monkeypatch, url):
    def fail(*args, **kwargs):
        raise AssertionError(f"pandas reader called with {args[:1]!r}")

    monkeypatch.setattr(pd, "read_csv", fail)
    monkeypatch.setattr(pd, "read_parquet", fail)

    class Fspath:  # a path-like object whose path is the URL (pathlib would fold the '//')
        def __fspath__(self):
            return url

    for src in (url, Fspath()):
        with pytest.raises(ValueError, match="path_or_buffer: .*URL"):
            torvex.read_prices(src)


@pytest.mark.timeout(5)
@pytest.mark.parametrize("kind, found", [("fifo", "FIFO"), ("directory", "directory"), ("device", "character device")])
def test_only_regular_files_are_opened(tmp_path, kind, found):
    import os

    if kind == "fifo":
        path = tmp_path / "pipe.csv"
        os.mkfifo(path)  # nobody writes: opening it for reading would block
    elif kind == "directory":
        path = tmp_path
    else:
        path = "/dev/zero"  # reading it would never end
    with pytest.raises(ValueError, match=f"path_or_buffer: expected a regular file; found a {found}"):
        torvex.read_prices(path)


def test_missing_file_names_the_path(tmp_path):
    path = tmp_path / "nope.csv"
    with pytest.raises(FileNotFoundError, match="nope.csv"):
        torvex.read_prices(path)


@pytest.mark.parametrize("opener", ["gzip", "bz2", "lzma"])
def test_compressed_files_read_as_plain(tmp_path, opener):
    mod = __import__(opener)
    path = tmp_path / "p.csv.z"
    with mod.open(path, "wt") as f:
        f.write(WIDE)
    pd.testing.assert_frame_equal(torvex.read_prices(path), torvex.read_prices(io.StringIO(WIDE)))


@pytest.mark.parametrize("how", ["suffix", "content", "format"])
def test_excel_says_what_to_do(tmp_path, how):
    import zipfile

    path = tmp_path / ("book.xlsx" if how == "suffix" else "book.csv")
    with zipfile.ZipFile(path, "w") as z:
        z.writestr("xl/workbook.xml", "<workbook/>")
    kw = {"format": "xlsx"} if how == "format" else {}
    with pytest.raises(ValueError, match="Excel workbook.*export it as CSV.*pandas.read_excel"):
        torvex.read_prices(path, **kw)


@pytest.mark.parametrize("fmt, exc", [(1, TypeError), (b"csv", TypeError), ("json", ValueError), ("", ValueError)])
def test_format_is_checked(fmt, exc):
    with pytest.raises(exc, match="format: expected None, 'csv' or 'parquet'"):
        torvex.read_prices(io.StringIO(WIDE), format=fmt)


# --- labels as written, lines as long as the header ----------------------------------------------

LABELS = ["0050", "NA", "1E3", "nan", "TRUE", "null"]


def test_symbols_stay_text_in_both_layouts():
    wide = torvex.read_prices(io.StringIO("date," + ",".join(LABELS) + "\n2024-01-02," + ",".join("123456") + "\n"))
    assert list(wide.columns) == LABELS and list(wide.iloc[0]) == [1, 2, 3, 4, 5, 6]
    text = "date,symbol,close\n" + "".join(f"2024-01-02,{s},{i}\n" for i, s in enumerate(LABELS))
    close = torvex.read_prices(io.StringIO(text))["close"]
    assert sorted(close.columns) == sorted(LABELS)
    assert [close.loc["2024-01-02", s] for s in LABELS] == list(range(len(LABELS)))


@pytest.mark.parametrize("missing", ["", "NA", "NaN", "null", "N/A"])
def test_prices_still_read_missing_markers(missing):
    p = torvex.read_prices(io.StringIO(f"date,A,B\n2024-01-02,1,{missing}\n2024-01-03,2,3\n"))
    assert np.isnan(p.loc["2024-01-02", "B"]) and p.loc["2024-01-03", "B"] == 3


@pytest.mark.parametrize(
    "text, line",
    [
        ("date,A,B\n2024-01-02,1,2\n2024-01-03,3,4,\n", 3),  # trailing comma
        ("date,A,B\n2024-01-02,1,2,\n2024-01-03,3,4,\n", 2),  # trailing comma everywhere
        ("date,A,B\n2024-01-02,1,2\n\n2024-01-04,5\n", 4),  # a short line after a blank one
        ("date,symbol,close\n2024-01-02,A,1,\n", 2),
    ],
)
def test_lines_of_the_wrong_width_name_the_line(text, line):
    with pytest.raises(ValueError, match=f"fields on every line.*on line {line}"):
        torvex.read_prices(io.StringIO(text))


@pytest.mark.timeout(5)
def test_a_million_column_header_is_refused_before_parsing(tmp_path):
    path = tmp_path / "wide.csv"
    path.write_text("date," + ",".join(f"S{i}" for i in range(1_000_000)) + "\n")
    with pytest.raises(ValueError, match="max_columns=100000 fields in the header; found 1000001"):
        torvex.read_prices(path)
    with pytest.raises(ValueError, match="max_columns=2 fields"):
        torvex.read_prices(io.StringIO(WIDE.replace("date,A,B", "date,A,B,C")), max_columns=2)


def test_duplicate_dates_in_the_wide_layout_are_refused():
    with pytest.raises(ValueError, match="found 2024-01-02 twice \\(line 2 and line 3\\)"):
        torvex.read_prices(io.StringIO("date,A\n2024-01-02,1\n2024-01-02,2\n"))


# --- dates ----------------------------------------------------------------------------------------


@pytest.mark.parametrize("layout", ["wide", "long"])
def test_yyyymmdd_integers_are_dates(layout, tmp_path):
    text = WIDE if layout == "wide" else LONG
    want = torvex.read_prices(io.StringIO(text))
    got = torvex.read_prices(io.StringIO(text.replace("2024-01-0", "2024010")))
    if layout == "long":
        want, got = want["close"], got["close"]
    pd.testing.assert_frame_equal(got, want, check_index_type=False)
    assert got.index[0] == pd.Timestamp("2024-01-02")


@pytest.mark.parametrize("value", ["1704153600", "20241302", "2024010", "45000", "2.5"])
def test_other_numbers_are_not_dates(value):
    with pytest.raises(ValueError, match=f"'{value}' on line 2") as err:
        torvex.read_prices(io.StringIO(f"date,A\n{value},1\n"))
    assert "1970-01-01" not in str(err.value)


@pytest.mark.parametrize("unit, scale", [("s", 1), ("ms", 10**3), ("us", 10**6), ("ns", 10**9)])
def test_epoch_unit_reads_numbers_as_times(unit, scale):
    seconds = pd.Timestamp("2024-01-02").value // 10**9
    p = torvex.read_prices(io.StringIO(f"date,A\n{seconds * scale},1\n"), date_unit=unit)
    assert p.index[0] == pd.Timestamp("2024-01-02")


def test_date_format_and_iso_only():
    text = "date,A\n02/01/2024,1\n03/01/2024,2\n"
    with pytest.raises(ValueError, match="ISO 8601.*found '02/01/2024' on line 2"):
        torvex.read_prices(io.StringIO(text))
    p = torvex.read_prices(io.StringIO(text), date_format="%d/%m/%Y")
    assert list(p.index) == [pd.Timestamp("2024-01-02"), pd.Timestamp("2024-01-03")]


@pytest.mark.parametrize(
    "text, found",
    [
        ("date,A\n2024-01-02,1\n,2\n", "'' on line 3"),
        ("date,A\n2024-01-02,1\nNaT,2\n", "'NaT' on line 3"),
        ("date,A\n2024-01-02,1\n2024-02-30,2\n", "'2024-02-30' on line 3"),
    ],
)
def test_unreadable_dates_name_line_and_value(text, found):
    with pytest.raises(ValueError, match=found):
        torvex.read_prices(io.StringIO(text))


def test_no_date_column_lists_the_names_looked_for():
    with pytest.raises(ValueError, match="'date', 'datetime', 'time', 'timestamp', 'day'"):
        torvex.read_prices(io.StringIO("name,A\nfoo,1\n"))


# --- long layout names and overrides --------------------------------------------------------------


@pytest.mark.parametrize(
    "d, s, p",
    [
        ("Date", "Ticker", "Adj Close"),
        ("TIMESTAMP", "code", "price"),
        ("day", "SID", "last"),
        ("datetime", "Stock", "adj_close"),
    ],
)
def test_long_layout_common_names(d, s, p):
    text = LONG.replace("date,symbol,open,high,low,close", f"{d},{s},open,high,low,{p}")
    got = torvex.read_prices(io.StringIO(text))
    pd.testing.assert_frame_equal(got["close"], torvex.read_prices(io.StringIO(LONG))["close"])


def test_long_layout_overrides():
    text = "when,name,px,other\n2024-01-02,A,10,x\n2024-01-02,B,20,y\n"
    with pytest.raises(ValueError, match="expected a symbol column named one of 'symbol', 'ticker'"):
        torvex.read_prices(io.StringIO(text), price="px")
    got = torvex.read_prices(io.StringIO(text), date="when", symbol="name", price="px")
    assert got["close"].loc["2024-01-02"].tolist() == [10.0, 20.0]
    with pytest.raises(ValueError, match="price: expected the name of a column; found 'nope'"):
        torvex.read_prices(io.StringIO(text), date="when", symbol="name", price="nope")
    with pytest.raises(ValueError, match="expected a price column named one of 'close', 'adj_close'"):
        torvex.read_prices(io.StringIO(text), date="when", symbol="name")


# --- Parquet indexes ------------------------------------------------------------------------------


@pytest.mark.parametrize("index", ["iso strings", "multiindex", "labels"])
def test_parquet_indexes(tmp_path, index):
    pytest.importorskip("pyarrow")
    wide = torvex.read_prices(io.StringIO(WIDE))
    path = tmp_path / "p.parquet"
    if index == "iso strings":
        wide.set_axis(wide.index.strftime("%Y-%m-%d"), axis=0).to_parquet(path)
        pd.testing.assert_frame_equal(torvex.read_prices(path), wide, check_index_type=False)
    elif index == "multiindex":
        pd.read_csv(io.StringIO(LONG)).set_index(["date", "symbol"]).to_parquet(path)
        pd.testing.assert_frame_equal(
            torvex.read_prices(path)["close"], torvex.read_prices(io.StringIO(LONG))["close"], check_index_type=False
        )
    else:
        wide.set_axis(["x", "y", "z"], axis=0).to_parquet(path)
        with pytest.raises(ValueError, match="first column does not hold dates.*'x' on row 0"):
            torvex.read_prices(path)


# --- damaged sources: a ValueError naming path_or_buffer, never an error from deep inside ---------


def _gzip_cut(data: bytes) -> bytes:
    import gzip

    whole = gzip.compress(data)
    return whole[: len(whole) // 2]


def _zip_bad_crc(data: bytes) -> bytes:
    import zipfile

    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w") as z:
        z.writestr("p.csv", data)
    raw = bytearray(buf.getvalue())
    raw[raw.index(data[:8]) + 3] ^= 0xFF  # the stored member's bytes no longer match its CRC
    return bytes(raw)


@pytest.mark.parametrize(
    "damage, found",
    [
        (_gzip_cut, "could not read the compressed data"),
        (lambda d: __import__("bz2").compress(d)[:-12], "could not read the compressed data"),
        (lambda d: __import__("lzma").compress(d)[:-12], "could not read the compressed data"),
        (_zip_bad_crc, "could not read the compressed data"),
        (lambda d: b"PK\x03\x04" + d, "could not read the ZIP archive"),
    ],
)
def test_cut_or_damaged_archives_are_value_errors(tmp_path, damage, found):
    path = tmp_path / "p.csv"
    path.write_bytes(damage(WIDE.encode()))
    with pytest.raises(ValueError, match=f"path_or_buffer: {found}"):
        torvex.read_prices(path)


def test_a_text_stream_that_is_not_utf8_is_a_value_error(tmp_path):
    path = tmp_path / "p.csv"
    path.write_bytes(WIDE.replace("A", "\xc4").encode("latin-1"))
    with open(path, encoding="utf-8") as f, pytest.raises(ValueError, match="path_or_buffer: expected UTF-8 text"):
        torvex.read_prices(f)


def test_a_closed_file_is_refused(tmp_path):
    path = tmp_path / "p.csv"
    path.write_text(WIDE)
    with open(path, "rb") as f:
        pass
    with pytest.raises(ValueError, match="path_or_buffer: expected an open file; found a closed one"):
        torvex.read_prices(f)


@pytest.mark.parametrize("name, found", [("a\x00b.csv", "NUL character"), ("x" * 5000 + ".csv", "File name too long")])
def test_paths_the_system_refuses_are_value_errors(tmp_path, name, found):
    with pytest.raises(ValueError, match=f"path_or_buffer: .*{found}"):
        torvex.read_prices(str(tmp_path / name))


def test_a_date_column_with_only_missing_values_names_the_line():
    with pytest.raises(ValueError, match="expected .* in column 'date'; found '' on line 2"):
        torvex.read_prices(io.StringIO("date,A\n,1\n,2\n"))


def test_parquet_problems_are_value_errors_of_read_prices(tmp_path):
    pytest.importorskip("pyarrow")
    path = tmp_path / "p.parquet"
    pd.DataFrame({"date": pd.date_range("2024-01-01", periods=2), "A": [[1.0], [2.0]]}).to_parquet(path)
    with pytest.raises(
        ValueError, match="path_or_buffer: expected columns of dates, numbers or text; found column 'A'"
    ):
        torvex.read_prices(path)
    with pytest.raises(ValueError, match="path_or_buffer: could not read the Parquet data") as info:
        torvex.read_prices(io.BytesIO(WIDE.encode()), format="parquet")
    assert type(info.value) is ValueError  # not pyarrow's own error class
    # pandas' metadata block of the file damaged (not UTF-8): pyarrow's to_pandas fails on it.
    import pyarrow as pa
    import pyarrow.parquet as pq

    table = pa.Table.from_pandas(torvex.read_prices(io.StringIO(WIDE)))
    pq.write_table(table.replace_schema_metadata({b"pandas": b'{"index_columns": ["\xe1"]}'}), path)
    with pytest.raises(ValueError, match="path_or_buffer: could not read the Parquet data") as info:
        torvex.read_prices(path)
    assert type(info.value) is ValueError


@pytest.mark.parametrize("max_columns, shape", [(3, (2, 2)), (2, None)])
def test_lone_cr_line_ends_and_max_columns(max_columns, shape):
    # Read as bytes, such a file is one "line": the header's field count is that of its first record.
    data = io.BytesIO(b"date,A,B\r2024-01-02,10,20\r2024-01-03,11,21\r")
    if shape is None:
        with pytest.raises(ValueError, match="max_columns=2 fields in the header; found 3"):
            torvex.read_prices(data, max_columns=max_columns)
    else:
        assert torvex.read_prices(data, max_columns=max_columns).shape == shape
