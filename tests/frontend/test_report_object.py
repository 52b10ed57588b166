"""The Report: read-only, independent of later runs, lazy, picklable; two threads get two right reports."""

import pickle
import threading

import numpy as np
import pandas as pd
import pytest

import torvex


@pytest.fixture(scope="module")
def report(universe, momentum):
    return torvex.backtest(momentum, universe, stop_loss=0.06, excursion_window=10, excursion_window_step=5)


def test_read_only(report):
    with pytest.raises(AttributeError, match="read-only"):
        report.creturn = None
    s = report.creturn
    s.iloc[0] = 99.0
    assert report.creturn.iloc[0] == 1.0


def test_independent_of_later_runs(report, universe, momentum):
    before = (report.creturn.copy(), report.actions.copy())
    torvex.backtest(~momentum, universe, stop_loss=0.02)
    assert report.creturn.equals(before[0]) and report.actions.equals(before[1])
    assert len(report.trades) == report.stats()["trades"]


def test_trades_and_figures_are_built_on_first_use(universe, momentum):
    r = torvex.backtest(momentum, universe)
    r.stats()
    assert "trades" not in r._cache and not any(k.startswith("fig") for k in r._cache)
    _ = r.trades
    assert "trades" in r._cache


def test_pickles_with_lazy_parts(report):
    _ = report.trades
    back = pickle.loads(pickle.dumps(report))
    assert back.creturn.equals(report.creturn)
    pd.testing.assert_frame_equal(back.trades, report.trades)
    pd.testing.assert_series_equal(back.stats(), report.stats())
    # Pickled before the trades were ever built: they are built after unpickling.
    pos = pd.DataFrame({"X": [1.0]}, index=report.creturn.index[:1])
    fresh = pickle.loads(pickle.dumps(torvex.backtest(pos, report.creturn.to_frame("X"))))
    assert fresh.trades["symbol"].tolist() == ["X"]


def test_repr_and_html(report):
    text = repr(report)
    assert text.startswith("<torvex.Report ") and "trades" in text and "\n" not in text


def test_actions_and_weights_by_symbol(report):
    a = report.actions
    assert list(a.columns) == ["action", "weight", "next_weight"]
    assert set(a["action"]) <= set(torvex.report.ACTION_WORDS) | {""}
    assert report.next_weights.sum() == pytest.approx(1.0) or report.next_weights.sum() < 1.0


def test_window_columns(report):
    t = report.trades
    assert {"mae_at_0", "path_return_at_5"} <= set(t.columns) and "path_return_at_10" not in t.columns


def test_two_threads(universe, momentum):
    jobs = {"a": dict(stop_loss=0.05), "b": dict(take_profit=0.1, trade_at="open")}
    pos = {"a": momentum, "b": ~momentum}
    alone = {k: torvex.backtest(pos[k], universe, **kw) for k, kw in jobs.items()}
    got, errors = {k: [] for k in jobs}, []

    def work(k):
        try:
            for _ in range(8):
                got[k].append(torvex.backtest(pos[k], universe, **jobs[k]))
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(k,)) for k in jobs]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for k in jobs:
        for r in got[k]:
            assert np.array_equal(r.creturn.to_numpy(), alone[k].creturn.to_numpy())
            pd.testing.assert_frame_equal(r.trades, alone[k].trades)
