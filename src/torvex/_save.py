"""A :class:`~torvex.report.Report` saved as a directory of Parquet files, and loaded back.

The directory holds one Parquet file per table of the report, named after the
accessor it holds (``creturn``, ``trades``, ``position``, ``weights``,
``next_weights``, ``rebalances``, ``actions``, ``drawdowns``; ``benchmark``
when the run has one), the run's settings that are tables (stop thresholds
given by date or by symbol) under ``settings/``, and ``report.json``: the
format and its version, the run's
``start`` and ``end``, its warnings, the other settings, and what each Parquet
file holds (the pandas dtypes, index names and frequency that a Parquet file
cannot keep on its own, such as dates in whole seconds).

Every file is plain Parquet written by pyarrow: any Parquet reader reads it.
A table's index is written as an ordinary named column (``date`` or
``symbol`` where the index has no name) and pandas reads it back as the index.

A loaded report is a :class:`Report` built from a run rebuilt out of those
tables: its trades, positions and weights are turned back into the engine's
lists by bar and stock, so every accessor, :meth:`Report.stats`, the plots and
the page work on it as on the original.  ``drawdowns.parquet`` is there for
other readers; a loaded report computes its drawdowns from ``creturn``.
"""

from __future__ import annotations

import dataclasses
import json
import math
import os
import pathlib
import shutil
import uuid
from typing import Any

import numpy as np
import pandas as pd

from torvex.report import _BLOCK, EXIT_REASONS, FILL_COLUMNS, Report, RunData

__all__ = ["save_report", "load_report", "FORMAT", "VERSION"]

FORMAT = "torvex-report"
#: The layout written here; :func:`load_report` reads this version and older ones.
VERSION = 1

_MANIFEST = "report.json"
_SETTINGS = "settings"
_TAG = "__torvex__"
TABLES = ("creturn", "trades", "position", "weights", "next_weights", "rebalances", "actions", "drawdowns")
#: Written when the report has one.
OPTIONAL_TABLES = ("benchmark",)


def _pyarrow(what: str) -> None:
    try:
        import pyarrow  # noqa: F401
        import pyarrow.parquet  # noqa: F401
    except ImportError as exc:
        raise ImportError(f"{what} needs pyarrow: pip install pyarrow") from exc


# ------------------------------------------------------------------ values as JSON


def _float(x: float | np.floating) -> float | dict:
    x = float(x)
    return x if math.isfinite(x) else {_TAG: "float", "value": repr(x)}


def _timestamp(ts: pd.Timestamp) -> dict:
    return {_TAG: "timestamp", "value": ts.isoformat(), "tz": None if ts.tz is None else str(ts.tz)}


def _encode(value: Any, *, table=None) -> Any:
    """``value`` as JSON.  Numbers, text, None and lists are themselves; what JSON has no form for is
    an object tagged ``"__torvex__"``; a Series or frame is handed to ``table`` (it writes the file
    and returns the tag) or, without one, kept as its text."""
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, np.bool_):
        return bool(value)
    if isinstance(value, (int, np.integer)):
        return int(value)
    if isinstance(value, (float, np.floating)):
        return _float(value)
    if isinstance(value, pd.Timestamp):
        return _timestamp(value)
    if isinstance(value, pd.DatetimeIndex):
        return {
            _TAG: "dates",
            "values": [ts.isoformat() for ts in value],
            "tz": None if value.tz is None else str(value.tz),
            "name": _encode(value.name),
        }
    if isinstance(value, pd.Timedelta):
        return {_TAG: "timedelta", "value": value.isoformat()}
    if isinstance(value, pd.offsets.BaseOffset):
        return {_TAG: "offset", "value": value.freqstr}
    if isinstance(value, np.ndarray) and value.ndim <= 1 and value.dtype.kind in "mM":
        # Dates and durations as their integers in the dtype's unit (NaT included), which the dtype reads back.
        return {_TAG: "array", "dtype": str(value.dtype), "values": value.view(np.int64).tolist()}
    if isinstance(value, np.ndarray) and value.ndim <= 1:
        return {_TAG: "array", "dtype": str(value.dtype), "values": [_encode(v) for v in value.tolist()]}
    if isinstance(value, tuple):
        return {_TAG: "tuple", "values": [_encode(v, table=table) for v in value]}
    if isinstance(value, list):
        return [_encode(v, table=table) for v in value]
    if isinstance(value, dict) and all(isinstance(k, str) for k in value) and _TAG not in value:
        return {k: _encode(v, table=table) for k, v in value.items()}
    if table is not None:
        tagged = table(value)
        if tagged is not None:
            return tagged
    return {_TAG: "text", "type": type(value).__name__, "value": repr(value)}


