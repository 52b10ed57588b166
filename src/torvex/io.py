"""Reading price files into what :func:`torvex.backtest` takes."""

from __future__ import annotations

import bz2
import csv
import gzip
import io as _io
import lzma
import os
import re
import stat
import zipfile
import zlib
from collections.abc import Callable
from typing import IO, Literal

import numpy as np
import pandas as pd

__all__ = ["read_prices"]

_FIELDS = ("open", "high", "low", "close")
_DATE_NAMES = ("date", "datetime", "time", "timestamp", "day")
_SYMBOL_NAMES = ("symbol", "ticker", "code", "stock", "sid")
_PRICE_NAMES = ("close", "adj_close", "adj close", "price", "last")
_DATE_UNITS = ("s", "ms", "us", "ns")
_EXCEL_SUFFIXES = (".xlsx", ".xlsm", ".xlsb", ".xls", ".ods")
_URL = re.compile(r"^[a-zA-Z][a-zA-Z0-9+.-]*://")
_NUMBER = r"[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?"
# What pandas reads as missing by default: prices keep that rule (labels never do).
_NA = frozenset(
    {
        "",
        "#N/A",
        "#N/A N/A",
        "#NA",
        "-1.#IND",
        "-1.#QNAN",
        "-NaN",
        "-nan",
        "1.#IND",
        "1.#QNAN",
        "<NA>",
        "N/A",
        "NA",
        "NULL",
        "NaN",
        "None",
        "n/a",
        "nan",
        "null",
    }
)


