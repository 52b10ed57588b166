"""The front end's shortcuts give, bit for bit, what the plain formulas give.

Report.stats computes the return figures in one pass (_figures), the trade figures from sums, and the
turnover from flat cell keys; backtest reads the weight table once and keeps per-index facts.  Each is
checked against the straightforward NumPy/pandas formula on inputs with and without NaN.
"""

import gc
import math
import warnings

import numpy as np
import pandas as pd
import pytest

import torvex
from torvex import stats as st
from torvex.report import _cells, _derived, _FACTS, _row_changes, _trade_figures

from torvex import _inputs, _schedule  # noqa: E402


def same(a, b):
    """Equal to the bit: NaN equals NaN, 0.0 differs from -0.0, and the type is the same."""
    if isinstance(a, float) and isinstance(b, float):
        return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))
    return type(a) is type(b) and a == b


def public_figures(r, v, rf, ppy):
    return {
        "cagr": st.cagr(r, ppy),
        "annual_volatility": st.annual_volatility(r, ppy),
        "sharpe": st.sharpe(r, rf, ppy),
        "sortino": st.sortino(r, rf, ppy),
        "max_drawdown": st.max_drawdown(r),
        "max_drawdown_duration": st.max_drawdown_duration(v),
        "calmar": st.calmar(r, ppy),
    }