def _decode(value: Any, *, table=None) -> Any:
    """The value :func:`_encode` wrote (a value kept only as its text comes back as that text)."""
    if isinstance(value, list):
        return [_decode(v, table=table) for v in value]
    if not isinstance(value, dict):
        return value
    tag = value.get(_TAG)
    if tag is None:
        return {k: _decode(v, table=table) for k, v in value.items()}
    if tag == "float":
        return float(value["value"])
    if tag == "timestamp":
        ts = pd.Timestamp(value["value"])
        return ts if value["tz"] is None else ts.tz_convert(value["tz"])
    if tag == "dates":
        stamps = [pd.Timestamp(v) for v in value["values"]]
        if value["tz"] is not None and stamps and stamps[0].tz is not None:
            # UTC offsets differ across a change of daylight saving time: one index by way of UTC.
            stamps = [ts.tz_convert("UTC") for ts in stamps]
        idx = pd.DatetimeIndex(stamps, name=_decode(value["name"]))
        if value["tz"] is not None:
            idx = idx.tz_convert(value["tz"]) if idx.tz is not None else idx.tz_localize(value["tz"])
        return idx
    if tag == "timedelta":
        return pd.Timedelta(value["value"])
    if tag == "offset":
        from pandas.tseries.frequencies import to_offset

        return to_offset(value["value"])
    if tag == "array":
        return np.array([_decode(v) for v in value["values"]], dtype=value["dtype"])
    if tag == "tuple":
        return tuple(_decode(v, table=table) for v in value["values"])
    if tag == "table" and table is not None:
        return table(value)
    if tag == "text":
        return value["value"]
    raise ValueError(f"unknown value tag {tag!r}")


# ------------------------------------------------------------------------ tables


def _free_name(preferred: str, taken) -> str:
    name = preferred
    while name in taken:
        name = "_" + name
    return name


def _write_table(folder: pathlib.Path, file: str, obj, default_index: str) -> dict:
    """Write ``obj`` (a Series or frame) to ``folder / file``; what reading it back exactly takes."""
    series = isinstance(obj, pd.Series)
    frame = obj.to_frame(name=obj.name if isinstance(obj.name, str) else "value") if series else obj
    desc: dict[str, Any] = {
        _TAG: "table",
        "file": file,
        "kind": "series" if series else "frame",
        "name": _encode(obj.name) if series else None,
        "dtypes": [str(dt) for dt in frame.dtypes],
        "columns_dtype": str(frame.columns.dtype),
        "columns_name": _encode(frame.columns.name),
        "columns_range": None,
        "index_dtype": str(frame.index.dtype),
        "index_name": None,
        "freq": None,
    }
    if isinstance(frame.columns, pd.RangeIndex):
        c = frame.columns
        desc["columns_range"] = [c.start, c.stop, c.step]
    if not isinstance(frame.index, pd.MultiIndex):
        desc["index_name"] = _encode(frame.index.name)
        if isinstance(frame.index, pd.DatetimeIndex) and frame.index.freq is not None:
            desc["freq"] = frame.index.freqstr
        taken = {str(c) for c in frame.columns}
        plain_range = isinstance(frame.index, pd.RangeIndex) and frame.index.name is None
        if not plain_range and (not isinstance(frame.index.name, str) or frame.index.name in taken):
            frame = frame.rename_axis(_free_name(default_index, taken))
    frame.to_parquet(folder / file, engine="pyarrow", index=None)
    return desc


