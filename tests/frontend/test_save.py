"""Report.save and torvex.load_report: exact round trips over varied runs, files any Parquet reader
reads, settings kept, refusals, and a failed save that leaves nothing half-written."""

import json
import os
import pickle
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from pandas.testing import assert_frame_equal, assert_series_equal

import torvex
from torvex import _save

pytest.importorskip("pyarrow")

SERIES = ("creturn", "returns", "drawdown", "weights", "next_weights")
FRAMES = ("trades", "position", "rebalances", "actions")
EXACT = dict(check_exact=True, check_freq=True, check_index_type=True, check_categorical=True)


def _relabel(universe, columns=None, tz=None, unit="ns", freq=None):
    """The universe's frames with other symbol labels and dates (same values)."""
    out = {}
    for key, frame in universe.items():
        frame = frame.copy()
        if columns is not None:
            frame.columns = columns
        index = pd.date_range(frame.index[0], periods=len(frame), freq=freq) if freq else frame.index
        index = index.as_unit(unit)
        frame.index = index if tz is None else index.tz_localize(tz)
        out[key] = frame
    return out


def _like(frame, universe, prices):
    """``frame`` (rows on some of the universe's dates) on the same bars of ``prices``."""
    out = frame.copy()
    out.index = prices["close"].index[universe["close"].index.get_indexer(frame.index)]
    out.columns = prices["close"].columns
    return out


def _long_short(close):
    score = close / close.shift(40) - 1
    ranks = score.rank(axis=1)
    w = (ranks >= ranks.max(axis=1).to_numpy()[:, None] - 1).astype(float) * 0.25
    return w - (ranks <= 2).astype(float) * 0.25


RUNS = {
    "touched exits on OHLC": lambda u, m: torvex.backtest(m, u, touched_exit=True, stop_loss=0.04, take_profit=0.08),
    "stops given as frames, a benchmark": lambda u, m: torvex.backtest(
        m,
        u,
        stop_loss=pd.DataFrame(0.05, index=u["close"].index[::90], columns=u["close"].columns[:6]),
        take_profit=pd.Series(0.1, index=u["close"].columns[2:8]),
        benchmark=u["close"].mean(axis=1).iloc[20:].rename("equal weight"),
    ),
    "shorts with a trailing stop": lambda u, m: torvex.backtest(
        _long_short(u["close"]), u, resample="W", trail_stop=0.05, trail_stop_activation=0.02
    ),
    "windowed excursions": lambda u, m: torvex.backtest(
        m, u, stop_loss=0.06, excursion_window=12, excursion_window_step=4
    ),
    "targets without a price": lambda u, m: torvex.backtest(
        u["close"].isna().shift(-1, fill_value=False) | m.reindex(u["close"].index).ffill().fillna(False),
        u,
        resample=list(u["close"].index[60::45]),
    ),
    "tz-aware seconds, int symbols": lambda u, m: (lambda p: torvex.backtest(_like(m, u, p), p, stop_loss=0.05))(
        _relabel(u, list(range(100, 112)), "Asia/Taipei", "s", "B")
    ),
    "symbols 0..11 as a range, UTC microseconds": lambda u, m: (
        lambda p: torvex.backtest(p["close"].notna(), p, resample="QE")
    )(_relabel(u, pd.RangeIndex(12), "UTC", "us")),
    "object text symbols, no trades": lambda u, m: (lambda p: torvex.backtest(p["close"].notna() & False, p))(
        _relabel(u, pd.Index([f"s{i}" for i in range(12)], dtype=object))
    ),
}


@pytest.fixture(scope="module", params=list(RUNS))
def saved(request, universe, momentum, tmp_path_factory):
    report = RUNS[request.param](universe, momentum)
    folder = report.save(tmp_path_factory.mktemp("saved") / "run")
    return report, folder


def test_round_trip_is_exact(saved):
    report, folder = saved
    back = torvex.load_report(folder)
    for name in SERIES:
        assert_series_equal(getattr(back, name), getattr(report, name), **EXACT)
    for name in FRAMES:
        assert_frame_equal(getattr(back, name), getattr(report, name), check_column_type=True, **EXACT)
    assert_frame_equal(back.drawdowns(top=None), report.drawdowns(top=None), **EXACT)
    if report.benchmark is None:
        assert back.benchmark is None
    else:
        assert_series_equal(back.benchmark, report.benchmark, **EXACT)
    assert_series_equal(back.stats(), report.stats(), check_exact=True)
    bench = report.creturn.iloc[::-1].to_numpy()
    assert_series_equal(
        back.stats(benchmark=pd.Series(bench, index=report.creturn.index)),
        report.stats(benchmark=pd.Series(bench, index=report.creturn.index)),
        check_exact=True,
    )
    assert (back.warnings, back.start, back.end) == (report.warnings, report.start, report.end)
    assert back.reconcile() == report.reconcile()
    assert_series_equal(pickle.loads(pickle.dumps(back)).stats(), report.stats(), check_exact=True)


