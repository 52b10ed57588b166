"""Sharpe ratios under selection: the deflated and probabilistic Sharpe ratios and the minimum track record."""

import math

import numpy as np
import pytest
from scipy import stats as sps

from torvex import stats as st


def test_worked_example():
    # Annual Sharpe 2.5 over 1,250 daily bars (250 a year), the best of 100 trials whose annual Sharpe
    # ratios have variance 0.5; skewness -3, kurtosis 10.
    dsr = st.deflated_sharpe(2.5 / math.sqrt(250), 100, 0.5 / 250, -3.0, 10.0, 1250)
    assert dsr == pytest.approx(0.9004, abs=1e-4)


def test_expected_maximum_of_noise_matches_simulation():
    # SR0 approximates the mean of the largest of N normal Sharpe ratios of no skill with variance V.
    rng = np.random.default_rng(0)
    n, v = 200, 0.004
    simulated = rng.normal(0.0, math.sqrt(v), (20_000, n)).max(axis=1).mean()
    assert st._expected_max_sharpe(n, v) == pytest.approx(simulated, rel=0.02)


@pytest.mark.parametrize(
    "sharpe, skew, kurtosis, n_obs",
    [(0.1, 0.0, 3.0, 250), (0.05, -1.5, 9.0, 1000), (-0.02, 0.4, 4.0, 60), (0.3, 1.0, 2.5, 30)],
)
def test_one_trial_is_the_probabilistic_sharpe_against_zero(sharpe, skew, kurtosis, n_obs):
    assert st._expected_max_sharpe(1, 0.7) == 0.0
    dsr = st.deflated_sharpe(sharpe, 1, 0.7, skew, kurtosis, n_obs)
    assert dsr == st.probabilistic_sharpe(sharpe, 0.0, skew, kurtosis, n_obs)
    # and the probabilistic Sharpe ratio is the normal CDF of the standardised difference
    z = sharpe * math.sqrt(n_obs - 1) / math.sqrt(1 - skew * sharpe + (kurtosis - 1) / 4 * sharpe**2)
    assert dsr == pytest.approx(sps.norm.cdf(z), rel=1e-12)


@pytest.mark.parametrize(
    "sharpe, bench, skew, kurtosis, prob",
    [
        (0.1, 0.0, 0.0, 3.0, 0.95),
        (0.08, 0.02, -2.0, 12.0, 0.99),
        (0.2, 0.15, 0.5, 3.5, 0.9),
        (0.05, -0.05, 0.0, 6.0, 0.6),
    ],
)
def test_probabilistic_sharpe_at_the_minimum_track_record_is_prob(sharpe, bench, skew, kurtosis, prob):
    t = st.min_track_record_length(sharpe, bench, skew, kurtosis, prob)
    assert t > 2
    assert st.probabilistic_sharpe(sharpe, bench, skew, kurtosis, t) == pytest.approx(prob, abs=1e-12)
    # more bars than that give more confidence
    assert st.probabilistic_sharpe(sharpe, bench, skew, kurtosis, 2 * t) > prob


def test_limits_and_monotonicity():
    base = dict(var_trials=0.002, skew=-1.0, kurtosis=6.0, n_obs=1000)
    by_trials = [st.deflated_sharpe(0.12, n, **base) for n in (1, 2, 10, 100, 10_000)]
    assert all(a > b for a, b in zip(by_trials, by_trials[1:]))  # more trials, more deflation
    assert st.deflated_sharpe(0.12, 100, 0.0, -1.0, 6.0, 1000) == st.probabilistic_sharpe(0.12, 0.0, -1.0, 6.0, 1000)
    assert st.probabilistic_sharpe(0.1, 0.1, -1.0, 6.0, 500) == 0.5
    assert st.min_track_record_length(0.1, 0.1, 0.0, 3.0) == math.inf  # never beats itself
    assert st.min_track_record_length(0.05, 0.1, 0.0, 3.0) == math.inf
    assert st.min_track_record_length(0.05, 0.1, 0.0, 3.0, prob=0.4) == 1.0  # even odds from the start
    # Moments no distribution has (kurtosis below 1 + skew**2) can make the variance term negative.
    assert math.isnan(st.probabilistic_sharpe(3.0, 0.0, 0.0, 0.5, 100))
    assert math.isnan(st.min_track_record_length(3.0, 0.0, 0.0, 0.5))
    assert math.isnan(st.deflated_sharpe(float("nan"), 10, 0.002, 0.0, 3.0, 100))
    assert math.isnan(st.deflated_sharpe(0.1, 10, float("nan"), 0.0, 3.0, 100))


@pytest.mark.parametrize(
    "call, exc, words",
    [
        (lambda: st.deflated_sharpe(0.1, 0, 0.001, 0.0, 3.0, 100), ValueError, "n_trials"),
        (lambda: st.deflated_sharpe(0.1, 2.0, 0.001, 0.0, 3.0, 100), TypeError, "n_trials"),
        (lambda: st.deflated_sharpe(0.1, True, 0.001, 0.0, 3.0, 100), TypeError, "n_trials"),
        (lambda: st.deflated_sharpe(0.1, 5, -0.001, 0.0, 3.0, 100), ValueError, "var_trials"),
        (lambda: st.deflated_sharpe(0.1, 5, 0.001, 0.0, 3.0, 1), ValueError, "n_obs"),
        (lambda: st.probabilistic_sharpe(0.1, 0.0, 0.0, 3.0, float("inf")), ValueError, "n_obs"),
        (lambda: st.probabilistic_sharpe("0.1", 0.0, 0.0, 3.0, 100), TypeError, "sharpe"),
        (lambda: st.min_track_record_length(0.1, 0.0, 0.0, 3.0, prob=1.0), ValueError, "prob"),
    ],
)
def test_arguments_are_checked(call, exc, words):
    with pytest.raises(exc, match=words):
        call()


@pytest.mark.parametrize("seed", range(6))
def test_the_moments_it_takes_agree_with_scipy_and_skip_missing_returns(seed):
    rng = np.random.default_rng(seed)
    for n in (3, 4, 17, 300, 2519, 20001):
        r = rng.standard_t(rng.choice([3, 5, 30]), n) * rng.choice([1e-5, 0.01, 0.4]) + rng.choice([0.0, 1e-3])
        if seed % 2:
            r[rng.integers(0, n, size=max(1, n // 50))] = np.nan
        assert st.skew(r) == pytest.approx(sps.skew(r, nan_policy="omit"), rel=1e-11, abs=1e-13)
        assert st.kurtosis(r) == pytest.approx(sps.kurtosis(r, fisher=False, nan_policy="omit"), rel=1e-11)