def _read_table(folder: pathlib.Path, desc: dict, where: str):
    """The Series or frame :func:`_write_table` wrote, with its dtypes, names and frequency."""
    file = folder / desc["file"]
    if not file.is_file():
        raise ValueError(f"path: expected {desc['file']} in the saved report {where}; found no such file")
    frame = pd.read_parquet(file, engine="pyarrow")
    dtypes = desc["dtypes"]
    if len(dtypes) != frame.shape[1]:
        raise ValueError(f"path: expected {len(dtypes)} columns in {file}, as report.json says; found {frame.shape[1]}")
    for i, dt in enumerate(dtypes):
        if str(frame.dtypes.iloc[i]) != dt and dt != "category":
            frame.isetitem(i, frame.iloc[:, i].astype(pd.api.types.pandas_dtype(dt)))  # type: ignore[arg-type]  # a Series is fine
    if desc["columns_range"] is not None:
        frame.columns = pd.RangeIndex(*desc["columns_range"])
    elif str(frame.columns.dtype) != desc["columns_dtype"]:
        frame.columns = frame.columns.astype(pd.api.types.pandas_dtype(desc["columns_dtype"]))
    frame.columns.name = _decode(desc["columns_name"])
    if not isinstance(frame.index, pd.MultiIndex):
        index = frame.index
        if str(index.dtype) != desc["index_dtype"]:
            index = index.astype(pd.api.types.pandas_dtype(desc["index_dtype"]))
        if desc["freq"] is not None:
            try:
                index = pd.DatetimeIndex(index, freq=desc["freq"])
            except ValueError:  # a frequency pandas cannot rebuild from its text: dates as they are
                pass
        frame.index = index.rename(_decode(desc["index_name"]))
    if desc["kind"] == "series":
        out = frame.iloc[:, 0]
        return out.rename(_decode(desc["name"]))
    return frame


# ---------------------------------------------------------------------- settings


def _setting_writer(folder: pathlib.Path, run: RunData, key: str):
    """Writes a setting that is a table to ``settings/<key>.parquet`` (a stop table as the thresholds
    in force on each bar, by date and symbol); None for a value that is no table."""
    from torvex._stops import StopTable

    def write(value):
        frame: pd.Series | pd.DataFrame
        if isinstance(value, StopTable):
            values, rows = np.asarray(value.values), np.asarray(value.rows)
            if values.shape[1:] != (len(run.symbols),) or rows.shape != (len(run.dates),):
                return None
            frame = pd.DataFrame(values[rows], index=run.dates.rename("date"), columns=run.symbols)
            kind = "stop_table"
        elif isinstance(value, (pd.Series, pd.DataFrame)):
            frame, kind = value, None
        elif isinstance(value, np.ndarray) and value.ndim == 2:
            frame, kind = pd.DataFrame(value, columns=[str(c) for c in range(value.shape[1])]), "ndarray"
        else:
            return None
        (folder / _SETTINGS).mkdir(exist_ok=True)
        desc = _write_table(folder, f"{_SETTINGS}/{key}.parquet", frame, "date")
        if kind is not None:
            desc["kind"] = kind
        return desc

    return write


def _setting_reader(folder: pathlib.Path, where: str):
    def read(desc):
        kind = desc["kind"]
        value = _read_table(folder, dict(desc, kind="frame") if kind in ("stop_table", "ndarray") else desc, where)
        if kind == "stop_table":
            from torvex._stops import stop_table

            return stop_table(value.to_numpy(dtype=np.float64), value.index, value.columns)
        if kind == "ndarray":
            return value.to_numpy()
        return value

    return read


# -------------------------------------------------------------------------- save


def _is_saved_report(folder: pathlib.Path) -> bool:
    try:
        with open(folder / _MANIFEST, encoding="utf-8") as f:
            manifest = json.load(f)
    except (OSError, ValueError):
        return False
    return isinstance(manifest, dict) and manifest.get("format") == FORMAT


def _ours(entry: pathlib.Path) -> bool:
    """A file or folder of the layout written here."""
    if entry.name == _MANIFEST:
        return entry.is_file()
    if entry.name == _SETTINGS:
        return entry.is_dir() and all(e.suffix == ".parquet" and e.is_file() for e in entry.iterdir())
    return entry.suffix == ".parquet" and entry.is_file()


#: Labels a symbol column of a Parquet file stores and load_report reads back as they were.
_STORABLE_LABELS = (str, bytes, int, float, np.integer, np.floating)