@pytest.mark.parametrize("seed", range(12))
def test_stats_exact_where_targets_were_removed_for_want_of_a_price(seed, tmp_path):
    # Turnover sums the executed cells, the removed targets (now 0) among them: the order of
    # that sum, and so its last bit, depends on them.
    from torvex.datasets import synthetic_universe

    prices = synthetic_universe(n_stocks=8, n_bars=250, seed=seed, ohlc=True)
    close = prices["close"]
    report = torvex.backtest(
        close.isna().shift(-1, fill_value=False) | (close > close.rolling(20).mean()), prices, resample="W"
    )
    assert any("was removed" in w for w in report.warnings)
    back = torvex.load_report(report.save(tmp_path / "r"))
    assert_series_equal(back.stats(), report.stats(), check_exact=True)


def test_settings_come_back(saved):
    report, folder = saved
    back = torvex.load_report(folder)._run.settings
    assert back.keys() == report._run.settings.keys()
    for key, value in report._run.settings.items():
        got = back[key]
        if isinstance(value, pd.DataFrame):
            assert_frame_equal(got, value, check_exact=True, check_column_type=True)
        elif isinstance(value, pd.Series):
            assert_series_equal(got, value, check_exact=True)
        elif isinstance(value, np.ndarray):
            np.testing.assert_array_equal(got, value)
        elif isinstance(value, list):
            assert [pd.Timestamp(v) for v in got] == [pd.Timestamp(v) for v in value]
        else:
            assert got == value or (value != value and got != got), key
    manifest = json.loads((folder / "report.json").read_text(encoding="utf-8"))
    assert (manifest["format"], manifest["version"]) == ("torvex-report", 1)
    assert manifest["warnings"] == list(report.warnings)
    assert (pd.Timestamp(manifest["start"]), pd.Timestamp(manifest["end"])) == (report.start, report.end)


_PLAIN_READ = r"""
import os, pickle, sys
import pandas as pd, pyarrow.parquet as pq
out = {}
for folder, _, names in os.walk(sys.argv[1]):
    for name in names:
        if name.endswith(".parquet"):
            path = os.path.join(folder, name)
            table = pq.read_table(path)
            key = os.path.relpath(path, sys.argv[1]).replace(os.sep, "/")
            out[key] = (pd.read_parquet(path), table.num_rows, {f.name: str(f.type) for f in table.schema})
out["torvex imported"] = any(m.startswith("torvex") for m in sys.modules)
sys.stdout.buffer.write(pickle.dumps(out))
sys.stdout.flush()
os._exit(0)  # pyarrow's thread pools can abort a normal interpreter exit on a busy machine
"""


def _in_ns(obj):
    """``obj`` with its dates (index and columns) in nanoseconds."""
    obj = obj.copy()
    if isinstance(obj.index, pd.DatetimeIndex):
        obj.index = obj.index.as_unit("ns")
    if isinstance(obj, pd.DataFrame):
        for i, dt in enumerate(obj.dtypes):
            if dt.kind == "M":
                obj.isetitem(i, obj.iloc[:, i].dt.as_unit("ns"))
    return obj