def read_prices(
    path_or_buffer: str | os.PathLike | IO,
    *,
    format: str | None = None,
    date: str | None = None,
    symbol: str | None = None,
    price: str | None = None,
    date_unit: str | None = None,
    date_format: str | None = None,
    max_columns: int = 100_000,
) -> pd.DataFrame | dict[str, pd.DataFrame]:
    """Read prices from a local CSV or Parquet file, wide or long.

    Wide layout: a date column (see *Dates*), then one column per symbol;
    the result is a DataFrame (dates x symbols) of float64 prices.

    Long layout: one line per date and symbol, with a symbol column and a
    price column (see *Column names*), also ``open``, ``high``, ``low`` and
    ``volume`` when present; the result is a dict of DataFrames (dates x
    symbols) by field, the price under ``"close"``, with NaN where a symbol
    has no line for a date.  The file is long when it has both a symbol and
    a price column, or when ``symbol=`` or ``price=`` is given; wide otherwise.

    Sources
        A local path or an open file (text or binary).  URLs and any other
        ``scheme://`` string are refused: no network request is ever made.
        Only regular files are opened; a directory, FIFO, socket or device
        is refused at once (a FIFO is never opened, so never waited on).
        gzip, bz2, xz and single-file ZIP archives are read by their content.
        Excel workbooks are refused: export them as CSV, or read them with
        ``pandas.read_excel`` and pass the frame to :func:`torvex.backtest`.

    CSV
        Comma-separated, UTF-8 (a byte-order mark is dropped), a header
        line, blank lines skipped.  Every line must have as many fields as
        the header (a trailing comma is an error naming the line, never a
        shift of the prices under the next symbol).  A header of more than
        ``max_columns`` fields is refused before the rest is read.  Symbols
        and column names are kept exactly as written: ``0050``, ``NA``,
        ``1E3``, ``nan`` and ``TRUE`` are symbols, not numbers or missing
        values.  Prices are numbers; an empty field and pandas' usual
        markers (``NA``, ``NaN``, ``null``, ``N/A`` ...) are missing prices.

    Parquet
        Needs pyarrow (``pip install pyarrow``).  A stored index
        other than row numbers (dates, strings, a MultiIndex) is read as
        leading columns, so a date index, or a string index of ISO dates,
        is the date column and a (date, symbol) MultiIndex is a long layout.

    Dates
        The column given by ``date=``, else the first column named one of
        ``date``, ``datetime``, ``time``, ``timestamp``, ``day`` (any case),
        else the first column if it holds dates.  Accepted: datetime values,
        ISO 8601 strings and integers that are all valid ``yyyymmdd`` dates
        (``20240102``).  Other numbers are refused, unless ``date_unit=``
        reads them as a time since 1970 or ``date_format=`` gives their
        layout.  A missing or unreadable date is an error naming the line
        (CSV, counting the header as line 1) or the row (Parquet, from 0).
        Dates must be unique in the wide layout, (date, symbol) pairs in
        the long one.

    Column names
        Symbol: ``symbol``, ``ticker``, ``code``, ``stock``, ``sid``; price:
        ``close``, ``adj_close``, ``adj close``, ``price``, ``last`` (any
        case, first match in that order); ``date=``, ``symbol=`` and
        ``price=`` name other columns.

    Parameters
    ----------
    path_or_buffer : str, path-like or file-like
        A local file, or an open file object read from its position.
    format : {"csv", "parquet"}, optional
        Taken from the file name when None (``.parquet``/``.pq``), or from
        the content (Parquet's magic bytes); CSV otherwise.
    date, symbol, price : str, optional
        Names of the date, symbol and price columns.
    date_unit : {"s", "ms", "us", "ns"}, optional
        Reads numeric dates as a time since 1970 in this unit.
    date_format : str, optional
        A ``strftime`` layout for the dates, e.g. ``"%d/%m/%Y"``.
    max_columns : int, default 100_000
        The most fields a CSV header (or Parquet columns) may have.

    Returns
    -------
    DataFrame or dict of DataFrames
        Dates ascending (index ``date``), symbols as columns (``symbol``).

    Raises
    ------
    ValueError
        For a URL, a file that is not a regular file, an Excel workbook, a
        malformed line, a missing date or price column, unreadable or
        duplicate dates, or a non-numeric price.
    FileNotFoundError
        When no file exists at the path.
    TypeError
        For an argument of the wrong type (e.g. ``format=1``).

    Examples
    --------
    >>> import io, os, tempfile
    >>> read_prices(io.StringIO("date,0050,NA\\n2024-01-02,10,20\\n2024-01-03,11,\\n"))
    symbol      0050    NA
    date
    2024-01-02  10.0  20.0
    2024-01-03  11.0   NaN
    >>> folder = tempfile.mkdtemp()
    >>> path = os.path.join(folder, "prices.csv")
    >>> with open(path, "w") as f:
    ...     _ = f.write("Day,Ticker,Adj Close\\n20240102,A,10\\n20240102,B,20\\n20240103,A,11\\n")
    >>> long = read_prices(path)
    >>> long["close"]
    symbol         A     B
    date
    2024-01-02  10.0  20.0
    2024-01-03  11.0   NaN
    >>> read_prices(io.StringIO("time,A\\n1704153600,10\\n"), date_unit="s").index[0]
    Timestamp('2024-01-02 00:00:00')
    >>> read_prices(io.StringIO("time,A\\n1704153600,10\\n"))
    Traceback (most recent call last):
    ...
    ValueError: path_or_buffer: expected dates in column 'time'; found the number '1704153600' on line 2: ...
    >>> read_prices("https://example.com/prices.csv")
    Traceback (most recent call last):
    ...
    ValueError: path_or_buffer: expected a local file path or an open file; found the URL ...
    >>> read_prices(folder)
    Traceback (most recent call last):
    ...
    ValueError: path_or_buffer: expected a regular file; found a directory at ...
    >>> os.remove(path); os.rmdir(folder)
    """
    fmt = _check_options(format, date, symbol, price, date_unit, date_format, max_columns)
    if isinstance(path_or_buffer, (str, os.PathLike)):
        path = _local_path(path_or_buffer)
        if fmt is None and path.lower().endswith(_EXCEL_SUFFIXES):
            raise _excel_error(repr(path))
        if fmt is None and path.lower().endswith((".parquet", ".pq")):
            fmt = "parquet"
        with _open_regular(path) as fh:
            names, cols, where = _read(fh, fmt, max_columns, override_date=date)
    elif callable(getattr(path_or_buffer, "read", None)):
        if getattr(path_or_buffer, "closed", False) is True:
            raise ValueError("path_or_buffer: expected an open file; found a closed one")
        name = str(getattr(path_or_buffer, "name", "") or "")
        if fmt is None and name.lower().endswith(_EXCEL_SUFFIXES):
            raise _excel_error(repr(name))
        if fmt is None and name.lower().endswith((".parquet", ".pq")):
            fmt = "parquet"
        names, cols, where = _read(path_or_buffer, fmt, max_columns, override_date=date)
    else:
        raise TypeError(
            "path_or_buffer: expected a local file path or an open file; found "
            f"{type(path_or_buffer).__name__}"
            + (" (wrap bytes in io.BytesIO)" if isinstance(path_or_buffer, bytes) else "")
        )
    return _assemble(
        names, cols, where, date=date, symbol=symbol, price=price, date_unit=date_unit, date_format=date_format
    )