def _symbols_storable(symbols: pd.Index) -> None:
    dtype = symbols.dtype
    if isinstance(dtype, (pd.CategoricalDtype, pd.PeriodDtype, pd.IntervalDtype)) or dtype.kind in "bmc":
        raise TypeError(
            f"report: expected symbol labels of text or numbers to save in Parquet; found labels of dtype {dtype}"
            " (give the columns text labels, e.g. frame.columns.astype(str))"
        )
    if symbols.dtype == object and len(symbols):
        kinds = {type(s).__name__ for s in symbols}
        if len(kinds) > 1:
            raise TypeError(
                f"report: expected symbol labels of one type to save in Parquet; found"
                f" {', '.join(sorted(kinds))} labels (give the columns labels of one type)"
            )
        first = symbols[0]
        if isinstance(first, (bool, np.bool_)) or not isinstance(first, _STORABLE_LABELS):
            raise TypeError(
                f"report: expected symbol labels of text or numbers to save in Parquet; found"
                f" {type(first).__name__} labels such as {first!r} (give the columns text labels)"
            )


def _exec_cells(report: Report) -> dict | None:
    """The engine's list of executed target cells, as far as the position table does not say it:
    the targets removed for want of a price (weight 0 now) or, where the table differs, every cell."""
    run = report._run
    cells = run.exec_cells
    if cells is None or len(report._exec_rows) != len(run.exec_rows):
        return None
    k, j, vals = (np.asarray(a) for a in cells[:3])
    table = run.pos_values[report._exec_rows]
    keys = np.asarray(cells[3]) if len(cells) > 3 else k.astype(np.int64) * table.shape[1] + j
    kk, jj = np.nonzero(table)
    kept = vals != 0
    if (
        np.array_equal(kk, k[kept])
        and np.array_equal(jj, j[kept])
        and np.array_equal(table[kk, jj], vals[kept])
        and np.array_equal(keys, k.astype(np.int64) * table.shape[1] + j)
    ):
        return {"removed": [[int(a), int(b)] for a, b in zip(k[~kept], j[~kept])]}
    return {"k": k.tolist(), "j": j.tolist(), "w": [_float(v) for v in vals.tolist()], "keys": keys.tolist()}


def _write(report: Report, folder: pathlib.Path) -> None:
    run = report._run
    tables = {
        "creturn": (report.creturn, "date"),
        "trades": (report.trades, "row"),
        "position": (report.position, "date"),
        "weights": (report.weights, "symbol"),
        "next_weights": (report.next_weights, "symbol"),
        "rebalances": (report.rebalances, "row"),
        "actions": (report.actions, "symbol"),
        "drawdowns": (report.drawdowns(top=None), "row"),
    }
    benchmark = getattr(report, "benchmark", None)
    if isinstance(benchmark, pd.Series):
        tables["benchmark"] = (benchmark, "date")
    described = {name: _write_table(folder, f"{name}.parquet", obj, index) for name, (obj, index) in tables.items()}
    settings = {key: _encode(value, table=_setting_writer(folder, run, key)) for key, value in run.settings.items()}
    ops = run.operations()
    manifest = {
        "format": FORMAT,
        "version": VERSION,
        "torvex": _torvex_version(),
        "start": report.start.isoformat(),
        "end": report.end.isoformat(),
        "timezone": None if run.dates.tz is None else str(run.dates.tz),
        "warnings": list(report.warnings),
        "settings": settings,
        "tables": described,
        "run": {
            "touched_exit": bool(run.touched_exit),
            "excursion_window": int(run.excursion_window),
            "excursion_window_step": int(run.excursion_window_step),
            "auto_delisting": bool(run.auto_delisting),
            "pending_row": None if run.pending_row is None else int(run.pending_row),
            "delisting_bars": None if run.delisting_bars is None else [int(b) for b in run.delisting_bars],
            "stock_operations": {
                k: _encode(v) for k, v in ops.items() if k not in ("actions", "weights", "next_weights")
            },
            "exec_cells": _exec_cells(report),
        },
    }
    text = json.dumps(manifest, indent=1, allow_nan=False, ensure_ascii=False)
    (folder / _MANIFEST).write_text(text + "\n", encoding="utf-8")


def _torvex_version() -> str:
    import torvex

    return torvex.__version__