def test_files_are_read_by_plain_pandas_and_pyarrow(saved):
    report, folder = saved
    done = subprocess.run([sys.executable, "-I", "-c", _PLAIN_READ, str(folder)], capture_output=True, check=True)
    files = pickle.loads(done.stdout)
    assert files.pop("torvex imported") is False
    tables = {
        **{n: getattr(report, n) for n in ("creturn", "weights", "next_weights") + FRAMES},
        "drawdowns": report.drawdowns(top=None),
    }
    if report.benchmark is not None:
        tables["benchmark"] = report.benchmark
    for key, value in report._run.settings.items():
        if isinstance(value, (pd.Series, pd.DataFrame)):
            tables[f"settings/{key}"] = value
    assert sorted(files) == sorted(f"{t}.parquet" for t in tables)
    for name, expected in tables.items():
        frame, rows, schema = files[f"{name}.parquet"]
        got = frame.iloc[:, 0] if isinstance(expected, pd.Series) else frame
        assert rows == len(expected)
        # Values and labels as saved; without report.json a reader may widen dates in whole seconds
        # and knows no frequency.
        kwargs = dict(check_dtype=False, check_index_type=False, check_names=False, check_freq=False)
        got, expected = _in_ns(got), _in_ns(expected)
        if isinstance(expected, pd.Series):
            assert_series_equal(got, expected, **kwargs)
        else:  # (an empty table keeps no categories)
            assert_frame_equal(got, expected, check_column_type=False, check_categorical=len(expected) > 0, **kwargs)
        if name == "trades":
            assert schema["exit_reason"].startswith("dictionary<values=string")
            zone = report.creturn.index.tz
            assert schema["exit_date"].startswith("timestamp") and (zone is None or str(zone) in schema["exit_date"])
        if name in ("creturn", "position"):
            assert "date" in schema  # the dates are a named column


@pytest.fixture
def small(universe, momentum):
    return torvex.backtest(
        momentum,
        universe,
        stop_loss=pd.DataFrame(0.05, index=universe["close"].index[:1], columns=universe["close"].columns),
    )


def test_overwrite_replaces_a_saved_report_only_when_asked(small, universe, momentum, tmp_path):
    folder = small.save(tmp_path / "r")
    other = torvex.backtest(momentum, universe, resample="QE")
    with pytest.raises(FileExistsError, match=r"path: .*overwrite=True"):
        other.save(folder)
    other.save(folder, overwrite=True)
    assert_series_equal(torvex.load_report(folder).creturn, other.creturn, check_exact=True)
    assert not (folder / "settings").exists()  # the old report's files went with it
    assert [p.name for p in tmp_path.iterdir()] == ["r"]
    (folder / "notes.txt").write_text("mine")
    with pytest.raises(FileExistsError, match="did not write"):
        small.save(folder, overwrite=True)
    assert (folder / "notes.txt").exists()


@pytest.mark.parametrize("existing", ["empty", "new"])
def test_a_failed_save_leaves_nothing_and_keeps_the_old_report(small, tmp_path, monkeypatch, existing):
    folder = tmp_path / "r"
    if existing == "empty":
        folder.mkdir()
    real = _save._write_table

    def fail_late(folder_, file, *args):
        if file == "actions.parquet":
            raise OSError("disk full")
        return real(folder_, file, *args)

    monkeypatch.setattr(_save, "_write_table", fail_late)
    with pytest.raises(OSError, match="disk full"):
        small.save(folder)
    assert (list(folder.iterdir()) == []) if existing == "empty" else not folder.exists()
    monkeypatch.undo()
    small.save(folder)
    monkeypatch.setattr(_save, "_write_table", fail_late)
    with pytest.raises(OSError, match="disk full"):
        small.save(folder, overwrite=True)
    assert_series_equal(torvex.load_report(folder).stats(), small.stats(), check_exact=True)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["r"]


def _version_2(folder):
    m = json.loads((folder / "report.json").read_text())
    (folder / "report.json").write_text(json.dumps(dict(m, version=2)))


def _other_format(folder):
    (folder / "report.json").write_text(json.dumps({"format": "something-else", "version": 1}))


def _edit_manifest(folder, start=None, columns_range=None):
    path = folder / "report.json"
    manifest = json.loads(path.read_text())
    if start is not None:
        manifest["start"] = start
    if columns_range is not None:
        manifest["tables"]["position"]["columns_range"] = columns_range
    path.write_text(json.dumps(manifest))


@pytest.mark.parametrize(
    "spoil, error, match",
    [
        (lambda f: None, None, None),
        (lambda f: (f / "report.json").unlink(), ValueError, "path: .*without report.json"),
        (_version_2, ValueError, "path: .*version 2.*upgrade torvex"),
        (_other_format, ValueError, "path: .*format 'something-else'"),
        (lambda f: (f / "trades.parquet").unlink(), ValueError, "path: expected trades.parquet"),
        (lambda f: (f / "report.json").write_text("{no json"), ValueError, "path: .*not JSON"),
        # Damage pyarrow and pandas find (a cut-off file, a date that is none, a column count that lies).
        (lambda f: (f / "creturn.parquet").write_bytes(b"PAR1"), ValueError, "path: .*tables are damaged"),
        (lambda f: (f / "position.parquet").write_bytes(b""), ValueError, "path: .*tables are damaged"),
        (lambda f: _edit_manifest(f, start="someday"), ValueError, "path: .*tables are damaged"),
        (lambda f: _edit_manifest(f, columns_range=[0, 99, 1]), ValueError, "path: .*tables are damaged"),
    ],
)
def test_load_refuses_what_is_not_a_saved_report(small, tmp_path, spoil, error, match):
    folder = small.save(tmp_path / "r")
    spoil(folder)
    if error is None:
        torvex.load_report(str(folder))
        return
    with pytest.raises(error, match=match):
        torvex.load_report(folder)