def _check_options(format, date, symbol, price, date_unit, date_format, max_columns) -> str | None:
    if format is not None and not isinstance(format, str):
        raise TypeError(f"format: expected None, 'csv' or 'parquet'; found {format!r} ({type(format).__name__})")
    fmt = None if format is None else format.lower()
    if fmt in ("excel", "xlsx", "xls", "xlsm", "ods"):
        raise _excel_error(f"format={format!r}")
    if fmt not in (None, "csv", "parquet"):
        raise ValueError(f"format: expected None, 'csv' or 'parquet'; found {format!r}")
    for arg, value in (("date", date), ("symbol", symbol), ("price", price), ("date_format", date_format)):
        if value is not None and not isinstance(value, str):
            raise TypeError(
                f"{arg}: expected a column name (str) or None; found {value!r} ({type(value).__name__})"
                if arg != "date_format"
                else f"date_format: expected a strftime layout (str) or None; found {value!r}"
            )
    if date_unit is not None and date_unit not in _DATE_UNITS:
        raise ValueError(f"date_unit: expected None, 's', 'ms', 'us' or 'ns'; found {date_unit!r}")
    if date_unit is not None and date_format is not None:
        raise ValueError(
            f"date_unit: expected date_unit or date_format, not both; found {date_unit!r} and {date_format!r}"
        )
    if isinstance(max_columns, bool) or not isinstance(max_columns, (int, np.integer)) or max_columns < 1:
        raise ValueError(f"max_columns: expected a positive integer; found {max_columns!r}")
    return fmt


def _excel_error(what: str) -> ValueError:
    return ValueError(
        f"path_or_buffer: {what} is an Excel workbook, which read_prices does not read; export it as "
        "CSV, or read it with pandas.read_excel and pass the frame to torvex.backtest"
    )


def _local_path(src) -> str:
    path = os.fspath(src)
    if isinstance(path, bytes):
        path = os.fsdecode(path)
    if _URL.match(path):
        raise ValueError(
            f"path_or_buffer: expected a local file path or an open file; found the URL {path!r} "
            "(read_prices makes no network requests: download the file first)"
        )
    return path


def _kind(mode: int) -> str:
    for test, kind in (
        (stat.S_ISDIR, "directory"),
        (stat.S_ISFIFO, "FIFO (named pipe)"),
        (stat.S_ISSOCK, "socket"),
        (stat.S_ISCHR, "character device"),
        (stat.S_ISBLK, "block device"),
    ):
        if test(mode):
            return kind
    return "special file"


def _open_regular(path: str) -> IO[bytes]:
    """Open `path` for reading only if it is a regular file; never blocks on a FIFO."""
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        raise FileNotFoundError(f"path_or_buffer: expected an existing file; found no file at {path!r}") from None
    except ValueError:  # os.stat refuses a NUL character
        raise ValueError(f"path_or_buffer: expected a file path; found {path!r}, which holds a NUL character") from None
    except PermissionError:
        raise
    except OSError as exc:  # a name too long, a file where a folder is expected, a loop of links ...
        raise ValueError(
            f"path_or_buffer: expected a path to a regular file; found {path!r} ({exc.strerror})"
        ) from None
    if not stat.S_ISREG(mode):
        raise ValueError(f"path_or_buffer: expected a regular file; found a {_kind(mode)} at {path!r}")
    # O_NONBLOCK: should the path become a FIFO between stat and open, opening still returns at once.
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0))
    try:
        mode = os.fstat(fd).st_mode
        if not stat.S_ISREG(mode):
            raise ValueError(f"path_or_buffer: expected a regular file; found a {_kind(mode)} at {path!r}")
        return os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