def return_series(rng, n, kind):
    r = rng.standard_normal(n) * rng.choice([1e-4, 0.01, 0.3])
    if kind == "constant":
        r[:] = r[0]
    elif kind == "rounded":  # ties, zeros, a flat stretch
        r = np.round(r, 3)
        r[: n // 3] = 0.0
    elif kind == "losing":
        r = -np.abs(r)
    v = np.r_[1.0, np.cumprod(1 + r)] * rng.choice([1.0, 0.7, 3.0])
    r = v[1:] / v[:-1] - 1.0
    if kind == "nan":
        r[rng.integers(0, n)] = np.nan
    return r, v


@pytest.mark.parametrize("kind", ["plain", "constant", "rounded", "losing", "nan"])
def test_return_figures_in_one_pass_match_the_public_functions(kind):
    rng = np.random.default_rng(len(kind))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        for n in [2, 3, 7, 8, 9, 127, 128, 129, 1000, 2519, 8191, 8193, 20001]:
            r, v = return_series(rng, n, kind)
            # A view at an odd offset: the sums must not depend on where the array starts.
            buf = np.empty(n + 1)
            buf[1:] = r
            for x in (r, buf[1:]):
                for rf in (0.0, -0.0, 0.02 / 252, -3e-4, np.float64(1e-4), float("nan")):
                    for ppy in (252, 12, 1, 251.5):
                        want, got = public_figures(x, v, rf, ppy), st._figures(x, v, rf, ppy)
                        if "sharpe_per_bar" in got:
                            want["sharpe_per_bar"] = st.sharpe(x, rf, 1)
                        bad = {k: (want[k], got[k]) for k in want if not same(want[k], got[k])}
                        assert not bad, (n, rf, ppy, bad)


def test_return_figures_of_values_that_reach_zero_take_the_public_functions():
    # A short that loses everything: the value hits 0, the returns hold -1 and then NaN.
    v = np.array([1.0, 0.5, 0.0, 0.0, 0.0])
    with np.errstate(divide="ignore", invalid="ignore"):
        r = v[1:] / v[:-1] - 1.0
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        want, got = public_figures(r, v, 0.0, 252), st._figures(r, v, 0.0, 252)
    assert all(same(want[k], got[k]) for k in want), (want, got)


def reference_trade_figures(entry, exit_, blocks, nbars, fills):
    """The trade figures as plain NumPy formulas: wins by the ledger's pnl, returns pnl / committed."""
    nan = float("nan")
    n = len(entry)
    closed = exit_ != -1
    pnl = fills["pnl"][closed]
    with np.errstate(divide="ignore", invalid="ignore"):
        ret = np.where(fills["committed"] > 0, fills["pnl"] / fills["committed"], np.nan)[closed]
    ok = np.isfinite(pnl) & np.isfinite(ret)
    pnl, ret = pnl[ok], ret[ok]
    win = pnl > 0
    return {
        "trades": n,
        "win_rate": float(win.mean()) if pnl.size else nan,
        "avg_win": float(ret[win].mean()) if win.any() else nan,
        "avg_loss": float(ret[~win].mean()) if (~win).any() else nan,
        "profit_factor": float(pnl[win].sum() / -pnl[~win].sum()) if (~win).any() and pnl[~win].sum() < 0 else nan,
        "expectancy": float(ret.mean()) if ret.size else nan,
        "avg_holding_bars": float((np.where(closed, exit_, nbars) - entry).mean()) if n else nan,
        "avg_mae": float(np.nanmean(blocks[:, -6])) if n else nan,
        "avg_mfe": float(np.nanmean(blocks[:, -5])) if n else nan,
        "fees_paid": float(fills["fees"].sum()),
        "taxes_paid": float(fills["taxes"].sum()),
    }


@pytest.mark.parametrize("defect", [None, "nan pnl", "inf pnl", "nothing committed", "nan mae", "all open", "rounded"])
def test_trade_figures_from_sums_match_the_plain_formulas(defect):
    rng = np.random.default_rng(7)
    nbars = 3000
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        for n in (0, 1, 2, 9, 2380, 8193, 30000):
            entry = rng.integers(0, nbars - 1, n)
            exit_ = np.where(rng.random(n) < 0.1, -1, np.minimum(entry + rng.integers(1, 60, n), nbars - 1))
            blocks = rng.standard_normal((n, 6)) * 0.05
            fills = {
                "pnl": rng.standard_normal(n) * 0.01,
                "committed": rng.random(n) * 0.2,
                "fees": rng.random(n) * 1e-4,
                "taxes": rng.random(n) * 1e-4,
            }
            if n and defect == "nan pnl":
                fills["pnl"][rng.integers(0, n)] = np.nan
            elif n and defect == "inf pnl":
                fills["pnl"][rng.integers(0, n)] = -np.inf
            elif n and defect == "nothing committed":
                fills["committed"][rng.integers(0, n)] = 0.0
            elif n and defect == "nan mae":
                blocks[rng.integers(0, n), -6] = np.nan
            elif defect == "all open":
                exit_[:] = -1
            elif defect == "rounded":
                fills["pnl"] = np.round(fills["pnl"], 2)
            want = reference_trade_figures(entry, exit_, blocks, nbars, fills)
            got = _trade_figures(entry, exit_, blocks, nbars, fills)
            assert {k: got[k] for k in want if not same(want[k], got[k])} == {}, (n, defect)


def test_turnover_from_flat_keys_matches_the_cell_rows():
    rng = np.random.default_rng(3)
    for _ in range(300):
        table = rng.choice([0, 0, 0, 0.2, -0.3, 0.5, 1.1, 1 / 3], size=(rng.integers(1, 30), rng.integers(1, 20)))
        rows = np.sort(rng.choice(len(table), size=rng.integers(1, len(table) + 1), replace=False))
        k, j, vals = _cells(table, rows)
        if vals.size and rng.random() < 0.5:  # targets removed after the cells were found stay as zeros
            vals = np.where(rng.random(vals.size) < 0.3, 0.0, vals)
        keys = k * table.shape[1] + j
        plain = _row_changes(k, j, vals, len(rows), table.shape[1])
        assert same(plain, _row_changes(k, j, vals, len(rows), table.shape[1], keys=keys))
        # The sum by definition: every executed row against the one before (no row before the first).
        t = np.zeros((len(rows), table.shape[1]))
        t[k, j] = vals
        t /= np.maximum(1, np.abs(t).sum(axis=1, keepdims=True))
        assert plain == pytest.approx(np.abs(t[0]).sum() + np.abs(np.diff(t, axis=0)).sum(), abs=1e-12)


@pytest.mark.parametrize("freq", ["B", "D", "W-FRI", "ME", "h", "2D", "3D"])
@pytest.mark.parametrize("zone", [None, "Asia/Taipei", "America/New_York"])
@pytest.mark.parametrize("unit", ["ns", "us", "s"])
def test_periods_per_year_reads_weekdays_as_pandas_does(freq, zone, unit):
    rng = np.random.default_rng(1)
    idx = pd.date_range("1965-03-01 09:30", periods=300, freq=freq, tz=zone).as_unit(unit)
    idx = idx.delete(rng.choice(300, size=40, replace=False))
    ns = idx.as_unit("ns").asi8
    days = float(np.median(np.diff(ns))) / 86_400e9
    if 0.9 <= days <= 4:
        weekend = np.isin(idx.day_of_week, (5, 6)).mean()
        assert st.periods_per_year(idx) == (365 if weekend > 0.1 else 252)
    # The median of the spacing, with np.median's mean of the two middle values for an even count.
    for d in (np.diff(ns), np.diff(ns)[1:]):
        assert same(st._median(d), float(np.median(d)))


def test_report_whose_value_crosses_zero_matches_the_public_functions():
    dates = pd.date_range("2024-01-01", periods=8, freq="B")
    price = pd.DataFrame({"A": [10, 10, 20, 40, 80, 40, 20, 10.0], "B": [5.0] * 8}, index=dates)
    pos = pd.DataFrame({"A": [-1.0, 0.0], "B": [0.0, 0.0]}, index=dates[[0, 6]])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        r = torvex.backtest(pos, price, fee_ratio=0, tax_ratio=0)
        s = r.stats(risk_free=0.01)
        v = r.creturn.to_numpy()[list(dates).index(r.start) :]
        ret = r.returns.to_numpy()
        assert not np.isfinite(ret).all()  # the value goes through 0: returns of -1, -inf and inf
        want = public_figures(ret, v, 0.01 / 252, 252)
    assert all(same(float(s[k]), float(want[k])) for k in want), (s, want)


def test_executed_cells_match_a_scan_of_the_executed_rows():
    rng = np.random.default_rng(5)
    for _ in range(200):
        w = rng.choice([0.0, 0.0, 0.0, 0.5, -0.25], size=(rng.integers(1, 25), rng.integers(1, 9)))
        run_rows = np.sort(rng.choice(len(w), size=rng.integers(0, len(w) + 1), replace=False))
        k, j, keys, flat = _schedule.executed_cells(_inputs.nonzero(w), w.shape, run_rows)
        want_k, want_j = np.nonzero(w[run_rows])
        assert np.array_equal(k, want_k) and np.array_equal(j, want_j)
        assert np.array_equal(keys, want_k * w.shape[1] + want_j)
        assert np.array_equal(w.ravel()[flat], w[run_rows[want_k], want_j])
        assert k.dtype == want_k.dtype == keys.dtype


def test_gathers_and_values_of_any_layout():
    rng = np.random.default_rng(2)
    a = rng.standard_normal((40, 30))
    rows, cols = rng.integers(0, 40, 100), rng.integers(0, 30, 100)
    for x in (a, np.asfortranarray(a), a[::2, ::3], a[:, :1], a[:1]):
        r, c = rows % x.shape[0], cols % x.shape[1]
        assert np.array_equal(_inputs.take(x, r, c), x[r, c])
    # A frame of float64 is read as a view; other numeric frames as the plain conversion.
    f = pd.DataFrame(a)
    assert np.shares_memory(_inputs.values_of(f, "x"), f.to_numpy())
    mixed = pd.DataFrame({"a": [1, 2], "b": [True, False], "c": np.float32([0.5, 1.5])})
    assert np.array_equal(_inputs.values_of(mixed, "x"), mixed.to_numpy(dtype=np.float64))
    with pytest.raises(TypeError, match="found dtype category in column 'c'"):
        _inputs.values_of(mixed.assign(c=pd.Categorical([0.5, 1.5])), "x")


def test_facts_of_an_index_last_as_long_as_the_index():
    made = []
    idx = pd.Index(["a", "b"])
    assert _derived(idx, "text", lambda i: made.append(1) or list(i)) == ["a", "b"]
    assert _derived(idx, "text", lambda i: made.append(1) or list(i)) == ["a", "b"]
    assert made == [1]
    key = id(idx)
    del idx
    gc.collect()
    assert key not in _FACTS


def test_runs_on_the_same_frames_agree_with_runs_on_fresh_copies(universe, momentum):
    # The first run fills the per-index facts, the second reads them; copies have fresh indexes.
    close = universe["close"].set_axis(universe["close"].index.as_unit("us"))
    runs = [torvex.backtest(momentum, close, stop_loss=0.1) for _ in range(2)]
    runs.append(torvex.backtest(momentum.copy(deep=True), close.copy(deep=True), stop_loss=0.1))
    for r in runs[1:]:
        assert np.array_equal(r.creturn.to_numpy(), runs[0].creturn.to_numpy())
        pd.testing.assert_frame_equal(r.trades, runs[0].trades)
        pd.testing.assert_series_equal(r.stats(), runs[0].stats())