def save_report(report: Report, path: str | os.PathLike, *, overwrite: bool = False) -> pathlib.Path:
    """Save ``report`` as a directory of Parquet files and ``report.json``.

    Parameters
    ----------
    report : Report
    path : str or path-like
        The directory: created (with its parents) when missing; an empty
        directory is filled.  A directory holding a saved report is replaced
        only with ``overwrite=True``; any other non-empty directory is refused.
    overwrite : bool
        Replace a report saved at ``path`` before.  The new report is written
        next to it first and swapped in when complete, so a failed save
        leaves the old one as it was.

    Returns
    -------
    pathlib.Path
        The directory.

    Examples
    --------
    >>> import os, tempfile, torvex
    >>> from torvex.datasets import synthetic_universe
    >>> price = synthetic_universe(n_stocks=4, n_bars=200, seed=1)
    >>> report = torvex.backtest(price.notna(), price, resample="ME")
    >>> folder = save_report(report, os.path.join(tempfile.mkdtemp(), "run"))
    >>> sorted(p.name for p in folder.iterdir())[:3]
    ['actions.parquet', 'creturn.parquet', 'drawdowns.parquet']
    """
    if not isinstance(report, Report):
        raise TypeError(f"report: expected a torvex Report; found {type(report).__name__}")
    if not isinstance(overwrite, (bool, np.bool_)):
        raise TypeError(f"overwrite: expected True or False; found {type(overwrite).__name__}")
    _pyarrow("Report.save")
    _symbols_storable(report._run.symbols)
    target = pathlib.Path(os.fspath(path))
    if target.exists() and not target.is_dir():
        raise FileExistsError(f"path: expected a directory; found a file at {target}")
    entries = list(target.iterdir()) if target.is_dir() else []
    if entries:
        if not _is_saved_report(target):
            raise FileExistsError(
                f"path: expected a new or empty directory, or a saved torvex report; found"
                f" {target}, a directory of other files (no torvex report.json)"
            )
        if not overwrite:
            raise FileExistsError(f"path: {target} holds a saved torvex report; pass overwrite=True to replace it")
        foreign = sorted(e.name for e in entries if not _ours(e))
        if foreign:
            raise FileExistsError(
                f"path: {target} holds a saved torvex report and files torvex did not write"
                f" ({', '.join(foreign[:5])}); not replacing it"
            )
        # Written beside the old report and swapped in whole: a save that fails leaves it as it was.
        fresh = target.parent / f".{target.name}.{uuid.uuid4().hex[:12]}.saving"
        old = target.parent / f".{target.name}.{uuid.uuid4().hex[:12]}.old"
        os.mkdir(fresh)
        try:
            _write(report, fresh)
            os.replace(target, old)
            try:
                os.replace(fresh, target)
            except BaseException:
                os.replace(old, target)
                raise
        finally:
            shutil.rmtree(fresh, ignore_errors=True)
        shutil.rmtree(old, ignore_errors=True)
        return target
    created = not target.exists()
    target.mkdir(parents=True, exist_ok=True)
    try:
        _write(report, target)
    except BaseException:
        if created:
            shutil.rmtree(target, ignore_errors=True)
        else:  # the directory was empty before: empty it again
            for entry in target.iterdir():
                if entry.is_dir():
                    shutil.rmtree(entry, ignore_errors=True)
                else:
                    entry.unlink(missing_ok=True)
        raise
    return target


# -------------------------------------------------------------------------- load


def _manifest(target: pathlib.Path) -> dict:
    if not target.exists():
        raise FileNotFoundError(f"path: expected a saved torvex report directory; found nothing at {target}")
    if not target.is_dir():
        raise NotADirectoryError(f"path: expected a saved torvex report directory; found a file at {target}")
    file = target / _MANIFEST
    if not file.is_file():
        raise ValueError(f"path: expected a saved torvex report; found {target}, a directory without {_MANIFEST}")
    try:
        manifest = json.loads(file.read_text(encoding="utf-8"))
    except ValueError as exc:
        raise ValueError(f"path: expected a saved torvex report; found {file}, which is not JSON ({exc})") from None
    found = manifest.get("format") if isinstance(manifest, dict) else None
    if found != FORMAT:
        raise ValueError(
            f"path: expected a saved torvex report ({_MANIFEST} of format {FORMAT!r}); found format {found!r} in {file}"
        )
    version = manifest.get("version")
    if isinstance(version, bool) or not isinstance(version, int) or version < 1:
        raise ValueError(f"path: expected a format version (a whole number from 1) in {file}; found {version!r}")
    if version > VERSION:
        raise ValueError(
            f"path: {target} was saved in format version {version} (torvex"
            f" {manifest.get('torvex', '?')}); this torvex reads version {VERSION} at most:"
            " upgrade torvex to load it"
        )
    return manifest


