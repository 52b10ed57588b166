"""torvex.overfitting (CSCV's probability of backtest overfitting, the best set's deflated Sharpe ratio) and the
per-bar returns a sweep keeps for it."""

import itertools
import math

import numpy as np
import pandas as pd
import pytest
from scipy import stats as sps

import torvex
from torvex import stats as st


def _sharpe(a):
    with np.errstate(invalid="ignore", divide="ignore"):
        s = a.mean(axis=0) / a.std(axis=0, ddof=1)
    s[a.max(axis=0) == a.min(axis=0)] = np.nan
    return s


def reference_cscv(x, blocks):
    """CSCV step by step: (pbo, logits, train-best's train and test Sharpe ratios per combination)."""
    t, n = x.shape
    size = t // blocks
    parts = np.split(x[t - size * blocks :], blocks)
    logits, train_s, test_s = [], [], []
    for combo in itertools.combinations(range(blocks), blocks // 2):
        train = np.vstack([parts[i] for i in combo])
        test = np.vstack([parts[i] for i in range(blocks) if i not in combo])
        a, b = _sharpe(train), _sharpe(test)
        best = int(np.argmax(np.where(np.isnan(a), -np.inf, a)))  # the first of equal maxima
        rank = sps.rankdata(np.where(np.isnan(b), -np.inf, b))[best]
        w = rank / (n + 1)
        logits.append(math.log(w / (1 - w)))
        train_s.append(a[best])
        test_s.append(b[best])
    logits = np.array(logits)
    return float(np.mean(logits <= 0)), logits, np.array(train_s), np.array(test_s)


def awkward_matrix(seed, t, n):
    """Noise with a duplicated strong set (ties), a flat set, and one flat over the first 55% of bars (flat at
    a level that is not 0, where rounding leaves a tiny variance that must not count)."""
    rng = np.random.default_rng(seed)
    x = rng.normal(0.0, 0.01, (t, n)) + rng.normal(0.0, 0.0005, n)
    x[:, 1] += 0.001
    x[:, 3] = x[:, 1]
    x[:, 4] = 0.0003
    x[: int(0.55 * t), 5] = 0.0007
    return x


@pytest.mark.parametrize(
    "seed, t, n, blocks", [(0, 200, 7, 8), (1, 203, 8, 4), (2, 61, 6, 10), (3, 40, 9, 2), (4, 130, 12, 6)]
)
def test_pbo_matches_a_plain_cscv(seed, t, n, blocks):
    x = awkward_matrix(seed, t, n)
    res = torvex.overfitting(pd.DataFrame(x), blocks=blocks)
    pbo, logits, tr, te = reference_cscv(x, blocks)
    assert res.pbo == pbo
    assert res.best != 3  # set 3 repeats set 1: a tie goes to the first
    np.testing.assert_allclose(res.logits, logits, rtol=0, atol=1e-9)
    np.testing.assert_allclose(res.train_sharpe, tr, rtol=1e-9)
    np.testing.assert_allclose(res.test_sharpe, te, rtol=1e-9)
    assert res.prob_loss == np.mean(te < 0)
    ok = np.isfinite(te)
    slope, intercept = np.polyfit(tr[ok], te[ok], 1)
    assert res.degradation.slope == pytest.approx(slope, rel=1e-9)
    assert res.degradation.intercept == pytest.approx(intercept, rel=1e-9, abs=1e-12)
    assert res.degradation.mean_difference == pytest.approx(te[ok].mean() - tr[ok].mean(), rel=1e-9, abs=1e-15)


def test_noise_overfits_half_the_time_and_an_edge_does_not():
    rng = np.random.default_rng(7)
    noise = pd.DataFrame(rng.normal(0.0, 0.01, (1200, 40)))
    res = torvex.overfitting(noise)
    assert len(res.logits) == 12870 and res.blocks == 16
    assert 0.3 <= res.pbo <= 0.7
    assert res.dsr < 0.9  # the best of noise is no skill once deflated
    edge = noise.copy()
    edge[17] += 0.0015
    res = torvex.overfitting(edge)
    assert res.pbo < 0.05 and res.best == 17 and res.prob_loss < 0.05


def test_deflated_sharpe_of_the_best_set():
    rng = np.random.default_rng(3)
    x = rng.standard_t(4, (600, 12)) * 0.01 + 0.0004
    frame = pd.DataFrame(
        x, index=pd.date_range("2020-01-01", periods=600, freq="B"), columns=[f"set{i}" for i in range(12)]
    )
    frame.iloc[:25, 2] = np.nan  # a set that starts later: only the common bars count
    frame["failed"] = np.nan
    res = torvex.overfitting(frame, blocks=8)
    used = frame.iloc[25:, :12].to_numpy()
    sharpes = np.array([st.sharpe(used[:, j], periods_per_year=1) for j in range(12)])
    best = int(np.argmax(sharpes))
    assert res.best == f"set{best}" and res.n_sets == 12 and res.n_bars == 575 and res.n_trials == 13
    assert res.sharpe == pytest.approx(sharpes[best], rel=1e-12)
    assert res.sharpe_variance == pytest.approx(np.var(sharpes, ddof=1), rel=1e-10)
    assert res.skew == pytest.approx(sps.skew(used[:, best]), rel=1e-10)
    assert res.kurtosis == pytest.approx(sps.kurtosis(used[:, best], fisher=False), rel=1e-10)
    want = st.deflated_sharpe(
        sharpes[best],
        13,
        np.var(sharpes, ddof=1),
        sps.skew(used[:, best]),
        sps.kurtosis(used[:, best], fisher=False),
        575,
    )
    assert res.dsr == pytest.approx(want, rel=1e-9)
    one = torvex.overfitting(frame, blocks=8, n_trials=1)
    assert one.sr0 == 0.0 and one.pbo == res.pbo
    assert one.dsr == pytest.approx(st.probabilistic_sharpe(sharpes[best], 0.0, res.skew, res.kurtosis, 575))


@pytest.mark.parametrize(
    "arg, kwargs, exc, words",
    [
        (pd.DataFrame(np.zeros((100, 1)) + 0.01), {}, ValueError, "at least 2 parameter sets"),
        (pd.DataFrame(np.random.default_rng(0).normal(size=(100, 3))), {"blocks": 7}, ValueError, "blocks: .*even"),
        (
            pd.DataFrame(np.random.default_rng(0).normal(size=(30, 3))),
            {"blocks": 16},
            ValueError,
            "blocks: .*at most 14",
        ),
        (pd.DataFrame(np.random.default_rng(0).normal(size=(30, 3))), {"blocks": 4.0}, TypeError, "blocks"),
        (
            pd.DataFrame(np.random.default_rng(0).normal(size=(30, 3))),
            {"blocks": 4, "n_trials": 0},
            ValueError,
            "n_trials",
        ),
        (pd.DataFrame({"a": [0.1, np.inf] * 10, "b": 0.0}), {"blocks": 2}, ValueError, "finite"),
        (np.zeros((30, 3)), {}, TypeError, "sweep_result_or_returns"),
        (pd.DataFrame({"sharpe_per_bar": [0.1, 0.2], "error": None}), {}, TypeError, "keep='returns'"),
        ((pd.DataFrame({"error": [None]}), {(1,): None}), {}, TypeError, "tuple of \\(DataFrame, dict\\)"),
    ],
)
def test_mistakes_are_named(arg, kwargs, exc, words):
    with pytest.raises(exc, match=words):
        torvex.overfitting(arg, **kwargs)


# ----------------------------------------------------------------- sweep(keep="returns")

GRID = {"stop_loss": [0.05, None], "resample": ["ME", "bogus", "QE", "W-FRI"]}


@pytest.fixture(scope="module")
def kept(universe, momentum):
    return {
        n_jobs: torvex.sweep(momentum, universe, GRID, keep="returns", n_jobs=n_jobs, progress=False)
        for n_jobs in (1, 2)
    }


def test_kept_returns_are_each_runs_returns(kept, universe, momentum):
    table, returns = kept[1]
    assert returns.columns.equals(table.index)
    assert returns.index.is_monotonic_increasing and returns.dtypes.eq(np.float64).all()
    for key, row in table.iterrows():
        col = returns[key]
        if row["error"] is not None:  # the "bogus" resample fails
            assert col.isna().all()
            continue
        sl = None if pd.isna(key[0]) else key[0]
        want = torvex.backtest(momentum, universe, stop_loss=sl, resample=key[1]).returns
        pd.testing.assert_series_equal(col.dropna(), want, check_names=False, check_freq=False)
        assert col.notna().sum() == len(want)  # NaN only before the run's start
    pd.testing.assert_frame_equal(kept[2][1], returns)
    pd.testing.assert_frame_equal(kept[2][0], table)


def test_sweep_attrs_give_the_deflated_sharpe(kept):
    table, returns = kept[2]
    assert table["error"].notna().sum() == 2
    assert table.attrs["n_trials"] == 8  # failed sets count as tried
    s = table["sharpe_per_bar"].to_numpy()
    assert table.attrs["sharpe_variance"] == pytest.approx(np.var(s[np.isfinite(s)], ddof=1), rel=1e-12)
    res = torvex.overfitting(kept[2], blocks=8)
    assert res.n_trials == 8 and res.n_sets == 6
    common = returns.loc[:, table["error"].isna().to_numpy()].dropna()
    assert res.n_bars == len(common)
    best = common.columns[np.argmax([st.sharpe(common[c], periods_per_year=1) for c in common])]
    assert returns.columns.get_loc(res.best) == returns.columns.get_loc(best)
    assert torvex.overfitting(common, blocks=8).n_trials == 6


def test_a_sweep_of_failed_runs(universe, momentum):
    table, returns = torvex.sweep(
        momentum, universe, {"resample": ["bogus", "nope"]}, keep="returns", n_jobs=1, progress=False
    )
    assert table.attrs["n_trials"] == 2 and math.isnan(table.attrs["sharpe_variance"])
    assert returns.shape == (0, 2) and returns.columns.equals(table.index)
    with pytest.raises(ValueError, match="at least 2 parameter sets, found 0"):
        torvex.overfitting((table, returns))


def test_plot_and_page(tmp_path):
    pytest.importorskip("matplotlib")
    res = torvex.overfitting(pd.DataFrame(awkward_matrix(5, 200, 6)), blocks=6)
    fig = res.plot()
    assert len(fig.axes) == 2 and len(fig.axes[0].patches) > 0
    page = res.to_html(tmp_path / "pbo.html")
    assert (tmp_path / "pbo.html").read_text(encoding="utf-8") == page
    assert "data:image/png;base64," in page and f"{res.pbo:.3f}" in page
    assert "pbo" in repr(res) and "dsr" in repr(res)