def _read(fh, fmt: str | None, max_columns: int, override_date: str | None):
    """The table as (column names, column Series, position -> "line N"/"row N")."""
    text_mode = isinstance(fh.read(0), str)
    if not text_mode:
        if fh.seekable():
            pos = fh.tell()
            head = fh.read(8)
            fh.seek(pos)
        else:
            fh = _io.BytesIO(fh.read())
            head = fh.getvalue()[:8]
        if head.startswith(b"PAR1"):
            if fmt == "csv":
                raise ValueError(
                    "format: expected 'parquet' or None for this content; found 'csv', "
                    "but path_or_buffer holds Parquet data"
                )
            fmt = "parquet"
        elif head.startswith(b"\xd0\xcf\x11\xe0"):
            raise _excel_error("the file")
        elif fmt != "parquet":
            fh = _decompressed(fh, head)
    if fmt == "parquet":
        if text_mode:
            raise ValueError("path_or_buffer: expected a binary file for Parquet; found a text stream")
        return _read_parquet(fh, max_columns, override_date)
    try:
        return _read_csv(fh, max_columns)
    except UnicodeDecodeError as exc:  # a text stream that is not UTF-8 (bytes are decoded in _text)
        raise ValueError(
            f"path_or_buffer: expected UTF-8 text; found a text stream that could not decode"
            f" {exc.object[exc.start : exc.start + 1]!r} ({exc.reason})"
        ) from None
    except (EOFError, OSError, lzma.LZMAError, zlib.error, zipfile.BadZipFile) as exc:
        # A damaged or cut-off archive is found while reading it.
        raise ValueError(f"path_or_buffer: could not read the compressed data: {exc}") from None


def _decompressed(fh, head: bytes):
    if head.startswith(b"\x1f\x8b"):
        return gzip.GzipFile(fileobj=fh)
    if head.startswith(b"BZh"):
        return bz2.BZ2File(fh)
    if head.startswith(b"\xfd7zXZ\x00"):
        return lzma.LZMAFile(fh)
    if head.startswith(b"PK\x03\x04"):
        try:
            archive = zipfile.ZipFile(fh)
        except (zipfile.BadZipFile, EOFError, OSError) as exc:
            raise ValueError(f"path_or_buffer: could not read the ZIP archive: {exc}") from None
        members = [n for n in archive.namelist() if not n.endswith("/")]
        if any(n.startswith("xl/") for n in members):
            raise _excel_error("the file")
        if len(members) != 1:
            raise ValueError(
                f"path_or_buffer: expected a ZIP archive holding one CSV file; found {len(members)} "
                f"files: {members[:5]}"
            )
        return archive.open(members[0])
    return fh


def _text(data, what: str) -> str:
    if isinstance(data, str):
        return data
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise ValueError(
            f"path_or_buffer: expected UTF-8 text; found byte {data[exc.start : exc.start + 1]!r} {what}"
        ) from None


def _read_csv(fh, max_columns: int):
    first = fh.readline()
    header = _text(first, "on line 1").removeprefix("\ufeff")
    # Refuse a huge header before anything is allocated for it: the comma count bounds the field count.
    if header.count(",") + 1 > max_columns:
        # The first record of the line read (a file of lone CR line ends comes as one "line").
        try:
            fields = len(next(csv.reader(_io.StringIO(header, newline="")), []))
        except csv.Error as exc:
            raise ValueError(f"path_or_buffer: could not read line 1 as CSV: {exc}") from None
        if fields > max_columns:
            raise ValueError(
                f"path_or_buffer: expected at most max_columns={max_columns} fields in the header; found {fields}"
            )
    text = header + _text(fh.read(), "after line 1")
    reader = csv.reader(_io.StringIO(text, newline=""))
    rows: list[list[str]] = []
    lines: list[int] = []
    try:
        names = next(reader, None)
        while names == []:
            names = next(reader, None)
        if names is None:
            raise ValueError("path_or_buffer: expected a table of prices; found an empty one")
        width = len(names)
        for record in reader:
            if not record:
                continue
            if len(record) != width:
                hint = " (a trailing comma?)" if len(record) == width + 1 and record[-1] == "" else ""
                raise ValueError(
                    f"path_or_buffer: expected {width} fields on every line, as in the header; found "
                    f"{len(record)} on line {reader.line_num}{hint}"
                )
            rows.append(record)
            lines.append(reader.line_num)
    except csv.Error as exc:
        raise ValueError(f"path_or_buffer: could not read line {reader.line_num} as CSV: {exc}") from None
    cols = [pd.Series(c, dtype=object) for c in zip(*rows)] if rows else [pd.Series([], dtype=object)] * width
    return names, cols, lambda i: f"line {lines[i]}"