def test_save_and_load_refuse_wrong_places(small, universe, tmp_path):
    (tmp_path / "a file").write_text("x")
    with pytest.raises(FileExistsError, match="path: expected a directory; found a file"):
        small.save(tmp_path / "a file")
    (tmp_path / "busy").mkdir()
    (tmp_path / "busy" / "data.csv").write_text("x")
    with pytest.raises(FileExistsError, match="path: expected a new or empty directory"):
        small.save(tmp_path / "busy")
    with pytest.raises(FileNotFoundError, match="path: .*found nothing"):
        torvex.load_report(tmp_path / "missing")
    with pytest.raises(NotADirectoryError, match="path: "):
        torvex.load_report(tmp_path / "a file")
    mixed = {k: v.set_axis([1, "b", *v.columns[2:]], axis=1) for k, v in universe.items()}
    with pytest.raises(TypeError, match="symbol labels of one type"):
        torvex.backtest(mixed["close"].notna(), mixed).save(tmp_path / "mixed")
    assert not (tmp_path / "mixed").exists()


@pytest.mark.parametrize(
    "labels",
    [
        pd.Index([("T", 1), ("T", 2)], tupleize_cols=False),
        pd.Index([True, False], dtype=object),
        pd.CategoricalIndex(["a", "b"]),
        pd.period_range("2024-01", periods=2, freq="M"),
        pd.timedelta_range("1D", periods=2),
    ],
    ids=["tuples", "bools", "categories", "periods", "timedeltas"],
)
def test_symbol_labels_parquet_cannot_give_back_are_refused_by_save(labels, tmp_path):
    # Saved, these either failed deep inside pyarrow or made a folder that load_report could not read.
    dates = pd.date_range("2024-01-01", periods=10)
    price = pd.DataFrame(np.linspace(10, 12, 20).reshape(10, 2), index=dates, columns=labels)
    report = torvex.backtest(price.notna(), price, resample="W")
    with pytest.raises(TypeError, match="report: expected symbol labels of text or numbers to save in Parquet"):
        report.save(tmp_path / "r")
    assert not (tmp_path / "r").exists()


def test_resample_dates_as_a_datetime64_array_come_back(tmp_path):
    dates = pd.date_range("2024-01-01", periods=10)
    price = pd.DataFrame({"A": np.linspace(10, 12, 10)}, index=dates)
    when = dates[[2, 6]].to_numpy().astype("datetime64[s]")
    report = torvex.backtest(price.notna(), price, resample=when)
    back = torvex.load_report(report.save(tmp_path / "r"))
    assert_series_equal(back.creturn, report.creturn, **EXACT)
    kept = back._run.settings["resample"]
    assert kept.dtype == when.dtype and np.array_equal(kept, when)


def test_resample_dates_across_a_daylight_saving_change_come_back(tmp_path):
    dates = pd.date_range("2024-02-23", periods=8, freq="W-FRI", tz="America/New_York")  # EST, then EDT
    price = pd.DataFrame({"A": np.linspace(10, 12, 8)}, index=dates)
    report = torvex.backtest(price.notna(), price, resample=dates[::2])
    back = torvex.load_report(report.save(tmp_path / "r"))
    assert back._run.settings["resample"].equals(dates[::2])


def test_loaded_report_draws_its_plots_and_page(small, tmp_path):
    pytest.importorskip("matplotlib")
    back = torvex.load_report(small.save(tmp_path / "r"))
    assert len(back.plot().axes) == 2 and back.plot_trades() is not None and back.plot_monthly() is not None
    page = back.to_html(tmp_path / "page.html")
    assert (
        page.count('src="data:image/png;base64,') == small.to_html().count('src="data:image/png;base64,') >= 3
        and str(len(small.trades)) in page
    )
    assert os.path.getsize(tmp_path / "page.html") > 10_000