def load_report(path: str | os.PathLike) -> Report:
    """A report saved by :meth:`Report.save`, read back.

    Its accessors (creturn, returns, trades, position, weights, next_weights,
    rebalances, actions, drawdowns, warnings, start, end) and
    :meth:`Report.stats` equal the saved report's, values and dtypes; its
    plots and page are drawn from them.

    Only Parquet files and ``report.json`` are read, and nothing in them is
    run, so this is the way to load a report someone else sent.  A pickled
    report is another matter: ``pickle.load`` on an untrusted file runs
    arbitrary code (a crafted pickle can run a command and still return a
    real Report); unpickle only reports you made yourself.

    Parameters
    ----------
    path : str or path-like
        The directory :meth:`Report.save` wrote.

    Returns
    -------
    Report

    Examples
    --------
    >>> import os, tempfile, torvex
    >>> from torvex.datasets import synthetic_universe
    >>> price = synthetic_universe(n_stocks=4, n_bars=200, seed=1)
    >>> report = torvex.backtest(price.notna(), price, resample="ME", stop_loss=0.05)
    >>> folder = report.save(os.path.join(tempfile.mkdtemp(), "run"))
    >>> back = torvex.load_report(folder)
    >>> back.stats().equals(report.stats()), back.trades.equals(report.trades)
    (True, True)
    """
    _pyarrow("torvex.load_report")
    target = pathlib.Path(os.fspath(path))
    manifest = _manifest(target)
    where = str(target)
    described = manifest.get("tables", {})
    missing = [name for name in TABLES if name != "drawdowns" and name not in described]
    if missing:
        raise ValueError(
            f"path: expected the tables {', '.join(TABLES)} in {target / _MANIFEST}; found no {', '.join(missing)}"
        )
    try:
        t = {name: _read_table(target, described[name], where) for name in described if name != "drawdowns"}
        t.setdefault("benchmark", None)
        settings = {
            key: _decode(value, table=_setting_reader(target, where))
            for key, value in manifest.get("settings", {}).items()
        }
        saved = pd.Timestamp(manifest["start"])
        run = _rebuild(t, manifest["run"], saved, manifest.get("warnings", []), settings, where)
    except (KeyError, TypeError, AttributeError, IndexError, ValueError) as exc:
        if isinstance(exc, ValueError) and str(exc).startswith("path:"):
            raise  # said already, with the file at fault
        # pandas and pyarrow on a damaged table (ArrowInvalid is a ValueError), pandas on a bad date ...
        raise ValueError(
            f"path: expected a saved torvex report; found {target}, whose {_MANIFEST} or tables"
            f" are damaged ({type(exc).__name__}: {exc})"
        ) from exc
    report = Report(run)
    if report.start != saved:
        raise ValueError(
            f"path: expected tables that start the run on {saved} as report.json says; found {report.start} in {target}"
        )
    return report


