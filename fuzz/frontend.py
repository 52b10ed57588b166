"""Fuzzing of the pandas front end for a fixed time: torvex.backtest, the Report and torvex.read_prices.

Every case is made from ``(seed, case number)`` alone, so any case can be run
again.  A case is one of

- ``backtest``: position and price frames (mostly valid, some mutated: index
  kinds and units, zones, unsorted or repeated dates, NaT, label kinds,
  dtypes, extreme values, OHLC mappings) and options of right and wrong types
  and values; on a report, its accessors and methods (stats, drawdowns,
  rolling, pickling, now and then to_html, save and load_report, the plots);
- ``read_prices``: CSV (wide and long, odd headers, ragged rows, BOM,
  compression, junk dates) and Parquet files in a temporary folder, buffers,
  and paths that are no regular file (directories, FIFOs, sockets, URLs);
  some results are run through backtest too.

A case may raise TypeError or ValueError from a ``raise`` of torvex's own code
(or of its engine; FileNotFoundError and FileExistsError where documented) and
issue UserWarnings.  A finding is anything else:

- ``exception``: another exception type;
- ``foreign_raise``: an allowed type raised by pandas, NumPy, pyarrow or a
  builtin, not by a ``raise`` of torvex (a deep error without the argument's name);
- ``warning``: a warning other than a UserWarning (RuntimeWarning, FutureWarning ...);
- ``written_input``: an input frame, series, index, mapping or list that differs after
  the call from its deep copy taken before (values, dtypes, index and columns
  objects, names, freq, attrs, flags);
- ``contract``: a documented property that does not hold: a report that changes when the caller
  writes into the inputs after the run or into an object the report handed out, the same run in
  threads giving another report, a saved (or pickled) report that loads back different, a trade
  entered without a price, trades' pnl that do not sum to the run's gain, a valid CSV read back with
  other symbols or prices than it holds;
- ``harness``: this file failed (a fault here, not in torvex);
- ``hang``: a case over its time limit; ``crash``: the worker process died (segfault ...).

The cases run in a child process, which the parent restarts after a crash or
a hang, so a crash is a finding with its seed and case number.

    python fuzz/frontend.py --seconds 60 [--seed 7] [--out build-fuzz/frontend.json]
    python fuzz/frontend.py --replay 7:123        # run one case here, print it and its findings

The summary (JSON, on stdout or in ``--out``) gives the cases run per kind,
their outcomes, the findings (each with ``seed:case`` to replay) and the
distinct ones; the exit status is 1 when there is a finding.
"""

from __future__ import annotations

import argparse
import bz2
import collections
import contextlib
import copy
import datetime as dt
import decimal
import fractions
import gzip
import io
import json
import linecache
import lzma
import os
import pathlib
import pickle
import random
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import types
import warnings
import zipfile
import zoneinfo
from collections.abc import Mapping

os.environ.setdefault("MPLBACKEND", "Agg")

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

import torvex  # noqa: E402

#: Seconds a case may take (cases that draw figures or write a page get the longer limit).
CASE_SECONDS = 10
HEAVY_CASE_SECONDS = 40
#: The parent kills a worker silent for this much longer than the case limit (a hang in C code).
GRACE_SECONDS = 20


class CaseTimeout(BaseException):
    """Raised by the alarm in a case that runs over its time limit."""


class Contract(AssertionError):
    """A documented property of a result that does not hold."""


# ============================================================== case making


TZS = [
    None,
    None,
    None,
    None,
    "UTC",
    "Asia/Taipei",
    "America/New_York",
    "Europe/London",
    "Australia/Lord_Howe",
    zoneinfo.ZoneInfo("Asia/Taipei"),
    dt.timezone.utc,
    dt.timezone(dt.timedelta(hours=-5, minutes=-30)),
]
FREQS = ["D", "D", "D", "B", "B", "h", "4h", "min", "s", "W-FRI", "ME"]
UNITS = ["ns", "ns", "us", "ms", "s"]
STARTS = ["2024-01-01", "2023-12-29", "2021-03-12 09:30", "2024-03-09", "2024-10-26", "1999-12-31", "1970-01-01"]
LABELS_TEXT = [
    "A",
    "B",
    "C",
    "D",
    "E",
    "F",
    "0050",
    "2330",
    "NA",
    "1E3",
    "nan",
    "TRUE",
    "None",
    "",
    " A",
    "台積電",
    "a,b",
]


class Gen:
    """The random choices of one case, with a log of what was made for its description."""

    def __init__(self, seed: int, index: int, attempt: int = 0):
        self.r = random.Random(f"torvex-frontend:{seed}:{index}" + (f":{attempt}" if attempt else ""))
        self.np = np.random.default_rng(self.r.getrandbits(64))
        # How mutated the case is: 0 valid inputs only, 1 a few mutations, 2 many.
        self.level = self.r.choice([0, 0, 0, 1, 1, 1, 2, 2])
        self.tags: list[str] = []

    def mutate(self, weight: float = 1.0) -> bool:
        """Whether to apply one mutation at this site."""
        p = (0.0, 0.07, 0.2)[self.level] * weight
        return self.r.random() < p

    def chance(self, p: float) -> bool:
        return self.r.random() < p

    def pick(self, seq):
        return self.r.choice(seq)

    def tag(self, text: str) -> None:
        self.tags.append(text)


def _try(fallback, fn, *args):
    """fn(*args), or fallback where this pandas refuses to build that input (deterministic)."""
    try:
        return fn(*args)
    except Exception:
        return fallback


# ------------------------------------------------------------------ dates


def bar_dates(g: Gen, n: int) -> pd.DatetimeIndex:
    freq, unit, tz, start = g.pick(FREQS), g.pick(UNITS), g.pick(TZS), g.pick(STARTS)
    idx = _try(None, lambda: pd.date_range(start, periods=n, freq=freq, tz=tz, unit=unit))
    if idx is None:
        idx = pd.date_range("2024-01-01", periods=n, freq="D")
        g.tag("dates=D")
    else:
        g.tag(f"dates={freq}/{unit}/{tz}")
    if g.chance(0.2):
        idx = pd.DatetimeIndex(list(idx))  # no freq
    if g.chance(0.15):
        idx = idx.rename(g.pick(["date", "Date", ("a", "b"), 0]))
    return idx


def mutate_index(g: Gen, idx: pd.Index, role: str) -> pd.Index:
    if not g.mutate(2.0):
        return idx
    kind = g.pick(
        [
            "unsorted",
            "dup",
            "nat",
            "range",
            "str",
            "out_of_range",
            "mixed_tz",
            "int",
            "float",
            "period",
            "object_ts",
            "other_tz",
            "multi",
            "timedelta",
            "categorical",
            "reverse",
            "string_dtype",
            "date_objects",
        ]
    )
    n = len(idx)
    g.tag(f"{role}.index:{kind}")

    def make():
        if kind == "unsorted" and n > 1:
            order = g.np.permutation(n)
            return idx[order]
        if kind == "reverse":
            return idx[::-1]
        if kind == "dup" and n > 1:
            i = g.r.randrange(1, n)
            vals = list(idx)
            vals[i] = vals[i - 1]
            return pd.DatetimeIndex(vals) if isinstance(idx, pd.DatetimeIndex) else pd.Index(vals)
        if kind == "nat":
            vals = list(idx)
            vals[g.r.randrange(n)] = pd.NaT
            return pd.DatetimeIndex(vals, tz=getattr(idx, "tz", None))
        if kind == "range":
            return pd.RangeIndex(n)
        if kind == "str":
            return pd.Index(idx.strftime(g.pick(["%Y-%m-%d", "%Y-%m-%d %H:%M:%S", "%d/%m/%Y"])), dtype=object)
        if kind == "string_dtype":
            return pd.Index(idx.strftime("%Y-%m-%d"), dtype="string")
        if kind == "out_of_range":
            base = g.pick(["2300-01-01", "1600-06-30", "2262-04-10", "1677-09-22"])
            return pd.date_range(base, periods=n, freq="D", unit="s", tz=getattr(idx, "tz", None))
        if kind == "mixed_tz":
            vals = [pd.Timestamp(x).tz_localize(None) for x in idx]
            zones = ["UTC", "Asia/Taipei", None]
            return pd.Index([v if (z := g.pick(zones)) is None else v.tz_localize(z) for v in vals], dtype=object)
        if kind == "int":
            return pd.Index([int(x) for x in idx.strftime("%Y%m%d")])
        if kind == "float":
            return pd.Index(g.np.uniform(0, 1e9, n))
        if kind == "period":
            return _try(pd.period_range("2024-01", periods=n, freq="M"), lambda: idx.tz_localize(None).to_period("D"))
        if kind == "object_ts":
            return pd.Index(list(idx), dtype=object)
        if kind == "other_tz":
            z = g.pick(["UTC", "Asia/Tokyo", "America/Chicago"])
            return idx.tz_convert(z) if idx.tz is not None else idx.tz_localize(z)
        if kind == "multi":
            return pd.MultiIndex.from_arrays([idx, np.arange(n)])
        if kind == "timedelta":
            return pd.timedelta_range("0D", periods=n, freq="D")
        if kind == "categorical":
            return pd.CategoricalIndex(idx)
        if kind == "date_objects":
            return pd.Index([pd.Timestamp(x).date() for x in idx], dtype=object)
        return idx

    return _try(idx, make)


# ----------------------------------------------------------------- labels


def column_labels(g: Gen, k: int) -> pd.Index:
    kind = g.pick(["str"] * 6 + ["text", "int", "npint", "tuple", "mixed_ok", "range", "string_dtype", "category"])
    if g.mutate(1.5):
        kind = g.pick(["none", "nan", "collide", "dup", "multi", "float", "bool", "ts", "long", "mixed_bad"])
    g.tag(f"cols={kind}")

    def make():
        if kind == "str":
            return pd.Index([f"S{i}" for i in range(k)])
        if kind == "text":
            return pd.Index(g.r.sample(LABELS_TEXT, k), dtype=object)
        if kind == "int":
            return pd.Index(g.r.sample(range(10_000), k))
        if kind == "npint":
            return pd.Index(np.array(g.r.sample(range(100), k), dtype=g.pick([np.int8, np.uint16, np.int64])))
        if kind == "tuple":
            return pd.Index([("T", i) for i in range(k)], tupleize_cols=False)
        if kind == "mixed_ok":
            return pd.Index([f"m{i}" if i % 2 else i for i in range(k)], dtype=object)
        if kind == "range":
            return pd.RangeIndex(k)
        if kind == "string_dtype":
            return pd.Index([f"s{i}" for i in range(k)], dtype=g.pick(["string", "string[pyarrow]"]))
        if kind == "category":
            return pd.CategoricalIndex([f"c{i}" for i in range(k)])
        if kind == "none":
            return pd.Index([None] + [f"S{i}" for i in range(1, k)], dtype=object)
        if kind == "nan":
            return pd.Index([float("nan")] + [float(i) for i in range(1, k)])
        if kind == "collide":
            return pd.Index(["1", 1] + [f"S{i}" for i in range(2, k)], dtype=object) if k >= 2 else pd.Index([1])
        if kind == "dup":
            return pd.Index(["A", "A"] + [f"S{i}" for i in range(2, k)]) if k >= 2 else pd.Index(["A"])
        if kind == "multi":
            return pd.MultiIndex.from_tuples([("close", f"S{i}") for i in range(k)])
        if kind == "float":
            return pd.Index([i + 0.5 for i in range(k)])
        if kind == "bool":
            return pd.Index([True, False][:k] + [f"S{i}" for i in range(2, k)], dtype=object)
        if kind == "ts":
            return pd.Index(pd.date_range("2024-01-01", periods=k))
        if kind == "long":
            return pd.Index(["x" * 300 + str(i) for i in range(k)])
        if kind == "mixed_bad":
            return pd.Index([1, "1.0", 1.0, None, ("t",), b"A"][:k] + [f"S{i}" for i in range(6, k)], dtype=object)
        return pd.Index([f"S{i}" for i in range(k)])

    return _try(pd.Index([f"S{i}" for i in range(k)]), make)


# ----------------------------------------------------------------- values


def price_values(g: Gen, n: int, k: int) -> np.ndarray:
    base = g.np.uniform(1, 300, k)
    steps = g.np.normal(0, g.pick([0.0, 0.01, 0.03, 0.1]), (n, k))
    v = base * np.exp(np.cumsum(steps, axis=0))
    if g.chance(0.3):  # late listings and delistings
        for j in range(k):
            if g.chance(0.3):
                v[: g.r.randrange(n), j] = np.nan
            if g.chance(0.2):
                v[g.r.randrange(1, n + 1) :, j] = np.nan
    if g.chance(0.15):  # halts
        v[g.np.random((n, k)) < 0.1] = np.nan
    if g.mutate(2.0):
        kind = g.pick(
            ["zero", "neg", "inf", "-inf", "huge", "denormal", "tiny", "all_nan", "last_nan", "scale", "col_nan"]
        )
        g.tag(f"price:{kind}")
        i, j = g.r.randrange(n), g.r.randrange(k)
        if kind == "zero":
            v[i, j] = 0.0
        elif kind == "neg":
            v[i, j] = -v[i, j]
        elif kind == "inf":
            v[i, j] = np.inf
        elif kind == "-inf":
            v[i, j] = -np.inf
        elif kind == "huge":
            v[i, j] = 1e300
        elif kind == "denormal":
            v[i, j] = 1e-310
        elif kind == "tiny":
            v[:, j] = g.pick([5e-324, 1e-300, 1e-200])
        elif kind == "all_nan":
            v[:] = np.nan
        elif kind == "last_nan":
            v[-1] = np.nan
        elif kind == "scale":
            v *= g.pick([1e200, 1e-200, 1e150])
        elif kind == "col_nan":
            v[:, j] = np.nan
    return v