def _read_parquet(fh, max_columns: int, override_date: str | None):
    try:
        import pyarrow as pa
        import pyarrow.parquet as pq
    except ImportError as exc:
        raise ImportError("reading Parquet needs pyarrow: pip install pyarrow") from exc
    try:
        file = pq.ParquetFile(fh)
        if file.metadata.num_columns > max_columns:
            raise ValueError(
                f"path_or_buffer: expected at most max_columns={max_columns} columns; found {file.metadata.num_columns}"
            )
        for field in file.schema_arrow:
            t = field.type
            if pa.types.is_nested(t) or pa.types.is_binary(t) or pa.types.is_large_binary(t):
                raise ValueError(
                    f"path_or_buffer: expected columns of dates, numbers or text; found column {field.name!r} of type {t}"
                )
        raw = file.read().to_pandas()
    except (OSError, TypeError, ValueError, pa.ArrowException) as exc:
        # pyarrow's errors (ArrowInvalid is a ValueError), a damaged pandas metadata block (not UTF-8, not JSON).
        if isinstance(exc, ValueError) and str(exc).startswith("path_or_buffer:"):
            raise
        raise ValueError(f"path_or_buffer: could not read the Parquet data: {exc}") from exc
    if isinstance(raw.columns, pd.MultiIndex):
        raise ValueError(
            "path_or_buffer: expected one level of column names; found a MultiIndex of columns "
            f"{list(raw.columns[:3])} ..."
        )
    index = raw.index
    row_numbers = isinstance(index, pd.RangeIndex) or (
        index.nlevels == 1
        and index.name is None
        and pd.api.types.is_integer_dtype(index.dtype)
        and (override_date is not None or any(str(c).lower() in _DATE_NAMES for c in raw.columns))
    )
    if not row_numbers:
        try:
            raw = raw.reset_index()
        except ValueError as exc:
            raise ValueError(
                f"path_or_buffer: the Parquet index {list(index.names)} has the name of a column; "
                f"rename one of them ({exc})"
            ) from exc
    names = [str(c) for c in raw.columns]
    cols = [raw.iloc[:, i] for i in range(raw.shape[1])]
    return names, cols, lambda i: f"row {i}"


def _find(names: list[str], override: str | None, accepted: tuple, arg: str) -> int | None:
    if override is not None:
        if override in names:
            return names.index(override)
        folded = [i for i, n in enumerate(names) if n.lower() == override.lower()]
        if len(folded) == 1:
            return folded[0]
        raise ValueError(f"{arg}: expected the name of a column; found {override!r}, not among {names[:20]}")
    lower = [n.lower() for n in names]
    for name in accepted:
        if name in lower:
            return lower.index(name)
    return None


def _listed(names: tuple) -> str:
    return ", ".join(repr(n) for n in names)


def _assemble(names, cols, where, *, date, symbol, price, date_unit, date_format):
    if not cols or len(cols[0]) == 0:
        raise ValueError("path_or_buffer: expected a table of prices; found an empty one")
    seen: dict[str, int] = {}
    for n in names:
        if n in seen:
            raise ValueError(f"path_or_buffer: expected distinct column names; found {n!r} twice in the header")
        seen[n] = 1
    d = _find(names, date, _DATE_NAMES, "date")
    s = _find(names, symbol, _SYMBOL_NAMES, "symbol")
    p = _find(names, price, _PRICE_NAMES, "price")
    is_long = symbol is not None or price is not None or (s is not None and p is not None)
    if is_long and s is None:
        raise ValueError(
            f"path_or_buffer: expected a symbol column named one of {_listed(_SYMBOL_NAMES)} (any case), "
            f"or symbol= naming it; found columns {names[:20]}"
        )
    if is_long and p is None:
        raise ValueError(
            f"path_or_buffer: expected a price column named one of {_listed(_PRICE_NAMES)} (any case), "
            f"or price= naming it; found columns {names[:20]}"
        )
    taken = {s, p} if is_long else set()
    if d is None:
        if 0 in taken:
            raise ValueError(
                f"path_or_buffer: expected a date column named one of {_listed(_DATE_NAMES)} (any case),"
                f" or date= naming it; found columns {names[:20]}"
            )
        try:
            dates = _dates(cols[0], names[0], where, date_unit, date_format)
        except ValueError as exc:
            raise ValueError(
                f"path_or_buffer: expected a date column named one of {_listed(_DATE_NAMES)} (any "
                f"case), a first column of dates, or date= naming it; found columns {names[:20]}, "
                f"and the first column does not hold dates ({exc})"
            ) from None
        d = 0
    else:
        dates = _dates(cols[d], names[d], where, date_unit, date_format)
    if is_long:
        assert s is not None and p is not None  # refused above when missing
        return _long(names, cols, where, dates, d, s, p)
    return _wide(names, cols, where, dates, d)