def _rebuild(t: dict, meta: dict, start: pd.Timestamp, warnings: list, settings: dict, where: str) -> RunData:
    """The run a report of the tables ``t`` was built from, as far as the report reads it."""
    creturn, position, rebalances, trades = t["creturn"], t["position"], t["rebalances"], t["trades"]
    dates = creturn.index
    symbols = position.columns
    n = len(trades)

    def sids_of(labels, what):
        sids = symbols.get_indexer(pd.Index(labels, dtype=symbols.dtype)) if len(labels) else np.empty(0, np.intp)
        if (sids < 0).any():
            raise ValueError(
                f"path: expected the symbols of {what} among the columns of position.parquet in"
                f" {where}; found {labels[sids < 0][0]!r}"
            )
        return sids.tolist()

    sid = sids_of(trades["symbol"].to_numpy(), "trades.parquet")
    entry, exit_ = trades["entry_bar"].to_numpy(np.int64), trades["exit_bar"].to_numpy(np.int64)
    window, step = int(meta["excursion_window"]), int(meta["excursion_window_step"])
    cols = [f"{name}_at_{w}" for w in (range(0, window, step) if window > 0 else ()) for name in _BLOCK]
    cols += list(_BLOCK)
    blocks = trades[cols].to_numpy(dtype=np.float64) if n else np.empty((0, len(cols)))
    codes = pd.Categorical(trades["exit_reason"].astype(object), categories=EXIT_REASONS).codes
    bars = rebalances["bar"].to_numpy(np.int64)
    runlog: dict[str, Any] = {k: trades[k].to_numpy(np.float64) for k in FILL_COLUMNS}
    if not (codes < 0).any():
        runlog["exit_reason"] = codes.astype(np.int8)
    if "touched" in trades.columns:
        runlog["touched"] = trades["touched"].to_numpy(bool)
    runlog.update(
        rebalance_bars=bars,
        rebalance_rows=np.arange(len(bars), dtype=np.int64),
        unrecorded_sids=np.empty(0, np.int64),
        unrecorded_pnl=np.empty(0),
        matches_trade_log=True,
    )

    weights, next_weights, actions = t["weights"], t["next_weights"], t["actions"]
    ops: dict[str, Any] = {k: _decode(v) for k, v in meta.get("stock_operations", {}).items()}
    ops["weights"] = dict(zip(sids_of(weights.index.to_numpy(), "weights.parquet"), weights.to_numpy().tolist()))
    ops["next_weights"] = dict(
        zip(sids_of(next_weights.index.to_numpy(), "next_weights.parquet"), next_weights.to_numpy().tolist())
    )
    ops["actions"] = dict(
        zip(sids_of(actions.index.to_numpy(), "actions.parquet"), actions["action"].astype(object).tolist())
    )

    pos_values = np.ascontiguousarray(position.to_numpy(dtype=np.float64))
    if len(rebalances):
        row_dates = pd.DatetimeIndex(rebalances["row_date"])
    else:  # without an execution a report starts on the first bar at or after its first row's date
        first = start if dates.tz is None else start.tz_convert(dates.tz)
        row_dates = pd.DatetimeIndex([first]).as_unit(dates.unit)
    cells = meta.get("exec_cells")
    exec_cells = None
    if cells is not None:
        ncols = pos_values.shape[1]
        if "removed" in cells:
            k, j = np.nonzero(pos_values)
            removed = np.asarray(cells["removed"], dtype=np.intp).reshape(-1, 2)
            k, j = np.r_[k, removed[:, 0]], np.r_[j, removed[:, 1]]
            w = np.r_[pos_values[np.nonzero(pos_values)], np.zeros(len(removed))]
            keys = k.astype(np.int64) * ncols + j
            order = np.argsort(keys, kind="stable")
            exec_cells = (k[order], j[order], w[order], keys[order])
        else:
            exec_cells = (
                np.asarray(cells["k"], np.intp),
                np.asarray(cells["j"], np.intp),
                np.array([_decode(v) for v in cells["w"]], dtype=np.float64),
                np.asarray(cells["keys"], np.int64),
            )
    delisting = meta.get("delisting_bars")
    extra = {}
    if t["benchmark"] is not None and "benchmark" in {f.name for f in dataclasses.fields(RunData)}:
        extra = dict(benchmark=t["benchmark"].to_numpy(np.float64), benchmark_name=t["benchmark"].name)
    return RunData(
        dates=dates,
        symbols=symbols,
        creturn=creturn.to_numpy(np.float64),
        pos_values=pos_values,
        pos_dates=row_dates,
        exec_bars=bars,
        exec_rows=np.arange(len(bars), dtype=np.int64),
        pending_row=meta.get("pending_row"),
        trades=list(zip(sid, entry.tolist(), exit_.tolist())),
        trade_positions=trades["position"].to_numpy(np.float64).tolist(),
        excursion=list(blocks),
        stock_operations=ops,
        runlog=runlog,
        delisting_bars=None if delisting is None else np.asarray(delisting, dtype=np.int64),
        auto_delisting=bool(meta["auto_delisting"]),
        touched_exit=bool(meta["touched_exit"]),
        excursion_window=window,
        excursion_window_step=step,
        exec_cells=exec_cells,
        warnings=list(warnings),
        settings=settings,
        **extra,
    )