def weight_values(g: Gen, rows: int, k: int, price: np.ndarray | None) -> np.ndarray | str:
    style = g.pick(["random", "random", "equal", "onehot", "short", "bool", "bool", "sparse"])
    g.tag(f"weights={style}")
    if style == "bool":
        return "bool"
    if style == "equal":
        w = np.full((rows, k), 1.0 / k)
    elif style == "onehot":
        w = np.zeros((rows, k))
        w[np.arange(rows), g.np.integers(0, k, rows)] = 1.0
    elif style == "short":
        w = g.np.uniform(-1, 1, (rows, k)) / k
    elif style == "sparse":
        w = np.where(g.np.random((rows, k)) < 0.3, g.np.uniform(0, 1, (rows, k)), 0.0) / max(1, k // 2)
    else:
        w = g.np.dirichlet(np.ones(k), rows) * g.pick([1.0, 0.5, 0.99, 1.2])
    if g.chance(0.2):
        w[g.np.random((rows, k)) < 0.2] = np.nan
    if g.mutate(2.0):
        kind = g.pick(["huge", "inf", "nan_row", "percent", "tiny", "zeros", "neg_big", "1e300", "denormal"])
        g.tag(f"weights:{kind}")
        i, j = g.r.randrange(rows), g.r.randrange(k)
        if kind == "huge":
            w[i, j] = 1e12
        elif kind == "inf":
            w[i, j] = g.pick([np.inf, -np.inf])
        elif kind == "nan_row":
            w[i] = np.nan
        elif kind == "percent":
            w *= 100
        elif kind == "tiny":
            w[i, j] = 1e-300
        elif kind == "zeros":
            w[:] = 0.0
        elif kind == "neg_big":
            w[i, j] = -50.0
        elif kind == "1e300":
            w[:, j] = 1e300
        elif kind == "denormal":
            w[i, j] = 5e-324
    return w


def as_dtype(g: Gen, df: pd.DataFrame, role: str) -> pd.DataFrame:
    """The frame in a dtype users pass: mostly float64, now and then another."""
    valid = ["float64"] * 10 + ["float32", "int64", "Float64", "Int64", "double[pyarrow]", "mixed", "fortran"]
    kind = g.pick(valid)
    if g.mutate(1.0):
        kind = g.pick(
            ["object", "str", "category", "datetime", "complex", "float16", "uint8", "sparse", "string", "decimal"]
        )
    if kind == "float64":
        return df
    g.tag(f"{role}.dtype={kind}")

    def make():
        if kind == "float32":
            return df.astype("float32")
        if kind == "int64":
            return df.fillna(0).round().astype("int64")
        if kind == "Float64":
            return df.astype("Float64")
        if kind == "Int64":
            return df.round().astype("Int64")
        if kind == "double[pyarrow]":
            return df.astype("double[pyarrow]")
        if kind == "object":
            return df.astype(object)
        if kind == "mixed":
            out = df.copy()
            for c in range(df.shape[1]):
                t = g.pick(["float64", "float32", "Float64", "double[pyarrow]", "Int64"])
                col = out.iloc[:, c]
                out.isetitem(c, col.round().astype(t) if t == "Int64" else col.astype(t))
            return out
        if kind == "fortran":
            return pd.DataFrame(np.asfortranarray(df.to_numpy()), index=df.index, columns=df.columns)
        if kind == "str":
            return df.astype(str)
        if kind == "category":
            return df.astype("category")
        if kind == "datetime":
            return df.fillna(0).astype("int64").astype("datetime64[ns]")
        if kind == "complex":
            return df.astype(complex)
        if kind == "float16":
            return df.astype("float16")
        if kind == "uint8":
            return df.fillna(0).clip(0, 255).astype("uint8")
        if kind == "sparse":
            return df.astype(pd.SparseDtype("float64", np.nan))
        if kind == "string":
            return df.astype("string")
        if kind == "decimal":
            return df.map(lambda x: decimal.Decimal(str(x)))
        return df

    return _try(df, make)


# ------------------------------------------------------------------- options


def _number(g: Gen, valid: list, wrong: list):
    return g.pick(wrong) if g.mutate(3.0) else g.pick(valid)


WRONG_NUMBERS = [
    float("nan"),
    float("inf"),
    -float("inf"),
    -0.5,
    1.0,
    2.0,
    "0.1",
    None,
    True,
    np.bool_(False),
    10**400,
    -(10**400),
    decimal.Decimal("0.01"),
    fractions.Fraction(1, 100),
    np.float32(0.01),
    np.int64(0),
    complex(0.1, 0),
    [0.1],
    np.array(0.1),
    np.array([0.1, 0.2]),
    pd.NA,
    pd.NaT,
    1e-320,
    5e-324,
    1e308,
]


def stop_arg(g: Gen, symbols: pd.Index, dates: pd.DatetimeIndex, name: str):
    kind = g.pick(["float", "float", "float", "series", "frame", "none"])
    if g.mutate(2.0):
        kind = g.pick(["wrong", "array", "array_bad", "series_bad", "frame_bad", "str", "list"])
    g.tag(f"{name}={kind}")
    k = len(symbols)

    def make():
        if kind == "none":
            return None
        if kind == "float":
            return g.pick([0.05, 0.1, 0.2, 0.3, 0.5, 0.0, 0.9, 1.5, float("nan")])
        if kind == "wrong":
            return g.pick(WRONG_NUMBERS)
        if kind == "series":
            pick = sorted(g.r.sample(range(k), g.r.randint(1, k)))
            s = pd.Series(g.np.uniform(0.02, 0.4, len(pick)), index=symbols[pick])
            if g.chance(0.2):
                s.iloc[0] = np.nan
            return s
        if kind == "series_bad":
            sub = g.pick(["unknown", "dup", "object", "str", "Int64", "neg", "empty", "dates"])
            g.tag(f"{name}:{sub}")
            s = pd.Series(g.np.uniform(0.02, 0.4, k), index=symbols)
            if sub == "unknown":
                return pd.concat([s, pd.Series([0.1], index=["__nope__"])])
            if sub == "dup":
                return pd.concat([s, s.iloc[:1]])
            if sub == "object":
                return s.astype(object)
            if sub == "str":
                return s.astype(str)
            if sub == "Int64":
                return pd.Series([1] + [pd.NA] * (k - 1), index=symbols, dtype="Int64")
            if sub == "neg":
                return -s
            if sub == "empty":
                return pd.Series([], dtype=float)
            return pd.Series(0.1, index=dates[:k])
        if kind in ("frame", "frame_bad"):
            rows = sorted(g.r.sample(range(len(dates)), g.r.randint(1, min(len(dates), 5))))
            f = pd.DataFrame(g.np.uniform(0.02, 0.4, (len(rows), k)), index=dates[rows], columns=symbols)
            if g.chance(0.3):
                f = f.iloc[:, : g.r.randint(1, k)]
            if g.chance(0.2):
                f.iloc[0, 0] = np.nan
            if kind == "frame_bad":
                sub = g.pick(["unsorted", "tz", "nat", "multi", "str", "unknown", "range", "offbar", "dup"])
                g.tag(f"{name}:{sub}")
                if sub == "unsorted":
                    f = f.iloc[::-1]
                elif sub == "tz":
                    f.index = f.index.tz_localize("UTC") if f.index.tz is None else f.index.tz_convert(None)
                elif sub == "nat":
                    f.index = pd.DatetimeIndex([pd.NaT] + list(f.index[1:]), tz=f.index.tz)
                elif sub == "multi":
                    f.columns = pd.MultiIndex.from_arrays([["x"] * f.shape[1], list(f.columns)])
                elif sub == "str":
                    f = f.astype(str)
                elif sub == "unknown":
                    f["__nope__"] = 0.1
                elif sub == "range":
                    f = f.reset_index(drop=True)
                elif sub == "offbar":
                    f.index = f.index + pd.Timedelta("37min")
                elif sub == "dup":
                    f = pd.concat([f, f.iloc[:1]]).sort_index()
            return f
        if kind == "array":
            return g.np.uniform(0.02, 0.4, k)
        if kind == "array_bad":
            return g.pick(
                [
                    g.np.uniform(0.02, 0.4, k + 3),
                    np.zeros(0),
                    np.ones((k, 2)) * 0.1,
                    np.full(k, np.nan),
                    np.arange(k, dtype=np.int64),
                    np.array(["0.1"] * k),
                    g.np.uniform(0.02, 0.4, k)[::-1],
                    np.full(k, -0.1),
                ]
            )
        if kind == "str":
            return g.pick(["0.1", "", "auto"])
        return [0.1] * k

    return _try(None, make)


def resample_arg(g: Gen, dates: pd.DatetimeIndex):
    kind = g.pick(["none"] * 4 + ["alias"] * 4 + ["dates"])
    if g.mutate(2.0):
        kind = g.pick(["bad_alias", "dates_bad", "odd"])
    g.tag(f"resample={kind}")

    def make():
        if kind == "none":
            return None
        if kind == "alias":
            return g.pick(
                [
                    "D",
                    "W",
                    "W-FRI",
                    "W-MON",
                    "ME",
                    "M",
                    "QE",
                    "Q",
                    "YE",
                    "Y",
                    "A",
                    "BM",
                    "BME",
                    "MS",
                    "SM",
                    "2W",
                    "h",
                    "BQ",
                    "2ME",
                    "Q-NOV",
                ]
            )
        if kind == "bad_alias":
            return g.pick(
                [
                    "",
                    "garbage",
                    "M-",
                    "-",
                    "5",
                    "W-XYZ",
                    "min-",
                    "1000000D",
                    "0D",
                    "-1D",
                    "ME ",
                    "me",
                    "N",
                    "T",
                    "U",
                    "L",
                    "S",
                    "H",
                    "BA-JUN",
                    "Y-FOO",
                    "QS-XXX",
                    "\x00",
                ]
            )
        n = len(dates)
        pick = sorted(g.r.sample(range(n), g.r.randint(1, n)))
        chosen = dates[pick]
        if kind == "dates":
            return g.pick(
                [
                    list(chosen.strftime("%Y-%m-%d")),
                    chosen,
                    chosen.to_numpy(),
                    list(chosen),
                    pd.Series(chosen),
                    tuple(chosen),
                    chosen + pd.Timedelta("3h"),
                ]
            )
        if kind == "dates_bad":
            return g.pick(
                [
                    [pd.NaT] + list(chosen),
                    ["not a date"],
                    list(chosen[::-1]),
                    list(chosen) + list(chosen),
                    [dates[0] - pd.Timedelta("1000D")],
                    [pd.Timestamp("2300-01-01")],
                    chosen.tz_localize(None) if chosen.tz is not None else chosen.tz_localize("UTC"),
                    [],
                    np.array([], dtype="datetime64[ns]"),
                    [1, 2, 3],
                    np.array([1.5, 2.5]),
                    pd.Series(["x", "y"]),
                    pd.DatetimeIndex([pd.NaT, pd.NaT]),
                    [None],
                    list(chosen.strftime("%d/%m/%Y")),
                ]
            )
        return g.pick(
            [
                5,
                2.5,
                True,
                pd.offsets.MonthEnd(),
                pd.Timedelta("7D"),
                pd.Timestamp("2024-01-05"),
                {"a": 1},
                object(),
                b"ME",
                pd.Period("2024-01"),
                dates[0],
            ]
        )

    return _try(None, make)


def delisting_arg(g: Gen, symbols: pd.Index, dates: pd.DatetimeIndex):
    kind = g.pick(["default"] * 5 + ["none", "auto", "mapping"])
    if g.mutate(2.0):
        kind = g.pick(["bad_str", "mapping_bad", "wrong_type"])
    g.tag(f"delisting={kind}")
    if kind == "default":
        return "__default__"

    def make():
        if kind == "none":
            return None
        if kind == "auto":
            return "auto"
        if kind == "bad_str":
            return g.pick(["AUTO", "", "manual", "none"])
        if kind == "wrong_type":
            return g.pick([True, 1, ["auto"], pd.Series(dtype=float), 3.5])
        k = len(symbols)
        pick = g.r.sample(range(k), g.r.randint(1, k))
        m = {symbols[j]: dates[g.r.randrange(len(dates))] for j in pick}
        if kind == "mapping":
            if g.chance(0.3):
                m = {s: str(pd.Timestamp(d).date()) if pd.Timestamp(d).tz is None else d for s, d in m.items()}
            return m
        sub = g.pick(["unknown", "nat", "before", "tz", "junk", "after", "int", "empty", "proxy"])
        g.tag(f"delisting:{sub}")
        first = next(iter(m))
        if sub == "unknown":
            m["__nope__"] = dates[0]
        elif sub == "nat":
            m[first] = pd.NaT
        elif sub == "before":
            m[first] = dates[0] - pd.Timedelta("30D")
        elif sub == "tz":
            d = pd.Timestamp(m[first])
            m[first] = d.tz_localize("Asia/Tokyo") if d.tz is None else d.tz_localize(None)
        elif sub == "junk":
            m[first] = "someday"
        elif sub == "after":
            m[first] = pd.Timestamp("2300-01-01")
        elif sub == "int":
            m[first] = 20240101
        elif sub == "empty":
            m = {}
        elif sub == "proxy":
            return types.MappingProxyType(m)
        return m

    return _try(None, make)


def benchmark_arg(g: Gen, close: pd.DataFrame):
    kind = g.pick(["series", "series", "column", "shifted", "timed"])
    if g.mutate(2.0):
        kind = g.pick(["returns", "bad_values", "bad_index", "unknown", "wrong_type", "other_tz", "short", "label"])
    g.tag(f"benchmark={kind}")
    dates = close.index
    n = len(dates)

    def make():
        if kind == "column":
            return g.pick(
                [str(c) for c in close.columns] + ([close.columns[0]] if isinstance(close.columns[0], str) else [])
            )
        if kind == "label":
            return close.columns[0]
        base = 100 * np.exp(np.cumsum(g.np.normal(0, 0.01, n)))
        name = g.pick([None, "SPY", 0, ("a", "b"), "S0"])
        if kind == "series":
            s = pd.Series(base, index=dates, name=name)
            if g.chance(0.2):
                s.iloc[g.r.randrange(n)] = np.nan
            return s.astype(g.pick(["float64", "float64", "float32", "Float64", "int64"])) if g.chance(0.3) else s
        if kind == "shifted":
            extra = pd.date_range(dates[0] - pd.Timedelta("5D"), periods=n + 10, freq="D", tz=dates.tz)
            return pd.Series(100 * np.exp(np.cumsum(g.np.normal(0, 0.01, n + 10))), index=extra, name=name)
        if kind == "timed":
            return pd.Series(base, index=dates + pd.Timedelta("16h"), name=name)
        if kind == "returns":
            return pd.Series(1 + g.np.normal(0, 0.01, n), index=dates)
        if kind == "bad_values":
            s = pd.Series(base, index=dates)
            s.iloc[g.r.randrange(n)] = g.pick([0.0, -1.0, np.inf, 1e300, 1e-310])
            return s
        if kind == "bad_index":
            return g.pick(
                [
                    pd.Series(base),
                    pd.Series(base, index=dates.strftime("%Y-%m-%d")),
                    pd.Series(base, index=dates[::-1]),
                    pd.Series(np.r_[base, base[:1]], index=dates.append(dates[:1])),
                    pd.Series(base, index=pd.DatetimeIndex([pd.NaT] + list(dates[1:]), tz=dates.tz)),
                    pd.Series(base.astype(object), index=dates),
                    pd.Series(base.astype(str), index=dates),
                    pd.Series([True] * n, index=dates),
                ]
            )
        if kind == "other_tz":
            idx = dates.tz_localize("Asia/Tokyo") if dates.tz is None else dates.tz_convert("UTC").tz_localize(None)
            return pd.Series(base, index=idx)
        if kind == "short":
            return pd.Series(base[:1], index=dates[:1])
        if kind == "unknown":
            return "__nope__"
        return g.pick([close, list(base), base, 5, close.iloc[:, :1]])

    return _try(None, make)


def options(g: Gen, symbols, dates, close, have_ohlc: bool) -> dict:
    kw: dict = {}
    o = {}
    if g.chance(0.2) or g.mutate():
        o["trade_at"] = (
            g.pick(["close", "open"] if have_ohlc else ["close"])
            if not g.mutate(3)
            else g.pick(["Close", "open", None, 1, "high", ""])
        )
    if g.chance(0.5) or g.mutate():
        o["resample"] = resample_arg(g, dates)
    d = delisting_arg(g, symbols, dates)
    if not (isinstance(d, str) and d == "__default__"):
        o["delisting"] = d
    for name in ("fee_ratio", "tax_ratio"):
        if g.chance(0.4) or g.mutate():
            o[name] = _number(g, [0, 0.0, 0.001425, 0.003, 0.01, 0.1, np.float32(0.002), 0.9999], WRONG_NUMBERS)
    for name in ("stop_loss", "take_profit"):
        if g.chance(0.3) or g.mutate():
            o[name] = stop_arg(g, symbols, dates, name)
    if g.chance(0.25) or g.mutate():
        o["trail_stop"] = _number(g, [None, 0.05, 0.1, 0.3, -0.1, float("nan")], WRONG_NUMBERS)
    if g.chance(0.15) or g.mutate():
        o["trail_stop_activation"] = _number(g, [0.0, 0.05, 0.2, -0.1], WRONG_NUMBERS)
    if g.chance(0.4 if have_ohlc else 0.05) or g.mutate():
        o["touched_exit"] = (
            g.pick([True, False, np.bool_(True)])
            if not g.mutate(3)
            else g.pick([1, 0, 2, "yes", None, 1.0, [True], np.array([True])])
        )
    if g.chance(0.2) or g.mutate():
        o["position_limit"] = _number(g, [1.0, 0.5, 0.2, 0.05, 3.0, 1], WRONG_NUMBERS + [0, 0.0, -1.0])
    for name in ("retain_cost_when_rebalance", "stop_trading_next_period", "periodically_rebalance"):
        if g.chance(0.2) or g.mutate():
            o[name] = g.pick([True, False]) if not g.mutate(3) else g.pick([1, 0, 2, "no", None, np.bool_(True), 0.0])
    if g.chance(0.2) or g.mutate():
        o["excursion_window"] = (
            g.pick([0, 1, 2, 3])
            if not g.mutate(3)
            else g.pick([-1, 2**31, 2**63, 2.0, True, np.int8(3), "5", None, np.uint64(2**63), 10**6])
        )
    if g.chance(0.15) or g.mutate():
        o["excursion_window_step"] = (
            g.pick([1, 2, 5]) if not g.mutate(3) else g.pick([0, -1, 2**40, 1.0, False, np.int16(2), None, 10**30])
        )
    if g.chance(0.2) or g.mutate():
        o["benchmark"] = benchmark_arg(g, close)
    kw.update(o)
    g.tag("opts=" + ",".join(f"{k}:{_short(v)}" for k, v in o.items()))
    return kw


def _short(v) -> str:
    if isinstance(v, pd.DataFrame):
        return f"DataFrame{v.shape}"
    if isinstance(v, pd.Series):
        return f"Series[{v.dtype}]({len(v)})"
    if isinstance(v, (pd.Index, np.ndarray)):
        return f"{type(v).__name__}[{v.dtype}]({len(v) if v.ndim else ''})"
    text = repr(v)
    return text if len(text) <= 40 else text[:37] + "..."


# -------------------------------------------------------------- the frames


class PriceFrame(pd.DataFrame):
    """A DataFrame subclass, as some data vendors hand out."""

    _metadata = ["vendor"]
    vendor = "fuzz"

    @property
    def _constructor(self):
        return PriceFrame


class ReadOnlyMapping(Mapping):
    """A mapping that is not a dict."""

    def __init__(self, d):
        self._d = dict(d)

    def __getitem__(self, k):
        return self._d[k]

    def __iter__(self):
        return iter(self._d)

    def __len__(self):
        return len(self._d)

    def __repr__(self):
        return f"ReadOnlyMapping({list(self._d)})"


def ohlc(g: Gen, close: np.ndarray) -> dict:
    noise = np.abs(g.np.normal(0, 0.01, close.shape))
    op = close * (1 + g.np.normal(0, 0.01, close.shape))
    hi = np.fmax(op, close) * (1 + noise)
    lo = np.fmin(op, close) * (1 - noise)
    if g.mutate(1.5):
        kind = g.pick(["high_below_low", "open_nan", "open_zero", "high_inf"])
        g.tag(f"ohlc:{kind}")
        i, j = g.r.randrange(close.shape[0]), g.r.randrange(close.shape[1])
        if kind == "high_below_low":
            hi[i, j] = lo[i, j] * 0.5
        elif kind == "open_nan":
            op[g.np.random(close.shape) < 0.3] = np.nan
        elif kind == "open_zero":
            op[i, j] = 0.0
        elif kind == "high_inf":
            hi[i, j] = np.inf
    return {"open": op, "high": hi, "low": lo}


class BacktestCase:
    kind = "backtest"

    def __init__(self, g: Gen, heavy: bool):
        self.g = g
        n = g.r.randint(3, 40)
        k = g.r.randint(1, 6)
        dates = bar_dates(g, n)
        cols = column_labels(g, k)
        close_v = price_values(g, n, k)
        close = pd.DataFrame(close_v, index=dates, columns=cols)
        have_ohlc = g.chance(0.35)
        self.args: list = []
        self.kwargs: dict = {}
        price_index = mutate_index(g, dates, "price")
        close = _try(close, lambda: close.set_axis(price_index, axis=0))
        close = as_dtype(g, close, "price")
        if g.chance(0.1):
            close.attrs["source"] = {"vendor": "x", "list": [1, 2]}
        if g.chance(0.05):
            close = _try(close, lambda: close.set_flags(allows_duplicate_labels=False))
            g.tag("price:no_duplicate_labels")
        if g.chance(0.05):
            close = PriceFrame(close)
            g.tag("price:subclass")
        price: object = close
        if have_ohlc:
            extra = ohlc(g, close_v)
            frames = {k2: pd.DataFrame(v, index=close.index, columns=close.columns) for k2, v in extra.items()}
            frames = {k2: as_dtype(g, f, k2) if g.chance(0.2) else f for k2, f in frames.items()}
            layout = g.pick(["dict", "dict", "mapping", "keywords", "close_kw"])
            if g.mutate(1.5):
                layout = g.pick(
                    ["twice", "unknown_key", "no_close", "shape", "index", "columns", "series", "volume", "none_entry"]
                )
            g.tag(f"ohlc={layout}")
            price = _try({"close": close, **frames}, self._ohlc_layout, g, layout, close, frames)
        self.price = price
        # The position: rows on some bars (or all), some or all symbols, in a kind users pass.
        style = g.pick(["subset", "subset", "all", "offbar", "single", "monthly"])
        if g.mutate(1.0):
            style = g.pick(["before", "after", "outside", "empty_rows", "empty_cols"])
        g.tag(f"rows={style}")
        pidx = dates
        if style == "subset":
            step = g.r.randint(1, max(1, n // 2))
            pidx = dates[::step]
        elif style == "offbar":
            pidx = dates[:: max(1, n // 4)] + pd.Timedelta(g.pick(["1h", "-1h", "12h", "1ns", "3D"]))
        elif style == "single":
            pidx = dates[g.r.randrange(n) :][:1]
        elif style == "monthly":
            pidx = _try(dates[:1], lambda: dates[dates.to_series().groupby(dates.to_period("M")).cumcount() == 0])
        elif style == "before":
            pidx = dates - pd.Timedelta("3650D")
        elif style == "after":
            pidx = dates[-1:] + pd.Timedelta("1D")
        elif style == "outside":
            pidx = pd.date_range(dates[-1] + pd.Timedelta("10D"), periods=3, tz=dates.tz)
        elif style == "empty_rows":
            pidx = dates[:0]
        rows = len(pidx)
        colstyle = g.pick(["same", "same", "equal", "subset", "reorder"])
        if g.mutate(1.0):
            colstyle = g.pick(["superset_zero", "superset", "text_of_labels", "none"])
        if style == "empty_cols":
            colstyle = "none"
        g.tag(f"poscols={colstyle}")
        pcols = {
            "same": close.columns,
            "equal": close.columns.copy(),
            "subset": close.columns[sorted(g.r.sample(range(k), g.r.randint(1, k)))],
            "reorder": close.columns[g.np.permutation(k)],
            "superset_zero": close.columns.append(pd.Index(["__extra__"])),
            "superset": close.columns.append(pd.Index(["__extra__"])),
            "text_of_labels": pd.Index([str(c) for c in close.columns]),
            "none": close.columns[:0],
        }[colstyle]
        w = weight_values(g, max(rows, 1), max(len(pcols), 1), close_v)
        if isinstance(w, str):
            held = ~np.isnan(np.resize(close_v, (max(rows, 1), max(len(pcols), 1))))
            w = held & (g.np.random(held.shape) < 0.7)
            if g.chance(0.3):
                w = g.np.random(held.shape) < 0.5
        w = w[:rows, : len(pcols)]
        if colstyle == "superset_zero" and w.dtype != bool:
            w[:, -1] = 0.0
        position = _try(None, lambda: pd.DataFrame(w, index=pidx, columns=pcols))
        if position is None:
            position = pd.DataFrame(w, index=pidx[: len(w)], columns=pd.RangeIndex(w.shape[1]))
        pos_index = mutate_index(g, position.index, "position")
        position = _try(position, lambda: position.set_axis(pos_index, axis=0))
        if len(position.columns) and all(getattr(d, "kind", "") == "b" for d in position.dtypes):
            if g.chance(0.2):
                position = _try(position, lambda: position.astype(g.pick(["boolean", "bool[pyarrow]", object])))
                g.tag(f"position.dtype={position.dtypes.iloc[0]}")
                if g.chance(0.5) and str(position.dtypes.iloc[0]) == "boolean":
                    position.iloc[0, 0] = pd.NA
        else:
            position = as_dtype(g, position, "position")
        if g.chance(0.1) and position.shape[1] >= 1:
            s = position.iloc[:, 0]
            if g.chance(0.3):
                s = s.rename(g.pick([None, "__nope__", close.columns[0] if k else None]))
            g.tag(f"position=Series({_short(s.name)})")
            position = s
        if g.mutate(0.3):
            position = close
            g.tag("position is price")
        elif g.mutate(0.3):
            position = (
                g.pick([position.to_numpy(), position.to_dict(), [[1.0]], None, "A"])
                if isinstance(position, pd.DataFrame)
                else position
            )
            g.tag(f"position={type(position).__name__}")
        self.position = position
        self.kwargs.update(options(g, pcols if len(pcols) else close.columns, dates, close, have_ohlc))
        self.heavy = heavy
        self.ops = report_plan(g, heavy, close)
        # Now and then the caller writes into the inputs right after the run: the report must not change.
        self.later_writes = g.chance(0.2)
        if self.later_writes:
            g.tag("later_writes")
        # Now and then the same run in several threads at once, on the same input objects.
        self.threads = not self.later_writes and g.chance(0.05)
        if self.threads:
            g.tag("threads")

    def _ohlc_layout(self, g, layout, close, frames):
        full = {"close": close, **frames}
        if layout == "dict":
            return full
        if layout == "mapping":
            return ReadOnlyMapping(full)
        if layout == "keywords":
            self.kwargs.update(frames)
            return close
        if layout == "close_kw":
            self.kwargs.update(frames, close=close)
            return None
        if layout == "twice":
            self.kwargs["open"] = frames["open"]
            return full
        if layout == "unknown_key":
            return {**full, "adj_close": close}
        if layout == "no_close":
            return frames
        if layout == "shape":
            return {**full, "open": frames["open"].iloc[:-1]}
        if layout == "index":
            return {**full, "high": frames["high"].set_axis(frames["high"].index + pd.Timedelta("1s"), axis=0)}
        if layout == "columns":
            return {**full, "low": frames["low"].set_axis([f"x{i}" for i in range(close.shape[1])], axis=1)}
        if layout == "series":
            return {**full, "open": frames["open"].iloc[:, 0]}
        if layout == "volume":
            return {**full, "volume": frames["open"] * 1000}
        if layout == "none_entry":
            return {**full, "open": None}
        return full

    def describe(self) -> str:
        return "; ".join(self.g.tags)

    def inputs(self) -> list:
        return [("position", self.position), ("price", self.price)] + [(f"{k}=", v) for k, v in self.kwargs.items()]


#: The Report's properties (read without arguments).
REPORT_PROPERTIES = (
    "creturn",
    "returns",
    "drawdown",
    "start",
    "end",
    "benchmark",
    "position",
    "rebalances",
    "weights",
    "next_weights",
    "actions",
    "trades",
    "warnings",
)


def report_plan(g: Gen, heavy: bool, close) -> list:
    """The report operations of the case, as (name, arguments)."""
    plan = []
    for name in REPORT_PROPERTIES:
        if g.chance(0.85):
            plan.append((name, None))
    st = {}
    if g.chance(0.4):
        st["risk_free"] = (
            g.pick([0.0, 0.02, -0.01])
            if not g.mutate(3)
            else g.pick([float("nan"), "0.02", None, 1e300, True, 10**400, -1.0])
        )
    if g.chance(0.3):
        st["periods_per_year"] = (
            g.pick([None, 252, 12, 52])
            if not g.mutate(3)
            else g.pick([0, -1, 12.5, True, "252", 10**30, float("nan"), np.int64(0)])
        )
    if g.chance(0.2):
        st["benchmark"] = (
            g.pick(["series", "report", "none"]) if not g.mutate(3) else g.pick(["frame", "list", "str", "bad_series"])
        )
    elif g.chance(0.1):
        st["benchmark"] = ("made", benchmark_arg(g, close))
    plan.append(("stats", st))
    plan.append(("reconcile", None))
    top = g.pick([5, None, 1, 3]) if not g.mutate(3) else g.pick([0, -1, True, 2.0, 10**20, np.int64(2), "3"])
    plan.append(("drawdowns", top))
    if g.chance(0.7):
        w = (
            g.pick([2, 3, 5, 10, "5D", "36h", pd.Timedelta("2D")])
            if not g.mutate(3)
            else g.pick(
                [1, 0, -3, "3ME", "W", "5B", "garbage", None, 2.5, True, 10**9, "0D", "-5D", pd.Timedelta(0), "1ns"]
            )
        )
        plan.append(("rolling", w))
    if g.chance(0.6):
        plan.append(("repr", None))
    if g.chance(0.3):
        plan.append(("pickle", None))
    # Drawn either way, so that a case is the same with and without them (--light, the tests).
    slow = []
    if g.chance(0.15):
        slow.append(("save", g.pick(["fresh", "fresh", "nested", "again", "overwrite", "bad_flag"])))
    if g.chance(0.05):
        slow.append(("load_damaged", g.pick(DAMAGES)))
    if g.chance(0.03):
        slow.append(("to_html", g.pick([None, "file"])))
    for name in ("plot", "plot_trades", "plot_monthly", "plot_rolling"):
        if g.chance(0.025):
            slow.append((name, g.pick([None, None, "bench", 3, "5D"])))
    return plan + slow if heavy else plan


# ---------------------------------------------------------------- read_prices


CSV_SYMBOLS = ["A", "B", "0050", "NA", "1E3", "nan", "TRUE", "2330", " X ", "a,b", "é", "null", "1.0", "01", "N/A"]


def _date_texts(g: Gen, n: int):
    """Date texts of one format and the read_prices options that read them."""
    fmt = g.pick(["iso", "iso", "iso", "isotime", "yyyymmdd", "epoch_s", "epoch_ms", "slash", "offset"])
    if g.mutate(2.0):
        fmt = g.pick(["junk", "blank", "out_of_range", "mixed_offsets", "float", "dup", "unsorted", "huge_int", "bool"])
    g.tag(f"dates={fmt}")
    days = pd.date_range(g.pick(["2024-01-01", "2019-06-28", "2000-02-27"]), periods=n, freq=g.pick(["D", "B", "h"]))
    opts: dict = {}
    if fmt == "iso":
        texts = list(days.strftime("%Y-%m-%d" if days.freq != "h" else "%Y-%m-%d %H:%M"))
    elif fmt == "isotime":
        texts = list(days.strftime("%Y-%m-%dT%H:%M:%S"))
    elif fmt == "yyyymmdd":
        texts = list(days.strftime("%Y%m%d"))
    elif fmt == "epoch_s":
        texts = [str(int(x) // 10**9) for x in days.asi8]
        if g.chance(0.8):
            opts["date_unit"] = "s"
    elif fmt == "epoch_ms":
        texts = [str(int(x) // 10**6) for x in days.asi8]
        if g.chance(0.8):
            opts["date_unit"] = g.pick(["ms", "ms", "s", "ns"])
    elif fmt == "slash":
        texts = list(days.strftime("%d/%m/%Y"))
        if g.chance(0.8):
            opts["date_format"] = g.pick(["%d/%m/%Y", "%d/%m/%Y", "%m/%d/%Y", "%Y"])
    elif fmt == "offset":
        texts = [x + "+08:00" for x in days.strftime("%Y-%m-%dT%H:%M:%S")]
    elif fmt == "junk":
        texts = list(days.strftime("%Y-%m-%d"))
        texts[g.r.randrange(n)] = g.pick(["yesterday", "2024-13-45", "0000-00-00", "12/34", "--", "2024-02-30"])
    elif fmt == "blank":
        texts = list(days.strftime("%Y-%m-%d"))
        texts[g.r.randrange(n)] = g.pick(["", "NA", " ", "NaT", "null"])
    elif fmt == "out_of_range":
        texts = [g.pick(["1500-01-01", "9999-12-31", "2263-01-01", "1677-09-21", "0001-01-01"])] + list(
            days.strftime("%Y-%m-%d")
        )[1:]
    elif fmt == "mixed_offsets":
        texts = [x + g.pick(["+08:00", "Z", "-05:00", ""]) for x in days.strftime("%Y-%m-%dT%H:%M:%S")]
    elif fmt == "float":
        texts = [f"{x}.5" for x in days.strftime("%Y%m%d")]
        if g.chance(0.5):
            opts["date_unit"] = "s"
    elif fmt == "dup":
        texts = list(days.strftime("%Y-%m-%d"))
        if n > 1:
            texts[-1] = texts[0]
    elif fmt == "unsorted":
        texts = list(days.strftime("%Y-%m-%d"))[::-1]
    elif fmt == "huge_int":
        texts = [str(10**30 + i) for i in range(n)]
        if g.chance(0.5):
            opts["date_unit"] = g.pick(["s", "ns"])
    else:
        texts = [g.pick(["TRUE", "FALSE"]) for _ in range(n)]
    if g.mutate(0.5):
        opts[g.pick(["date_unit", "date_format"])] = g.pick(["d", "S", 1, "", "%Q", None, "%Y-%m-%d"])
    # Whether the texts, read with these options, are the dates made (other layouts may read as other dates).
    exact = (
        (fmt in ("iso", "isotime", "yyyymmdd", "offset") and not opts)
        or (fmt == "epoch_s" and opts == {"date_unit": "s"})
        or (fmt == "epoch_ms" and opts == {"date_unit": "ms"})
        or (fmt == "slash" and opts == {"date_format": "%d/%m/%Y"})
    )
    return texts, opts, exact


def _price_text(g: Gen, x: float) -> str:
    if g.mutate(0.4):
        return g.pick(
            [
                "abc",
                "1,234",
                "1e400",
                "-inf",
                "inf",
                "0x1A",
                " 12 ",
                "+5",
                ".5",
                "5.",
                "1_000",
                "١٢",
                "TRUE",
                "--",
                "1.2.3",
                "nan",
                "NaN",
                "N/A",
                "null",
                "#N/A",
                "None",
                "-0",
                "1e-400",
                "\u00a012",
            ]
        )
    if np.isnan(x):
        return g.pick(["", "", "NA", "NaN", "nan", "null"])
    return g.pick([f"{x:.4f}", f"{x:g}", repr(float(x)), f"{x:.2e}"])


def _csv_line(fields: list[str]) -> str:
    out = []
    for f in fields:
        if any(c in f for c in ',"\n\r'):
            f = '"' + f.replace('"', '""') + '"'
        out.append(f)
    return ",".join(out)


class ReadPricesCase:
    kind = "read_prices"
    expect = None

    def __init__(self, g: Gen, heavy: bool):
        self.g = g
        self.heavy = heavy
        self.source_kind = g.pick(["csv"] * 6 + ["parquet"] * 2 + ["odd_path"])
        self.options: dict = {}
        self.then_backtest = g.chance(0.3)
        g.tag(f"source={self.source_kind}")
        if self.source_kind == "csv":
            self.data, self.name = self._csv(g)
        elif self.source_kind == "parquet":
            self.data, self.name = self._parquet(g), g.pick(["p.parquet", "p.parquet", "p.pq", "p.bin", "p.csv"])
        else:
            self.data, self.name = (
                None,
                g.pick(
                    [
                        "dir",
                        "fifo",
                        "missing",
                        "broken_link",
                        "url",
                        "devnull",
                        "empty_str",
                        "socket",
                        "nul",
                        "long",
                        "int",
                        "none",
                        "bytes_obj",
                        "link_to_fifo",
                        "xlsx",
                        "closed_file",
                        "list",
                        "dir_link",
                    ]
                ),
            )
            self.url = g.pick(
                [
                    "http://example.com/p.csv",
                    "s3://bucket/p.parquet",
                    "file:///etc/passwd",
                    "HTTPS://X/y.csv",
                    "ftp://h/p.csv",
                    "c://x",
                ]
            )
            g.tag(f"path={self.name}")
        self.options.update(self._opts(g))
        self.as_what = g.pick(
            ["str", "str", "str", "path", "bytes_path", "binary_file", "bytesio", "text_file", "stringio", "unseekable"]
        )
        g.tag(f"as={self.as_what}; opts={ {k: _short(v) for k, v in self.options.items()} }")

    def _csv(self, g: Gen):
        layout = g.pick(["wide", "wide", "wide", "long", "long"])
        n, k = g.r.randint(1, 15), g.r.randint(1, 4)
        texts, opts, exact = _date_texts(g, n)
        self.options.update(opts)
        symbols = g.r.sample(CSV_SYMBOLS, k)
        if g.mutate():
            symbols.append(symbols[0])
            g.tag("dup_symbol")
        if g.mutate():
            symbols[0] = g.pick(["close", "date", "symbol", "Date", "price", "volume", "open", "DATE", "Close"])
            g.tag(f"symbol_named_{symbols[0]}")
        dname = g.pick(["date", "Date", "DATE", "datetime", "time", "timestamp", "day"])
        if g.mutate():
            dname = g.pick(["", "dt", "Day ", " date", "date", "symbol", "close"])
        values = 100 * np.exp(np.cumsum(g.np.normal(0, 0.02, (n, len(symbols))), axis=0))
        values[g.np.random(values.shape) < 0.1] = np.nan
        present = np.ones(values.shape, dtype=bool)  # the long layout's lines left out are False
        lines: list[list[str]] = []
        if layout == "wide":
            header = [dname] + symbols
            for i in range(n):
                lines.append([texts[i]] + [_price_text(g, values[i, j]) for j in range(len(symbols))])
        else:
            sname = g.pick(["symbol", "Symbol", "ticker", "code", "stock", "sid"])
            pname = g.pick(["close", "Close", "adj_close", "Adj Close", "price", "last"])
            fields = [f for f in ("open", "high", "low", "volume") if g.chance(0.3)]
            header = [dname, sname, pname] + fields
            if g.chance(0.3):
                order = g.np.permutation(len(header))
                header = [header[i] for i in order]
            else:
                order = np.arange(len(header))
            for i in range(n):
                for j, s in enumerate(symbols):
                    if g.chance(0.1):
                        present[i, j] = False
                        continue
                    row = [texts[i], s, _price_text(g, values[i, j])] + [_price_text(g, values[i, j]) for _ in fields]
                    lines.append([row[o] for o in order])
            if g.chance(0.2):
                self.options["symbol"] = sname if g.chance(0.7) else g.pick(["SYMBOL", "nope", 3])
            if g.chance(0.2):
                self.options["price"] = pname if g.chance(0.7) else g.pick(["PRICE", "nope"])
        g.tag(f"csv={layout}({n}x{len(symbols)})")
        # What a valid file must read back as (level 0 makes no mutation): symbols as written, the prices.
        self.expect = (layout, symbols, values, present) if g.level == 0 and exact else None
        text_lines = [_csv_line(header)] + [_csv_line(r) for r in lines]
        eol = "\r\n" if g.chance(0.15) else "\n"
        if g.mutate(3.0):
            kind = g.pick(
                [
                    "ragged_short",
                    "ragged_long",
                    "trailing_comma",
                    "trailing_comma_all",
                    "blank_lines",
                    "quoted_newline",
                    "open_quote",
                    "nul",
                    "bad_utf8",
                    "latin1",
                    "comment",
                    "header_only",
                    "empty",
                    "spaces",
                    "tabs",
                    "semicolons",
                    "dup_header",
                    "long_line",
                    "no_eol",
                    "only_eols",
                    "many_columns",
                    "bom_twice",
                    "cr_only",
                ]
            )
            g.tag(f"csv:{kind}")
            text_lines = self._mutate_lines(g, kind, text_lines)
        body = eol.join(text_lines) + ("" if g.chance(0.1) else eol)
        raw = body.encode("utf-8", errors="surrogateescape") if isinstance(body, str) else body
        if isinstance(self._raw_override, bytes):
            raw = self._raw_override
        if g.chance(0.1):
            raw = b"\xef\xbb\xbf" + raw
            g.tag("bom")
        comp = g.pick(["none"] * 6 + ["gzip", "bz2", "xz", "zip"])
        if g.mutate(1.0):
            comp = g.pick(["zip_many", "zip_empty", "gzip_truncated", "gzip_twice", "zip_dir", "zip_xl", "ole"])
        if comp != "none":
            g.tag(f"compress={comp}")
        raw = _compress(comp, raw)
        name = g.pick(["prices.csv", "prices.csv", "prices.txt", "prices", "p r i c e s.csv", "價格.csv"])
        if comp in ("gzip", "gzip_truncated", "gzip_twice"):
            name = g.pick([name + ".gz", name])
        if g.mutate(0.5):
            name = g.pick(["prices.parquet", "prices.xlsx", "prices.pq", "prices.XLS"])
        return raw, name

    _raw_override = None

    def _mutate_lines(self, g: Gen, kind: str, lines: list[str]) -> list[str]:
        if kind == "ragged_short" and len(lines) > 1:
            i = g.r.randrange(1, len(lines))
            lines[i] = lines[i].rsplit(",", 1)[0] if "," in lines[i] else ""
        elif kind == "ragged_long" and len(lines) > 1:
            lines[g.r.randrange(1, len(lines))] += ",9"
        elif kind == "trailing_comma" and len(lines) > 1:
            lines[g.r.randrange(1, len(lines))] += ","
        elif kind == "trailing_comma_all":
            lines = [x + "," for x in lines]
        elif kind == "blank_lines":
            lines = [x for line in lines for x in ((line, "") if g.chance(0.3) else (line,))]
        elif kind == "quoted_newline" and len(lines) > 1:
            lines[1] = '"2024-01-02\n",' + lines[1].split(",", 1)[-1]
        elif kind == "open_quote" and len(lines) > 1:
            lines[1] = '"' + lines[1]
        elif kind == "nul" and len(lines) > 1:
            lines[1] = lines[1][:3] + "\x00" + lines[1][3:]
        elif kind == "bad_utf8":
            self._raw_override = ("\n".join(lines) + "\n").encode() + b"\xff\xfe,1\n"
        elif kind == "latin1":
            self._raw_override = ("\n".join(lines) + "\n").replace("date", "dat\xe9").encode("latin-1", "replace")
        elif kind == "comment":
            lines.insert(1, "# a comment")
        elif kind == "header_only":
            lines = lines[:1]
        elif kind == "empty":
            lines = []
        elif kind == "spaces":
            lines = [" , ".join(x.split(",")) for x in lines]
        elif kind == "tabs":
            lines = [x.replace(",", "\t") for x in lines]
        elif kind == "semicolons":
            lines = [x.replace(",", ";") for x in lines]
        elif kind == "dup_header":
            head = lines[0].split(",")
            if len(head) > 2:
                head[2] = head[1]
            lines[0] = ",".join(head)
        elif kind == "long_line" and len(lines) > 1:
            lines[1] = lines[1] + "," + ",".join(["1"] * 5000)
        elif kind == "no_eol":
            lines = [" ".join(lines)]
        elif kind == "only_eols":
            lines = ["", "", ""]
        elif kind == "many_columns":
            lines[0] = lines[0] + "," + ",".join(f"c{i}" for i in range(200))
            self.options["max_columns"] = g.pick([10, 100, 1000])
        elif kind == "bom_twice":
            lines[0] = "\ufeff\ufeff" + lines[0]
        elif kind == "cr_only":
            self._raw_override = ("\r".join(lines) + "\r").encode()
        return lines

    def _parquet(self, g: Gen) -> bytes:
        n, k = g.r.randint(1, 12), g.r.randint(1, 4)
        days = pd.date_range(
            "2024-01-01",
            periods=n,
            freq=g.pick(["D", "B", "h"]),
            unit=g.pick(UNITS),
            tz=g.pick([None, None, "UTC", "Asia/Taipei"]),
        )
        values = 100 * np.exp(np.cumsum(g.np.normal(0, 0.02, (n, k)), axis=0))
        syms = g.r.sample(CSV_SYMBOLS, k)
        layout = g.pick(["wide_index", "wide_column", "long_multi", "long_columns", "wide_strdates", "wide_intdates"])
        if g.mutate(2.0):
            layout = g.pick(
                [
                    "bad_dates",
                    "object_values",
                    "nested",
                    "all_null",
                    "no_rows",
                    "index_clash",
                    "duration",
                    "decimal",
                    "binary",
                    "dict_symbols",
                    "bool_values",
                    "date32",
                    "tz_mixed",
                ]
            )
        g.tag(f"parquet={layout}({n}x{k})")
        dname = g.pick(["date", "Date", "timestamp", "day"])

        def frame():
            wide = pd.DataFrame(values, index=days, columns=syms)
            if layout == "wide_index":
                return wide.rename_axis(dname)
            if layout == "wide_column":
                return wide.rename_axis(dname).reset_index()
            if layout == "wide_strdates":
                return wide.set_axis(days.strftime("%Y-%m-%d"), axis=0).rename_axis(dname)
            if layout == "wide_intdates":
                return wide.set_axis([int(x) for x in days.strftime("%Y%m%d")], axis=0).rename_axis(dname).reset_index()
            longf = wide.rename_axis(dname).rename_axis("symbol", axis=1).stack().rename("close").to_frame()
            if layout == "long_multi":
                return longf
            if layout == "long_columns":
                out = longf.reset_index()
                if g.chance(0.3):
                    out["open"] = out["close"] * 1.01
                return out
            if layout == "bad_dates":
                return pd.DataFrame({dname: ["x"] * n, **{s: values[:, j] for j, s in enumerate(syms)}})
            if layout == "object_values":
                return wide.astype(str).rename_axis(dname)
            if layout == "nested":
                return pd.DataFrame({dname: days, syms[0]: [[1.0, 2.0]] * n})
            if layout == "all_null":
                return pd.DataFrame({dname: days, syms[0]: pd.array([None] * n, dtype="Float64")})
            if layout == "no_rows":
                return wide.iloc[:0].rename_axis(dname)
            if layout == "index_clash":
                return wide.rename_axis(syms[0])
            if layout == "duration":
                return pd.DataFrame({dname: days, syms[0]: pd.to_timedelta(np.arange(n), unit="D")})
            if layout == "decimal":
                return pd.DataFrame({dname: days, syms[0]: [decimal.Decimal("1.5")] * n})
            if layout == "binary":
                return pd.DataFrame({dname: days, syms[0]: [b"\x00\x01"] * n})
            if layout == "dict_symbols":
                out = longf.reset_index()
                out["symbol"] = out["symbol"].astype("category")
                return out
            if layout == "bool_values":
                return pd.DataFrame({dname: days, syms[0]: [True] * n})
            if layout == "date32":
                return pd.DataFrame({dname: [d.date() for d in days], syms[0]: values[:, 0]})
            return pd.DataFrame({dname: list(days.tz_localize(None)) + ["x"], syms[0]: list(values[:, 0]) + [1.0]})

        df = _try(None, frame)
        buf = io.BytesIO()
        if df is None or _try("fail", lambda: df.to_parquet(buf)) == "fail":
            buf = io.BytesIO()
            pd.DataFrame({"date": days, "A": values[:, 0]}).to_parquet(buf)
        raw = buf.getvalue()
        if g.mutate(1.0):
            kind = g.pick(["truncate", "corrupt", "magic_only", "footer_only", "gzip"])
            g.tag(f"parquet:{kind}")
            if kind == "truncate":
                raw = raw[: g.r.randrange(4, len(raw))]
            elif kind == "corrupt":
                b = bytearray(raw)
                for _ in range(8):
                    b[g.r.randrange(4, len(b) - 4)] = g.r.randrange(256)
                raw = bytes(b)
            elif kind == "magic_only":
                raw = b"PAR1"
            elif kind == "footer_only":
                raw = b"PAR1" + raw[-8:]
            elif kind == "gzip":
                raw = gzip.compress(raw)
        return raw

    def _opts(self, g: Gen) -> dict:
        o: dict = {}
        if g.chance(0.1) or g.mutate():
            o["format"] = (
                g.pick([None, "csv", "parquet"])
                if not g.mutate(3)
                else g.pick(["CSV", "xlsx", 1, "", "json", b"csv", "Parquet"])
            )
        if g.mutate(0.5):
            o["date"] = g.pick(["date", "Date", "nope", 0, "", None, "symbol", "close", "A"])
        if g.mutate(0.3):
            o["symbol"] = g.pick(["date", "close", "symbol", "Date"])
        if g.mutate(0.3):
            o["price"] = g.pick(["date", "symbol", "open", "close"])
        if g.mutate(0.5):
            o["max_columns"] = g.pick([1, 0, -1, True, 2.5, np.int64(3), 10**30, "100"])
        return o

    def describe(self) -> str:
        return "; ".join(self.g.tags)


def _compress(kind: str, raw: bytes) -> bytes:
    if kind == "gzip":
        return gzip.compress(raw)
    if kind == "bz2":
        return bz2.compress(raw)
    if kind == "xz":
        return lzma.compress(raw)
    if kind in ("zip", "zip_many", "zip_empty", "zip_dir", "zip_xl"):
        buf = io.BytesIO()
        with zipfile.ZipFile(buf, "w") as z:
            if kind == "zip":
                z.writestr("prices.csv", raw)
            elif kind == "zip_many":
                z.writestr("a.csv", raw)
                z.writestr("b.csv", raw)
            elif kind == "zip_dir":
                z.writestr("folder/", b"")
                z.writestr("folder/prices.csv", raw)
            elif kind == "zip_xl":
                z.writestr("xl/workbook.xml", b"<x/>")
        return buf.getvalue()
    if kind == "gzip_truncated":
        c = gzip.compress(raw)
        return c[: max(10, len(c) // 2)]
    if kind == "gzip_twice":
        return gzip.compress(gzip.compress(raw))
    if kind == "ole":
        return b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + raw
    return raw


def make_case(seed: int, index: int, heavy: bool = True):
    """The case ``index`` of ``seed``: the same inputs every time."""
    for attempt in range(5):
        g = Gen(seed, index, attempt)
        kind = g.pick(["backtest"] * 4 + ["read_prices"])
        g.tag(f"level={g.level}")
        try:
            with warnings.catch_warnings(), np.errstate(all="ignore"):
                warnings.simplefilter("ignore")
                return BacktestCase(g, heavy) if kind == "backtest" else ReadPricesCase(g, heavy)
        except Exception:  # noqa: BLE001 - a combination this pandas cannot build: draw the case again
            if attempt == 4:
                raise
    raise AssertionError("unreachable")


# ============================================================== checking


def _freeze(obj):
    """A deep copy of what a caller handed in, for the comparison after the call."""
    if isinstance(obj, pd.DataFrame):
        return (
            "frame",
            obj,
            obj.copy(deep=True),
            obj.index,
            obj.index.copy(deep=True),
            obj.columns,
            obj.columns.copy(deep=True),
            copy.deepcopy(obj.attrs),
            obj.flags.allows_duplicate_labels,
            _writeable(obj),
        )
    if isinstance(obj, pd.Series):
        return (
            "series",
            obj,
            obj.copy(deep=True),
            obj.index,
            obj.index.copy(deep=True),
            obj.name,
            copy.deepcopy(obj.attrs),
            obj.flags.allows_duplicate_labels,
            _writeable(obj),
        )
    if isinstance(obj, pd.Index):
        return ("index", obj, obj.copy(deep=True), obj.name, obj.names, getattr(obj, "freq", None))
    if isinstance(obj, np.ndarray):
        return ("array", obj, obj.copy(), obj.flags.writeable)
    if isinstance(obj, Mapping):
        return ("mapping", obj, list(obj.keys()), [_freeze(v) for v in obj.values()])
    if isinstance(obj, (list, tuple)):
        return ("seq", obj, len(obj), [_freeze(v) for v in obj])
    return ("other", obj)


def _writeable(obj) -> list:
    blocks = getattr(getattr(obj, "_mgr", None), "blocks", None) or []
    return [bool(b.values.flags.writeable) for b in blocks if isinstance(b.values, np.ndarray)]


def _index_problem(before: pd.Index, after: pd.Index, what: str) -> str | None:
    try:
        pd.testing.assert_index_equal(
            after, before, exact=True, check_names=True, check_exact=True, check_categorical=True, check_order=True
        )
    except AssertionError as exc:
        return f"{what}: {_first_line(exc)}"
    if getattr(after, "freq", None) != getattr(before, "freq", None):
        return f"{what}: freq {getattr(before, 'freq', None)} became {getattr(after, 'freq', None)}"
    if list(after.names) != list(before.names):
        return f"{what}: names {before.names} became {after.names}"
    return None


def _first_line(exc) -> str:
    text = " ".join(str(exc).split())
    return text[:300]


def _changes(frozen, name: str) -> list[str]:
    kind, obj = frozen[0], frozen[1]
    out = []
    if kind == "frame":
        _, _, snap, idx, idx_copy, cols, cols_copy, attrs, dup_flag, writeable = frozen
        if obj.index is not idx:
            out.append(f"{name}: the index object was replaced")
        if obj.columns is not cols:
            out.append(f"{name}: the columns object was replaced")
        for p in (_index_problem(idx_copy, idx, f"{name}.index"), _index_problem(cols_copy, cols, f"{name}.columns")):
            if p:
                out.append(p)
        try:
            pd.testing.assert_frame_equal(
                obj,
                snap,
                check_exact=True,
                check_index_type=True,
                check_column_type=True,
                check_names=True,
                check_freq=True,
                check_flags=True,
                check_dtype=True,
            )
        except AssertionError as exc:
            out.append(f"{name}: {_first_line(exc)}")
        if obj.attrs != attrs:
            out.append(f"{name}.attrs: {attrs!r} became {obj.attrs!r}")
        if obj.flags.allows_duplicate_labels != dup_flag:
            out.append(f"{name}.flags.allows_duplicate_labels changed")
        if _writeable(obj) != writeable:
            out.append(f"{name}: the writeable flags of its arrays changed from {writeable} to {_writeable(obj)}")
    elif kind == "series":
        _, _, snap, idx, idx_copy, sname, attrs, dup_flag, writeable = frozen
        if obj.index is not idx:
            out.append(f"{name}: the index object was replaced")
        p = _index_problem(idx_copy, idx, f"{name}.index")
        if p:
            out.append(p)
        try:
            pd.testing.assert_series_equal(
                obj,
                snap,
                check_exact=True,
                check_index_type=True,
                check_names=True,
                check_freq=True,
                check_flags=True,
                check_dtype=True,
            )
        except AssertionError as exc:
            out.append(f"{name}: {_first_line(exc)}")
        if not (obj.name is sname or obj.name == sname or (obj.name != obj.name and sname != sname)):
            out.append(f"{name}.name: {sname!r} became {obj.name!r}")
        if obj.attrs != attrs:
            out.append(f"{name}.attrs changed")
        if _writeable(obj) != writeable:
            out.append(f"{name}: the writeable flags of its arrays changed")
    elif kind == "index":
        _, _, snap, iname, names, freq = frozen
        p = _index_problem(snap, obj, name)
        if p:
            out.append(p)
    elif kind == "array":
        _, _, snap, writeable = frozen
        if obj.shape != snap.shape or not _same_values(obj, snap):
            out.append(f"{name}: values changed")
        if obj.flags.writeable != writeable:
            out.append(f"{name}: writeable flag changed")
    elif kind == "mapping":
        _, _, keys, values = frozen
        if list(obj.keys()) != keys:
            out.append(f"{name}: keys {keys!r} became {list(obj.keys())!r}")
        else:
            for key, v in zip(keys, values):
                if obj[key] is not v[1]:
                    out.append(f"{name}[{key!r}]: the value object was replaced")
                else:
                    out.extend(_changes(v, f"{name}[{key!r}]"))
    elif kind == "seq":
        _, _, n, items = frozen
        if len(obj) != n:
            out.append(f"{name}: length {n} became {len(obj)}")
        else:
            for i, v in enumerate(items):
                if obj[i] is not v[1]:
                    out.append(f"{name}[{i}]: the item was replaced")
                else:
                    out.extend(_changes(v, f"{name}[{i}]"))
    return out


def _same_values(a: np.ndarray, b: np.ndarray) -> bool:
    if a.dtype != b.dtype:
        return False
    if a.dtype.kind in "fc":
        return np.array_equal(a, b, equal_nan=True)
    if a.dtype.kind == "O":
        return pd.Series(a.ravel()).equals(pd.Series(b.ravel()))
    return np.array_equal(a, b)


def _raising_frame(exc: BaseException):
    tb = exc.__traceback__
    last = None
    while tb is not None:
        last, tb = tb, tb.tb_next
    if last is None:
        return "?", "?", 0, "?"
    f = last.tb_frame
    return f.f_globals.get("__name__", "?"), f.f_code.co_filename, last.tb_lineno, f.f_code.co_name


def _is_torvex(module: str) -> bool:
    return module == "torvex" or module.startswith("torvex.")


def _own_raise(filename: str, lineno: int) -> bool:
    """Whether the line is a raise statement of torvex, or a call into its engine (whose errors are its own)."""
    line = linecache.getline(filename, lineno).strip()
    return line.startswith("raise") or "pathsim." in line or "excursion." in line


WARNING_SEEN: collections.Counter = collections.Counter()
MESSAGES: collections.Counter = collections.Counter()


class Runner:
    """Runs the calls of one case, classifying what they raise and warn."""

    def __init__(self, seed: int, index: int, case, verbose: bool = False):
        self.seed, self.index, self.case = seed, index, case
        self.findings: list[dict] = []
        self.calls: collections.Counter = collections.Counter()
        self.verbose = verbose

    def finding(self, what: str, op: str, detail: str, where: str = "", exc_type: str = "") -> None:
        f = dict(
            seed=self.seed,
            case=self.index,
            replay=f"{self.seed}:{self.index}",
            kind=self.case.kind,
            op=op,
            what=what,
            type=exc_type,
            where=where,
            detail=detail[:500],
            repr=self.case.describe()[:600],
        )
        self.findings.append(f)
        if self.verbose:
            print(f"FINDING {what} in {op}: {exc_type} {detail[:300]} at {where}", file=sys.stderr)

    def call(self, op: str, fn, allowed=(TypeError, ValueError)):
        """(True, result) or (False, the exception), with findings recorded."""
        self.calls[op] += 1
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                result = fn()
                ok = True
            except CaseTimeout:
                raise
            except Contract as exc:
                self.finding("contract", op, _first_line(exc), exc_type="Contract")
                return False, exc
            except BaseException as exc:  # noqa: BLE001 - every exception is judged
                ok, result = False, exc
                self._judge(op, exc, allowed)
        for w in caught:
            cat = w.category
            origin = pathlib.Path(w.filename).parts
            src = "torvex" if "torvex" in origin else pathlib.Path(w.filename).name
            WARNING_SEEN[f"{cat.__name__} from {src}: {str(w.message)[:70]}"] += 1
            if not issubclass(cat, UserWarning):
                self.finding(
                    "warning",
                    op,
                    f"{cat.__name__}: {str(w.message)[:300]}",
                    where=f"{w.filename}:{w.lineno}",
                    exc_type=cat.__name__,
                )
        return ok, result

    def _judge(self, op: str, exc: BaseException, allowed) -> None:
        module, filename, lineno, func = _raising_frame(exc)
        where = f"{module}:{lineno} ({func})"
        text = f"{type(exc).__name__}: {_first_line(exc)}"
        if self.verbose:
            traceback.print_exception(exc, file=sys.stderr)
        if not isinstance(exc, allowed) or isinstance(exc, (KeyboardInterrupt, SystemExit)):
            if isinstance(exc, KeyboardInterrupt):
                raise exc
            self.finding("exception", op, text, where, type(exc).__name__)
        elif not _is_torvex(module) or not _own_raise(filename, lineno):
            self.finding("foreign_raise", op, text, where, type(exc).__name__)
        else:
            MESSAGES[_first_line(exc)[:90]] += 1

    def check_inputs(self, frozen: list, when: str) -> None:
        for name, fz in frozen:
            try:
                problems = _changes(fz, name)
            except Exception as exc:  # noqa: BLE001 - a comparison that fails is the harness's fault
                problems = [f"{name}: could not compare ({type(exc).__name__}: {exc})"]
            for p in problems:
                self.finding("written_input", when, p)


def _alias_check(report, name: str, value) -> None:
    """Write into what the report handed out; what it hands out next must be unchanged."""
    if not isinstance(value, (pd.Series, pd.DataFrame)) or value.size == 0:
        return
    snap = value.copy(deep=True)
    with contextlib.suppress(Exception), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if isinstance(value, pd.Series):
            value.iloc[0] = value.iloc[-1] if value.dtype == object else 12345
        else:
            value.iloc[0, 0] = 12345
    with contextlib.suppress(Exception):
        arr = value.to_numpy()
        if arr.flags.writeable and arr.dtype.kind == "f":
            arr.flat[0] = -12345.0
    again = getattr(report, name)
    try:
        if isinstance(snap, pd.Series):
            pd.testing.assert_series_equal(again, snap, check_exact=True)
        else:
            pd.testing.assert_frame_equal(again, snap, check_exact=True)
    except AssertionError as exc:
        raise Contract(f"report.{name} changed after a write into the object it returned: {_first_line(exc)}") from None


def _report_op(report, name: str, arg, ctx: dict):
    """The call of one report operation (a function of no arguments) and its allowed exceptions."""
    allowed = (TypeError, ValueError)
    if arg is None and name in REPORT_PROPERTIES:

        def read():
            _alias_check(report, name, getattr(report, name))
            v = getattr(report, name)
            if name == "creturn" and len(v) != ctx["bars"]:
                raise Contract(f"creturn has {len(v)} values for {ctx['bars']} price bars")
            if name == "creturn" and v.loc[report.start] != 1.0:
                raise Contract(f"creturn is {v.loc[report.start]!r} at report.start, not 1.0")
            if name == "actions" and len(v):
                from torvex.report import ACTION_WORDS

                odd = sorted(set(v["action"]) - set(ACTION_WORDS) - {""})
                if odd:
                    raise Contract(f"report.actions holds words outside ACTION_WORDS: {odd!r}")
            if name == "trades" and len(v):
                bad = ~(v["entry_price"] > 0) | ~np.isfinite(v["entry_price"].to_numpy(dtype=float))
                if bad.any():
                    t = v[bad].iloc[0]
                    raise Contract(
                        f"a trade of {t['symbol']!r} entered on {t['entry_date']} at the price {t['entry_price']!r}"
                        f" (targets without a trading price are removed): pnl {t['pnl']!r}"
                    )
            return v

        return read, allowed
    if name == "stats":
        kw = dict(arg)
        b = kw.get("benchmark")
        if isinstance(b, tuple):
            kw["benchmark"] = b[1]
        elif isinstance(b, str):
            kw["benchmark"] = {
                "series": report.creturn * 1.0 + 1.0,
                "report": report,
                "none": None,
                "frame": report.creturn.to_frame(),
                "list": list(report.creturn),
                "str": "S0",
                "bad_series": pd.Series([1.0, -1.0]),
            }[b]

        def stats():
            s = report.stats(**kw)
            if not isinstance(s, pd.Series) or s.dtype != np.float64 or len(s) != 30:
                raise Contract(f"stats() is not a float64 Series of the 30 figures: {type(s).__name__} {s.shape}")
            _alias_check(report, "creturn", report.creturn)
            return s

        return stats, allowed
    if name == "reconcile":

        def reconcile():
            v = report.reconcile()
            if not isinstance(v, float):
                raise Contract(f"reconcile() returned {type(v).__name__}")
            # The trades' pnl sums to the run's gain (0 to rounding), unless a warning says why not.
            value = report.creturn.to_numpy()
            scale = max(1.0, float(np.nanmax(np.abs(value))), float(report.trades["pnl"].abs().sum()))
            excused = any(w.startswith(("reconcile:", "exit:")) for w in report.warnings)
            if not excused and not abs(v) <= 1e-9 * scale:
                raise Contract(f"reconcile() is {v!r}: the trades' pnl do not sum to the run's gain")
            return v

        return reconcile, allowed
    if name == "drawdowns":
        return (lambda: report.drawdowns(arg)), allowed
    if name == "rolling":
        return (lambda: report.rolling(arg)), allowed
    if name == "repr":
        return (lambda: (repr(report), report._repr_html_())), allowed
    if name == "pickle":

        def roundtrip():
            back = pickle.loads(pickle.dumps(report))
            if not back.creturn.equals(report.creturn) or not back.stats().equals(report.stats()):
                raise Contract("a pickled report loads back with another creturn or stats()")
            if not back.trades.equals(report.trades):
                raise Contract("a pickled report loads back with other trades")

        return roundtrip, allowed
    if name == "save":
        tmp = ctx["tmp"]

        def save():
            target = tmp / ("run" if arg != "nested" else "a/b/run")
            folder = report.save(target, overwrite=(arg == "bad_flag") and "yes" or False)
            back = torvex.load_report(folder)
            _same_report(report, back)
            if arg == "again":
                try:
                    report.save(target)
                except FileExistsError:
                    pass
                else:
                    raise Contract("save() over a saved report without overwrite=True did not refuse")
            if arg == "overwrite":
                report.save(target, overwrite=True)
                _same_report(report, torvex.load_report(target))

        return save, (TypeError, ValueError)
    if name == "load_damaged":

        def damaged():
            folder = report.save(ctx["tmp"] / "damaged")
            _damage(folder, arg)
            torvex.load_report(folder)  # a refusal is the answer expected; a load is fine too

        return damaged, (TypeError, ValueError, FileNotFoundError, NotADirectoryError)
    if name == "to_html":

        def page():
            path = None if arg is None else ctx["tmp"] / "page.html"
            text = report.to_html(path)
            if not isinstance(text, str) or (path is not None and path.read_text(encoding="utf-8") != text):
                raise Contract("to_html() did not return (and write) the page")

        return page, allowed
    if name.startswith("plot"):

        def plot():
            import matplotlib.pyplot as plt

            try:
                if name == "plot":
                    return report.plot(benchmark=report.creturn + 1.0 if arg == "bench" else None)
                if name == "plot_rolling":
                    return report.plot_rolling(arg if arg in (3, "5D") else None)
                return getattr(report, name)()
            finally:
                plt.close("all")

        return plot, allowed
    raise AssertionError(f"unknown report operation {name}")


DAMAGES = [
    "json_garbage",
    "json_truncated",
    "json_list",
    "version_99",
    "version_str",
    "format_other",
    "drop_trades",
    "drop_manifest",
    "truncate_creturn",
    "empty_position",
    "swap_tables",
    "no_tables_key",
    "start_changed",
    "start_garbage",
    "dtypes_lie",
    "settings_list",
    "run_missing",
    "index_dtype_lie",
    "columns_range_lie",
    "stock_operations_garbage",
]


def _damage(folder: pathlib.Path, kind: str) -> None:
    """Spoil a saved report the way a disk, a copy or a hand edit might."""
    manifest = folder / "report.json"
    data = json.loads(manifest.read_text(encoding="utf-8"))

    def write(d):
        manifest.write_text(json.dumps(d), encoding="utf-8")

    if kind == "json_garbage":
        manifest.write_bytes(b"\xff{not json")
    elif kind == "json_truncated":
        text = manifest.read_text(encoding="utf-8")
        manifest.write_text(text[: len(text) // 2], encoding="utf-8")
    elif kind == "json_list":
        write([1, 2])
    elif kind == "version_99":
        write({**data, "version": 99})
    elif kind == "version_str":
        write({**data, "version": "1"})
    elif kind == "format_other":
        write({**data, "format": "other"})
    elif kind == "drop_trades":
        (folder / "trades.parquet").unlink()
    elif kind == "drop_manifest":
        manifest.unlink()
    elif kind == "truncate_creturn":
        p = folder / "creturn.parquet"
        p.write_bytes(p.read_bytes()[:40])
    elif kind == "empty_position":
        (folder / "position.parquet").write_bytes(b"")
    elif kind == "swap_tables":
        (folder / "position.parquet").write_bytes((folder / "trades.parquet").read_bytes())
    elif kind == "no_tables_key":
        write({k: v for k, v in data.items() if k != "tables"})
    elif kind == "start_changed":
        write({**data, "start": "1999-01-01T00:00:00"})
    elif kind == "start_garbage":
        write({**data, "start": "someday"})
    elif kind == "dtypes_lie":
        data["tables"]["creturn"]["dtypes"] = ["datetime64[ns]"]
        write(data)
    elif kind == "settings_list":
        write({**data, "settings": [1, 2]})
    elif kind == "run_missing":
        write({k: v for k, v in data.items() if k != "run"})
    elif kind == "index_dtype_lie":
        data["tables"]["position"]["index_dtype"] = "int8"
        write(data)
    elif kind == "columns_range_lie":
        data["tables"]["position"]["columns_range"] = [0, 99, 1]
        write(data)
    elif kind == "stock_operations_garbage":
        data["run"]["stock_operations"] = "garbage"
        write(data)


def _same_report(report, back) -> None:
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # pandas' notes about the checks it will make one day
            pd.testing.assert_series_equal(back.creturn, report.creturn, check_exact=True)
            pd.testing.assert_frame_equal(back.trades, report.trades, check_exact=True)
            pd.testing.assert_series_equal(back.stats(), report.stats(), check_exact=True)
            pd.testing.assert_frame_equal(back.position, report.position, check_exact=True)
        if tuple(back.warnings) != tuple(report.warnings):
            raise AssertionError("warnings differ")
    except AssertionError as exc:
        raise Contract(f"load_report(report.save(...)) differs from the report: {_first_line(exc)}") from None


def run_backtest_case(case: BacktestCase, r: Runner, tmp: pathlib.Path) -> str:
    frozen = [(name, _freeze(obj)) for name, obj in case.inputs()]
    twins = None
    if case.later_writes:
        with contextlib.suppress(Exception):
            twins = copy.deepcopy((case.position, case.price, case.kwargs))
    ok, report = r.call("backtest", lambda: torvex.backtest(case.position, case.price, **case.kwargs))
    r.check_inputs(frozen, "backtest")
    if not ok:
        return "refused"
    if not isinstance(report, torvex.Report):
        r.finding("contract", "backtest", f"returned {type(report).__name__}, not a Report")
        return "report"
    if case.threads:
        r.call("threads", lambda: _threaded_runs(case, report))
    if twins is not None:
        # The same run on copies, then writes into every input of the first: both reports must agree.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            for _, obj in case.inputs():
                _scribble(obj)
        frozen = []
        ok2, twin = r.call("backtest(copies)", lambda: torvex.backtest(twins[0], twins[1], **twins[2]))
        if ok2:
            r.call("later_writes", lambda: _same_accessors(report, twin))
    close = case.price if not isinstance(case.price, Mapping) else case.price.get("close")
    if close is None:
        close = case.kwargs.get("close")
    ctx = {"tmp": tmp, "bars": len(close)}
    for name, arg in case.ops:
        try:
            fn, allowed = _report_op(report, name, arg, ctx)
        except Exception as exc:  # noqa: BLE001 - a report accessor raising while building a call
            r._judge(name, exc, (TypeError, ValueError))
            continue
        r.call(name, fn, allowed)
    r.check_inputs(frozen, "report")
    return "report"


def _scribble(obj) -> None:
    """Write new values into a caller's frame, series, array or mapping of them, in place."""
    if isinstance(obj, Mapping):
        for v in list(obj.values()):
            _scribble(v)
        return
    if isinstance(obj, np.ndarray):
        if obj.flags.writeable and obj.dtype.kind in "fiub":
            obj[...] = ~obj if obj.dtype.kind == "b" else obj * 3 + 1
        return
    if isinstance(obj, pd.Series):
        with contextlib.suppress(Exception):
            kind = getattr(obj.dtype, "kind", "")
            if kind in "fiub" and len(obj):
                values = obj.to_numpy(copy=True)
                values = ~values if kind == "b" else values * 3 + 1
                obj.iloc[0] = values[0]
                obj.iloc[1:] = values[1:]
        return
    if not isinstance(obj, pd.DataFrame):
        return
    n = len(obj)
    for i in range(obj.shape[1]):
        with contextlib.suppress(Exception):
            kind = getattr(obj.dtypes.iloc[i], "kind", "")
            # A cell and a part of the rows are written into the frame's own memory (a whole column
            # would replace it, and so would a write while a Series of the column is alive).
            if kind in "fiub" and n:
                values = obj.iloc[:, i].to_numpy(copy=True)
                values = ~values if kind == "b" else values * 3 + 1
                obj.iloc[0, i] = values[0]
                if n > 1:
                    obj.iloc[1:n, i] = values[1:]


def _threaded_runs(case: BacktestCase, report, n: int = 4) -> None:
    """The case's run in ``n`` threads at once: each must give the report of the run alone."""
    results: list = [None] * n

    def work(k):
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                results[k] = torvex.backtest(case.position, case.price, **case.kwargs)
        except BaseException as exc:  # noqa: BLE001 - handed to the main thread
            results[k] = exc

    threads = [threading.Thread(target=work, args=(k,), daemon=True) for k in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(CASE_SECONDS)
    for res in results:
        if res is None:
            raise Contract(f"a run in a thread did not end within {CASE_SECONDS} s")
        if isinstance(res, BaseException):
            raise Contract(f"the run, alone a success, raised in a thread: {type(res).__name__}: {_first_line(res)}")
        _same_accessors(report, res)


def _same_accessors(report, twin) -> None:
    """report and twin (the same run on copies of the inputs) agree on what they hand out."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for name in (
            "creturn",
            "returns",
            "position",
            "rebalances",
            "weights",
            "next_weights",
            "actions",
            "trades",
            "benchmark",
            "warnings",
        ):
            a, b = getattr(report, name), getattr(twin, name)
            try:
                if isinstance(a, pd.Series):
                    pd.testing.assert_series_equal(a, b, check_exact=True)
                elif isinstance(a, pd.DataFrame):
                    pd.testing.assert_frame_equal(a, b, check_exact=True)
                elif a != b:
                    raise AssertionError(f"{a!r} != {b!r}")
            except AssertionError as exc:
                raise Contract(
                    f"report.{name} changed when the caller wrote into the inputs after the run: {_first_line(exc)}"
                ) from None
        if not report.stats().equals(twin.stats()) or not report.drawdowns(None).equals(twin.drawdowns(None)):
            raise Contract("report.stats() or drawdowns() changed when the caller wrote into the inputs after the run")


def _odd_path(name: str, tmp: pathlib.Path, url: str):
    """A path (or object) that is not a regular file, and the exceptions documented for it."""
    if name == "dir":
        return str(tmp), ()
    if name == "dir_link":
        os.symlink(tmp, tmp / "link")
        return str(tmp / "link"), ()
    if name == "fifo":
        os.mkfifo(tmp / "pipe.csv")
        return str(tmp / "pipe.csv"), ()
    if name == "link_to_fifo":
        os.mkfifo(tmp / "pipe")
        os.symlink(tmp / "pipe", tmp / "pipe.csv")
        return str(tmp / "pipe.csv"), ()
    if name == "missing":
        return str(tmp / "nope.csv"), (FileNotFoundError,)
    if name == "broken_link":
        os.symlink(tmp / "nowhere", tmp / "dangling.csv")
        return str(tmp / "dangling.csv"), (FileNotFoundError,)
    if name == "url":
        return url, ()
    if name == "devnull":
        return "/dev/null", ()
    if name == "empty_str":
        return "", (FileNotFoundError,)
    if name == "socket":
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        path = tmp / "sock.csv"
        s.bind(str(path))
        _SOCKETS.append(s)
        return str(path), ()
    if name == "nul":
        return str(tmp / "a\x00b.csv"), ()
    if name == "long":
        return str(tmp / ("x" * 5000 + ".csv")), ()
    if name == "int":
        return 3, ()
    if name == "none":
        return None, ()
    if name == "bytes_obj":
        return b"date,A\n2024-01-01,1\n", ()
    if name == "xlsx":
        (tmp / "book.xlsx").write_bytes(b"PK\x03\x04junk")
        return str(tmp / "book.xlsx"), ()
    if name == "closed_file":
        p = tmp / "c.csv"
        p.write_text("date,A\n2024-01-01,1\n")
        f = open(p, "rb")  # noqa: SIM115
        f.close()
        return f, ()
    if name == "list":
        return [str(tmp / "c.csv")], ()
    raise AssertionError(name)


_SOCKETS: list = []


class _Unseekable(io.RawIOBase):
    """A binary stream without seek (a pipe's or a socket's)."""

    def __init__(self, data: bytes):
        self._b = io.BytesIO(data)

    def readable(self):
        return True

    def readinto(self, b):
        chunk = self._b.read(len(b))
        b[: len(chunk)] = chunk
        return len(chunk)


def run_read_prices_case(case: ReadPricesCase, r: Runner, tmp: pathlib.Path) -> str:
    extra: tuple = ()
    opened = []
    if case.source_kind == "odd_path":
        src, extra = _odd_path(case.name, tmp, case.url)
        path = None
    else:
        path = tmp / case.name
        path.write_bytes(case.data)
        src = {
            "str": lambda: str(path),
            "path": lambda: path,
            "bytes_path": lambda: os.fsencode(str(path)),
            "binary_file": lambda: open(path, "rb"),  # noqa: SIM115
            "bytesio": lambda: io.BytesIO(case.data),
            "text_file": lambda: open(path, encoding="utf-8", errors="strict", newline=""),  # noqa: SIM115
            "stringio": lambda: io.StringIO(case.data.decode("utf-8", errors="replace"), newline=""),
            "unseekable": lambda: io.BufferedReader(_Unseekable(case.data)),
        }[case.as_what]()
        if hasattr(src, "close"):
            opened.append(src)
    frozen = [("options", _freeze(dict(case.options)))]
    try:
        ok, out = r.call(
            "read_prices", lambda: torvex.read_prices(src, **case.options), (TypeError, ValueError) + extra
        )
    finally:
        for f in opened:
            f.close()
    if path is not None and path.read_bytes() != case.data:
        r.finding("written_input", "read_prices", f"the file {case.name} changed")
    r.check_inputs(frozen, "read_prices")
    if not ok:
        return "refused"
    try:
        _check_read(out)
        if case.expect is not None:
            _check_expected(out, *case.expect)
    except Contract as exc:
        r.finding("contract", "read_prices", _first_line(exc))
        return "read"
    if case.then_backtest:
        close = out if isinstance(out, pd.DataFrame) else out["close"]
        price = out if isinstance(out, pd.DataFrame) else {k: v for k, v in out.items() if k != "volume"}
        position = close.notna()
        frozen = [("position", _freeze(position)), ("price", _freeze(price))]
        r.call(
            "backtest(read_prices)",
            lambda: torvex.backtest(
                position, price, touched_exit=isinstance(price, dict) and {"open", "high", "low"} <= set(price)
            ),
        )
        r.check_inputs(frozen, "backtest(read_prices)")
    return "read"


def _check_expected(out, layout: str, symbols: list, values: np.ndarray, present: np.ndarray) -> None:
    """A valid file reads back as written: its symbols exactly, its prices (to the digits written)."""
    close = out if isinstance(out, pd.DataFrame) else out["close"]
    got = list(close.columns)
    if layout == "wide":
        if got != symbols:
            raise Contract(f"read_prices gave the symbols {got!r} for the header's {symbols!r}")
        have = close.to_numpy()
    else:
        # The long layout: symbols and dates of the lines written, NaN where a line is missing.
        listed = [s for s, on in zip(symbols, present.any(axis=0)) if on]
        if sorted(got) != sorted(listed):
            raise Contract(f"read_prices gave the symbols {sorted(got)!r} for the lines' {sorted(listed)!r}")
        rows = present.any(axis=1)
        values = np.where(present, values, np.nan)[rows][:, present.any(axis=0)]
        have = close[listed].to_numpy()
    if have.shape != values.shape:
        raise Contract(f"read_prices gave {have.shape[0]} dates for the {values.shape[0]} written")
    if not (np.array_equal(np.isnan(have), np.isnan(values)) and np.allclose(have, values, rtol=1e-2, equal_nan=True)):
        raise Contract("read_prices gave other prices (or missing ones) than the file holds")


def _check_read(out) -> None:
    frames = [out] if isinstance(out, pd.DataFrame) else list(out.values()) if isinstance(out, dict) else None
    if frames is None or not frames:
        raise Contract(f"read_prices returned {type(out).__name__}")
    if isinstance(out, dict) and "close" not in out:
        raise Contract(f"read_prices returned a dict without 'close': {list(out)}")
    for f in frames:
        if not isinstance(f, pd.DataFrame) or not isinstance(f.index, pd.DatetimeIndex):
            raise Contract("read_prices returned a frame without a DatetimeIndex")
        if not f.index.is_monotonic_increasing or not f.index.is_unique or f.index.hasnans:
            raise Contract("read_prices returned dates that are not ascending, unique and without NaT")
        if not all(dtype == np.float64 for dtype in f.dtypes):
            raise Contract(f"read_prices returned columns of dtypes {sorted(set(map(str, f.dtypes)))}")


def run_case(seed: int, index: int, heavy: bool = True, verbose: bool = False, timeout: float | None = None) -> dict:
    """Make and run one case; its kind, outcome, findings and the calls it made."""
    try:
        case = make_case(seed, index, heavy)
    except Exception as exc:  # noqa: BLE001 - the generator failed: a fault of this file, reported as one
        detail = "".join(traceback.format_exception(exc))[-500:]
        finding = dict(
            seed=seed,
            case=index,
            replay=f"{seed}:{index}",
            kind="?",
            op="make_case",
            what="harness",
            type=type(exc).__name__,
            where="",
            detail=detail,
            repr="",
        )
        return dict(case=index, kind="?", outcome="harness", findings=[finding], calls={}, hung=False)
    r = Runner(seed, index, case, verbose)
    tmp = pathlib.Path(tempfile.mkdtemp(prefix="torvex-fuzz-"))
    limit = (
        timeout
        if timeout is not None
        else (
            HEAVY_CASE_SECONDS
            if any(op[0] in ("to_html", "save") or op[0].startswith("plot") for op in getattr(case, "ops", ()))
            else CASE_SECONDS
        )
    )
    outcome = "?"
    hung = False
    old = signal.signal(signal.SIGALRM, _alarm) if limit else None
    if limit:
        signal.setitimer(signal.ITIMER_REAL, limit)
    try:
        if case.kind == "backtest":
            outcome = run_backtest_case(case, r, tmp)
        else:
            outcome = run_read_prices_case(case, r, tmp)
    except CaseTimeout:
        hung = True
        outcome = "hang"
        r.finding("hang", "case", f"the case ran over its limit of {limit} s", "")
    except Exception as exc:  # noqa: BLE001 - the harness itself failed: report it as one
        outcome = "harness"
        r.finding("harness", "case", "".join(traceback.format_exception(exc))[-500:], "", type(exc).__name__)
    finally:
        if limit:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, old)
        shutil.rmtree(tmp, ignore_errors=True)
        while _SOCKETS:
            _SOCKETS.pop().close()
        if "matplotlib.pyplot" in sys.modules:
            sys.modules["matplotlib.pyplot"].close("all")
    return dict(case=index, kind=case.kind, outcome=outcome, findings=r.findings, calls=dict(r.calls), hung=hung)


def _alarm(signum, frame):
    raise CaseTimeout()


# ============================================================ the campaign


def worker(seed: int, start: int, until: float, fd: int, heavy: bool) -> int:
    """Run cases from ``start`` until the time ``until``, reporting each on the pipe ``fd``."""
    import faulthandler

    faulthandler.enable()
    out = os.fdopen(fd, "w", buffering=1)
    i = start
    while time.time() < until:
        out.write(json.dumps({"start": i}) + "\n")
        res = run_case(seed, i, heavy)
        res["warnings_seen"] = dict(WARNING_SEEN)
        res["messages"] = dict(MESSAGES)
        WARNING_SEEN.clear()
        MESSAGES.clear()
        out.write(json.dumps({"done": i, **res}, default=str) + "\n")
        if res["hung"]:
            return 3  # an interrupted case may leave state behind: start afresh
        i += 1
    return 0


def campaign(seed: int, seconds: float, heavy: bool = True) -> dict:
    t0 = time.time()
    until = t0 + seconds
    summary: dict = dict(
        seed=seed,
        seconds=seconds,
        cases=0,
        kinds=collections.Counter(),
        outcomes=collections.defaultdict(collections.Counter),
        calls=collections.Counter(),
        findings=[],
        restarts=0,
    )
    warnings_seen: collections.Counter = collections.Counter()
    messages: collections.Counter = collections.Counter()
    next_case = 0
    errdir = tempfile.mkdtemp(prefix="torvex-fuzz-worker-")
    while time.time() < until:
        rfd, wfd = os.pipe()
        errpath = os.path.join(errdir, f"stderr-{next_case}.txt")
        with open(errpath, "wb") as err:
            child = subprocess.Popen(
                [
                    sys.executable,
                    os.path.abspath(__file__),
                    "--worker",
                    str(seed),
                    str(next_case),
                    repr(until),
                    str(wfd),
                    "1" if heavy else "0",
                ],
                pass_fds=(wfd,),
                stdout=subprocess.DEVNULL,
                stderr=err,
                env=dict(os.environ, MPLBACKEND="Agg"),
            )
        os.close(wfd)
        reader = os.fdopen(rfd, "r")
        current = None
        while True:
            wait = HEAVY_CASE_SECONDS + GRACE_SECONDS if current is not None else 120
            ready, _, _ = select.select([reader], [], [], wait)
            if not ready:
                child.kill()
                child.wait()
                summary["findings"].append(
                    dict(
                        seed=seed,
                        case=current,
                        replay=f"{seed}:{current}",
                        kind="?",
                        op="case",
                        what="hang",
                        type="",
                        where="",
                        detail=f"the worker gave no sign for {wait} s and was killed",
                        repr="",
                    )
                )
                next_case = (current if current is not None else next_case) + 1
                summary["restarts"] += 1
                break
            line = reader.readline()
            if not line:
                rc = child.wait()
                if current is not None:
                    with open(errpath, "rb") as f:
                        text = f.read().decode("utf-8", "replace")
                    tail = text.split("\nExtension modules:")[0][-1500:]  # faulthandler's traceback
                    sig = f"signal {signal.Signals(-rc).name}" if rc < 0 else f"exit status {rc}"
                    summary["findings"].append(
                        dict(
                            seed=seed,
                            case=current,
                            replay=f"{seed}:{current}",
                            kind="?",
                            op="case",
                            what="crash",
                            type=sig,
                            where="",
                            detail=f"the worker died ({sig}): {tail}",
                            repr="",
                        )
                    )
                    next_case = current + 1
                elif rc == 0:
                    until = min(until, time.time())  # the worker stopped at the deadline
                summary["restarts"] += 1
                break
            msg = json.loads(line)
            if "start" in msg:
                current = msg["start"]
                continue
            current = None
            next_case = msg["done"] + 1
            summary["cases"] += 1
            summary["kinds"][msg["kind"]] += 1
            summary["outcomes"][msg["kind"]][msg["outcome"]] += 1
            summary["calls"].update(msg["calls"])
            summary["findings"].extend(msg["findings"])
            warnings_seen.update(msg.get("warnings_seen", {}))
            messages.update(msg.get("messages", {}))
        reader.close()
    shutil.rmtree(errdir, ignore_errors=True)
    summary["restarts"] -= 1  # the last worker ended at the deadline
    elapsed = time.time() - t0
    summary["elapsed"] = round(elapsed, 1)
    summary["cases_per_second"] = round(summary["cases"] / elapsed, 2) if elapsed else 0
    summary["kinds"] = dict(summary["kinds"])
    summary["outcomes"] = {k: dict(v) for k, v in summary["outcomes"].items()}
    summary["calls"] = dict(summary["calls"])
    summary["distinct_findings"] = distinct(summary["findings"])
    summary["finding_count"] = len(summary["findings"])
    summary["findings"] = summary["findings"][:300]
    summary["warnings_seen"] = dict(warnings_seen.most_common(40))
    summary["refusals_seen"] = len(messages)
    return summary


def distinct(findings: list[dict]) -> list[dict]:
    """The findings grouped by what, where and which exception, with a count and the first case of each."""
    groups: dict = {}
    for f in findings:
        detail = f["detail"]
        if f["what"] == "written_input":
            key = (f["what"], f["op"], detail.split(":")[0])
        elif f["what"] in ("crash", "hang"):
            key = (f["what"], f["type"])
        elif f["what"] == "warning":
            key = (f["what"], f["type"], f["where"])
        elif f["what"] == "contract":
            key = (f["what"], f["op"], _shape_of(detail)[:80])
        else:
            key = (f["what"], f["type"], f["where"], f["op"])
        g = groups.setdefault(
            key,
            dict(
                what=f["what"],
                op=f["op"],
                type=f["type"],
                where=f["where"],
                count=0,
                first=f["replay"],
                detail=detail[:300],
                repr=f["repr"][:300],
            ),
        )
        g["count"] += 1
    return sorted(groups.values(), key=lambda g: -g["count"])


_VALUES = re.compile(r"np\.\w+\([^)]*\)|'[^']*'|\"[^\"]*\"|\([^()]*\)|[-+]?\d[\w.:+-]*")


def _shape_of(text: str) -> str:
    """A message with its labels, numbers and dates left out: one text for one kind of finding."""
    return _VALUES.sub("_", text)


def replay(case_id: str, heavy: bool = True) -> int:
    seed, index = (int(x) for x in case_id.split(":"))
    case = make_case(seed, index, heavy)
    print(f"case {seed}:{index} ({case.kind}): {case.describe()}")
    if case.kind == "backtest":
        print("position:", case.position if not isinstance(case.position, pd.DataFrame) else "")
        if isinstance(case.position, pd.DataFrame):
            print(case.position.head(8), "\ndtypes:", list(map(str, case.position.dtypes)))
        print("price:", case.price if not isinstance(case.price, pd.DataFrame) else "")
        if isinstance(case.price, pd.DataFrame):
            print(case.price.head(8), "\ndtypes:", list(map(str, case.price.dtypes)))
        print("options:", {k: _short(v) for k, v in case.kwargs.items()})
        print("report operations:", case.ops)
    else:
        print("file:", case.name, repr(case.data[:400]) if case.data is not None else "")
        print("options:", case.options, "as:", case.as_what)
    res = run_case(seed, index, heavy, verbose=True)
    print(json.dumps({k: v for k, v in res.items()}, indent=1, default=str))
    return 1 if res["findings"] else 0


def main(argv=None) -> int:
    if argv is None:
        argv = sys.argv[1:]
    if argv and argv[0] == "--worker":
        seed, start, until, fd, heavy = argv[1:6]
        return worker(int(seed), int(start), float(until), int(fd), heavy == "1")
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--seconds", type=float, default=60.0, help="how long to fuzz (default 60)")
    p.add_argument("--seed", type=int, default=None, help="the campaign's seed (default: from the clock)")
    p.add_argument("--out", help="write the JSON summary here too")
    p.add_argument("--light", action="store_true", help="no figures, pages or saved reports")
    p.add_argument("--replay", metavar="SEED:CASE", help="run one case in this process and print it")
    a = p.parse_args(argv)
    if a.replay:
        return replay(a.replay, not a.light)
    seed = a.seed if a.seed is not None else int(time.time()) % 1_000_000
    summary = campaign(seed, a.seconds, heavy=not a.light)
    text = json.dumps(summary, indent=1, default=str)
    if a.out:
        pathlib.Path(a.out).parent.mkdir(parents=True, exist_ok=True)
        pathlib.Path(a.out).write_text(text + "\n")
    print(text)
    return 1 if summary["finding_count"] else 0


if __name__ == "__main__":
    sys.exit(main())