def _wide(names, cols, where, dates: pd.DatetimeIndex, d: int) -> pd.DataFrame:
    keep = [i for i in range(len(names)) if i != d]
    if not keep:
        raise ValueError("path_or_buffer: expected one column per symbol besides the date column; found none")
    dup = dates.duplicated()
    if dup.any():
        j = int(np.argmax(dup))
        i = int(np.argmax(dates == dates[j]))
        raise ValueError(
            f"path_or_buffer: expected one line per date; found {_day(dates[j])} twice ({where(i)} and {where(j)})"
        )
    hint = (
        f" (for one line per date and symbol, name the columns {_listed(_SYMBOL_NAMES)} and "
        f"{_listed(_PRICE_NAMES)}, or pass symbol= and price=)"
    )
    data = {names[i]: _numbers(cols[i], names[i], where, hint) for i in keep}
    out = pd.DataFrame(data, index=dates)
    out.columns = pd.Index([names[i] for i in keep], name="symbol")
    return out.sort_index()


def _long(names, cols, where, dates: pd.DatetimeIndex, d: int, s: int, p: int) -> dict:
    symbols = _per_value(cols[s], lambda x: x if isinstance(x, str) else (None if _blank(x) else str(x)))
    missing = symbols.isna() | (symbols == "")
    if missing.any():
        i = int(np.argmax(missing.to_numpy()))
        raise ValueError(
            f"path_or_buffer: expected a symbol on every line; found none in column {names[s]!r} on {where(i)}"
        )
    keys = pd.DataFrame({"date": dates, "symbol": symbols.to_numpy()})
    dup = keys.duplicated().to_numpy()
    if dup.any():
        j = int(np.argmax(dup))
        i = int(
            np.argmax(((keys["date"] == keys["date"].iloc[j]) & (keys["symbol"] == keys["symbol"].iloc[j])).to_numpy())
        )
        raise ValueError(
            f"path_or_buffer: expected one line per date and symbol; found {keys['symbol'].iloc[j]!r}"
            f" twice on {_day(keys['date'].iloc[j])} ({where(i)} and {where(j)})"
        )
    lower = [n.lower() for n in names]
    fields = {"close": p}
    for field in ("open", "high", "low", "volume"):
        if field in lower and lower.index(field) not in (d, s, p):
            fields[field] = lower.index(field)
    out = {}
    for field in _FIELDS + ("volume",):
        if field in fields:
            k = fields[field]
            frame = keys.assign(value=_numbers(cols[k], names[k], where, ""))
            wide = frame.pivot(index="date", columns="symbol", values="value").astype("float64")
            wide.index.name, wide.columns.name = "date", "symbol"
            out[field] = wide.sort_index()
    return out


def _day(ts: pd.Timestamp) -> str:
    return str(ts.date()) if ts == ts.normalize() else str(ts)


def _numbers(col: pd.Series, name: str, where: Callable[[int], str], hint: str) -> np.ndarray:
    if pd.api.types.is_numeric_dtype(col.dtype) and not pd.api.types.is_bool_dtype(col.dtype):
        return col.to_numpy(dtype="float64", na_value=np.nan)
    text = _per_value(col, _strip)
    missing = (text.isna() | text.isin(_NA)).to_numpy()
    values = pd.to_numeric(text.where(~missing, np.nan), errors="coerce").to_numpy(dtype="float64")
    bad = np.isnan(values) & ~missing
    if bad.any():
        i = int(np.argmax(bad))
        raise ValueError(
            f"path_or_buffer: expected numbers (prices) in column {name!r}; found {col.iloc[i]!r} on {where(i)}{hint}"
        )
    return values


