"""Reading price files into what :func:`torvex.backtest` takes."""

from __future__ import annotations

import io as _io
import os
from typing import IO

import pandas as pd

__all__ = ["read_prices"]

_FIELDS = ("open", "high", "low", "close")


def read_prices(path_or_buffer: str | os.PathLike | IO, *, format: str | None = None):
    """Read prices from CSV or Parquet, wide or long.

    Wide layout: a date column first (or the index), then one column per
    symbol; the result is a DataFrame (dates x symbols) of prices.

    Long layout: columns ``date``, ``symbol`` and at least ``close`` (also
    ``open``, ``high``, ``low``, optional ``volume``), one line per date and
    symbol; the result is a dict of DataFrames (dates x symbols) by field,
    with NaN where a symbol has no line for a date.

    Parameters
    ----------
    path_or_buffer : str, path-like or file-like
        The file.  Parquet needs pyarrow (``pip install torvex[parquet]``).
    format : {"csv", "parquet"}, optional
        Taken from the file name when None; a buffer without a name is CSV
        unless it starts with Parquet's magic bytes.

    Returns
    -------
    DataFrame or dict of DataFrames

    Examples
    --------
    >>> import io
    >>> read_prices(io.StringIO("date,A,B\\n2024-01-02,10,20\\n2024-01-03,11,21\\n"))
    symbol         A   B
    date
    2024-01-02  10.0  20.0
    2024-01-03  11.0  21.0
    >>> long = read_prices(io.StringIO("date,symbol,close\\n2024-01-02,A,10\\n2024-01-02,B,20\\n"))
    >>> long["close"].loc["2024-01-02", "B"]
    np.float64(20.0)
    """
    fmt = (format or _guess_format(path_or_buffer)).lower()
    if fmt == "parquet":
        try:
            import pyarrow  # noqa: F401
        except ImportError as exc:
            raise ImportError("reading Parquet needs pyarrow: pip install torvex[parquet]") from exc
        raw = pd.read_parquet(path_or_buffer)
        if isinstance(raw.index, pd.DatetimeIndex):
            raw = raw.reset_index()
    elif fmt == "csv":
        raw = pd.read_csv(path_or_buffer)
    else:
        raise ValueError(f"format: expected 'csv' or 'parquet'; found {format!r}")
    if raw.shape[1] == 0 or raw.shape[0] == 0:
        raise ValueError("path_or_buffer: expected a table of prices; found an empty one")
    lower = {str(c).lower(): c for c in raw.columns}
    if "symbol" in lower and "close" in lower:
        return _long(raw, lower)
    return _wide(raw)


def _guess_format(src) -> str:
    name = os.fspath(src) if isinstance(src, (str, os.PathLike)) else getattr(src, "name", "")
    if str(name).lower().endswith((".parquet", ".pq")):
        return "parquet"
    if isinstance(src, _io.BytesIO) and src.getvalue()[:4] == b"PAR1":
        return "parquet"
    return "csv"


def _dates(col: pd.Series, what: str) -> pd.DatetimeIndex:
    try:
        return pd.DatetimeIndex(pd.to_datetime(col), name="date")
    except (ValueError, TypeError) as exc:
        raise ValueError(f"path_or_buffer: expected dates in the {what} column; found {col.iloc[0]!r} ...") from exc


def _wide(raw: pd.DataFrame) -> pd.DataFrame:
    first = raw.columns[0]
    out = raw.drop(columns=first)
    out.index = _dates(raw[first], repr(str(first)))
    out.columns = pd.Index([str(c) for c in out.columns], name="symbol")
    return out.astype("float64").sort_index()


def _long(raw: pd.DataFrame, lower: dict) -> dict:
    date_col = lower.get("date", raw.columns[0])
    frame = raw.assign(_date=_dates(raw[date_col], repr(str(date_col))), _symbol=raw[lower["symbol"]].astype(str))
    dup = frame.duplicated(["_date", "_symbol"])
    if dup.any():
        row = frame[dup].iloc[0]
        raise ValueError(f"path_or_buffer: expected one line per date and symbol; found {row['_symbol']!r}"
                         f" twice on {row['_date'].date()}")
    out = {}
    for field in _FIELDS + ("volume",):
        if field in lower:
            wide = frame.pivot(index="_date", columns="_symbol", values=lower[field]).astype("float64")
            wide.index.name, wide.columns.name = "date", "symbol"
            out[field] = wide.sort_index()
    return out