def _dates(
    col: pd.Series,
    name: str,
    where: Callable[[int], str],
    unit: Literal["s", "ms", "us", "ns"] | None,
    layout: str | None,
) -> pd.DatetimeIndex:
    label = f"column {name!r}"
    if pd.api.types.is_datetime64_any_dtype(col.dtype):
        return _no_missing(pd.DatetimeIndex(col, name="date"), col, label, where, "dates")
    numeric = pd.api.types.is_numeric_dtype(col.dtype) and not pd.api.types.is_bool_dtype(col.dtype)
    if unit is not None:
        if numeric:
            nums = col.astype("float64")
        else:
            text = _per_value(col, _strip)
            nums = pd.to_numeric(text.where(~text.isin(_NA), np.nan), errors="coerce")
        try:
            parsed = pd.to_datetime(nums, unit=unit)
        except (ValueError, OverflowError) as exc:
            raise ValueError(f"date_unit: could not read {label} as times since 1970 in {unit!r}: {exc}") from None
        return _no_missing(
            pd.DatetimeIndex(parsed, name="date"), col, label, where, f"numbers (times since 1970 in {unit!r})"
        )
    if numeric:
        values = col.to_numpy(dtype="float64", na_value=np.nan)
        text = pd.Series(
            [
                None if np.isnan(v) else (str(int(v)) if v == int(v) else repr(v)) if np.isfinite(v) else repr(v)
                for v in values
            ],
            dtype=object,
        )
    else:
        text = _per_value(col, lambda x: None if _blank(x) else (x.strip() if isinstance(x, str) else str(x)))
    # Classify and parse each distinct value once; `codes` maps them back to rows (-1: missing).
    codes, distinct = pd.factorize(text, use_na_sentinel=True)
    text = pd.Series(distinct, dtype=object)
    eight = np.zeros(len(text), dtype=bool)  # no distinct value: every date is missing
    try:
        if layout is not None:
            parsed, what = pd.to_datetime(text, format=layout, errors="coerce"), f"dates laid out as {layout!r}"
        elif len(text) and (eight := text.str.fullmatch(r"\d{8}").astype(bool).to_numpy()).all():
            parsed, what = pd.to_datetime(text, format="%Y%m%d", errors="coerce"), "yyyymmdd dates"
        else:
            numbers = text.str.fullmatch(_NUMBER).astype(bool).to_numpy() & ~eight
            if numbers.any():
                i = int(np.argmax(codes == int(np.argmax(numbers))))
                raise ValueError(
                    f"path_or_buffer: expected dates in {label}; found the number {col.iloc[i]!r} "
                    f"on {where(i)}: numbers are dates only when all are yyyymmdd (8 digits); pass "
                    "date_unit='s', 'ms', 'us' or 'ns' to read them as times since 1970, or "
                    "date_format= to give their layout"
                )
            parsed, what = (
                pd.to_datetime(text, format="ISO8601", errors="coerce"),
                "ISO 8601 dates (e.g. 2024-01-02; pass date_format= for other layouts)",
            )
        by_row = pd.DatetimeIndex(parsed).take(codes, allow_fill=True, fill_value=pd.NaT)  # type: ignore[arg-type]
    except (TypeError, OverflowError) as exc:
        raise ValueError(f"path_or_buffer: could not read the dates in {label}: {exc}") from None
    except ValueError as exc:
        if str(exc).startswith("path_or_buffer:"):
            raise
        raise ValueError(f"path_or_buffer: could not read the dates in {label}: {exc}") from None
    return _no_missing(pd.DatetimeIndex(by_row, name="date"), col, label, where, what)


def _per_value(col: pd.Series, fn: Callable) -> pd.Series:
    """`fn` applied to each distinct value of `col` (dates and symbols repeat a lot in long files)."""
    codes, uniques = pd.factorize(col.astype(object), use_na_sentinel=True)
    mapped = np.empty(len(uniques) + 1, dtype=object)
    mapped[:-1] = [fn(u) for u in uniques]
    mapped[-1] = fn(None)  # code -1: a missing value
    return pd.Series(mapped[codes], index=col.index, dtype=object)


def _strip(x):
    return x.strip() if isinstance(x, str) else x


def _blank(x) -> bool:
    if isinstance(x, str):
        return x.strip() in _NA
    return x is None or (np.ndim(x) == 0 and bool(pd.isna(x)))


def _no_missing(index: pd.DatetimeIndex, col: pd.Series, label: str, where, what: str) -> pd.DatetimeIndex:
    bad = index.isna()
    if bad.any():
        i = int(np.argmax(bad))
        raise ValueError(f"path_or_buffer: expected {what} in {label}; found {col.iloc[i]!r} on {where(i)}")
    return index
