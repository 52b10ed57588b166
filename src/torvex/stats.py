"""Performance figures of a series of per-bar returns.

Plain functions over NumPy arrays of simple returns (0.01 is +1% over one
bar).  NaN returns are skipped the way the usual definitions skip them; the
annualised figures take ``periods_per_year`` bars per year.  The definitions
follow the common ones (those of empyrical): volatility is the sample standard
deviation (ddof 1) times ``sqrt(periods_per_year)``; CAGR compounds over
``len(returns) / periods_per_year`` years; Sortino divides the annualised mean
by the root mean square of the negative part of the returns.
"""

from __future__ import annotations

import math

import numpy as np
import pandas as pd

__all__ = [
    "periods_per_year",
    "total_return",
    "cagr",
    "annual_volatility",
    "sharpe",
    "sortino",
    "max_drawdown",
    "drawdown",
    "drawdown_periods",
    "max_drawdown_duration",
    "calmar",
    "alpha_beta",
    "information_ratio",
    "skew",
    "kurtosis",
    "deflated_sharpe",
    "probabilistic_sharpe",
    "min_track_record_length",
]

_DAY = 86_400 * 10**9


def periods_per_year(index: pd.DatetimeIndex) -> int:
    """Bars per year inferred from the spacing of the dates.

    Parameters
    ----------
    index : DatetimeIndex
        Bar dates, ascending.

    Returns
    -------
    int
        252 for daily bars on trading days, 365 for daily bars that include
        weekends, 52 weekly, 12 monthly, 4 quarterly, 1 yearly, and 252 times
        the bars per day for intraday bars.

    Examples
    --------
    >>> import pandas as pd
    >>> periods_per_year(pd.date_range("2024-01-01", periods=30, freq="B"))
    252
    >>> periods_per_year(pd.date_range("2024-01-31", periods=30, freq="ME"))
    12
    """
    if len(index) < 2:
        return 252
    ns = index.asi8 if index.unit == "ns" else index.as_unit("ns").asi8
    days = _median(np.diff(ns)) / _DAY
    if days < 0.9:
        per_day = len(index) / max(1, np.unique(ns // _DAY).size)
        return int(round(252 * per_day))
    if days <= 4:
        if index.tz is None:
            # Day of the week from the nanoseconds: 1970-01-01 was a Thursday (3, Monday being 0).
            weekend = np.count_nonzero((ns // _DAY + 3) % 7 >= 5) / len(index)
        else:
            weekend = np.isin(index.day_of_week, (5, 6)).mean()
        return 365 if weekend > 0.1 else 252
    if days <= 10:
        return 52
    if days <= 45:
        return 12
    if days <= 135:
        return 4
    return 1


def _median(a: np.ndarray) -> float:
    """``float(np.median(a))`` of a 1-D integer array, without np.median's general machinery."""
    h = a.size // 2
    if a.size % 2:
        return float(np.partition(a, h)[h])
    p = np.partition(a, (h - 1, h))
    return (float(p[h - 1]) + float(p[h])) / 2


def _clean(returns) -> np.ndarray:
    return np.asarray(returns, dtype=np.float64)


def total_return(returns) -> float:
    """Compounded return over the whole series.

    Examples
    --------
    >>> round(total_return([0.1, -0.1]), 10)
    -0.01
    """
    r = _clean(returns)
    return float(np.nanprod(r + 1.0) - 1.0) if r.size else float("nan")


def cagr(returns, periods_per_year: float = 252) -> float:
    """Compound annual growth rate over ``len(returns) / periods_per_year`` years.

    Examples
    --------
    >>> round(cagr([0.1, 0.1], periods_per_year=2), 10)   # one year, +21%
    0.21
    """
    r = _clean(returns)
    if r.size == 0:
        return float("nan")
    return float(np.nanprod(r + 1.0) ** (1.0 / (r.size / periods_per_year)) - 1.0)


def annual_volatility(returns, periods_per_year: float = 252) -> float:
    """Sample standard deviation (ddof 1) of the returns times ``sqrt(periods_per_year)``.

    Examples
    --------
    >>> round(annual_volatility([0.01, -0.01], periods_per_year=4), 10)
    0.0282842712
    """
    r = _clean(returns)
    if r.size < 2:
        return float("nan")
    return float(np.nanstd(r, ddof=1) * periods_per_year**0.5)


def _std(r: np.ndarray) -> float:
    """Sample standard deviation; exactly 0 for a constant series (no rounding noise)."""
    s = np.nanstd(r, ddof=1)
    with np.errstate(invalid="ignore"):
        if np.nanmax(r) == np.nanmin(r) and np.isfinite(s):
            return 0.0
    return float(s)


def sharpe(returns, risk_free: float = 0.0, periods_per_year: float = 252) -> float:
    """Annualised Sharpe ratio: mean over standard deviation of ``returns - risk_free``, times ``sqrt(periods_per_year)``.

    ``risk_free`` is the risk-free return per bar.

    Examples
    --------
    >>> round(sharpe([0.02, 0.0], periods_per_year=1), 10)
    0.7071067812
    """
    r = _clean(returns)
    if r.size < 2:
        return float("nan")
    adj = r - risk_free
    with np.errstate(divide="ignore", invalid="ignore"):
        return float(np.float64(np.nanmean(adj)) / np.float64(_std(adj)) * np.sqrt(periods_per_year))


def sortino(returns, required_return: float = 0.0, periods_per_year: float = 252) -> float:
    """Annualised mean of ``returns - required_return`` over its annualised downside deviation.

    Examples
    --------
    >>> round(sortino([0.02, -0.01], periods_per_year=1), 10)   # 0.005 / sqrt(0.0001 / 2)
    0.7071067812
    """
    r = _clean(returns)
    if r.size < 2:
        return float("nan")
    adj = r - required_return
    down = np.sqrt(np.nanmean(np.square(np.clip(adj, -np.inf, 0)))) * np.sqrt(periods_per_year)
    with np.errstate(divide="ignore", invalid="ignore"):
        return float(np.float64(np.nanmean(adj) * periods_per_year) / down)


def drawdown(values) -> np.ndarray:
    """Relative distance of each value below its running peak (0 at a peak, -0.2 at 20% below).

    Examples
    --------
    >>> drawdown([1.0, 2.0, 1.5, 2.5]).tolist()
    [0.0, 0.0, -0.25, 0.0]
    """
    v = _clean(values)
    return v / np.fmax.accumulate(v) - 1.0


def max_drawdown(returns) -> float:
    """Largest fall from a peak of the compounded returns (a negative number, or 0).

    Examples
    --------
    >>> round(max_drawdown([0.1, -0.5, 0.2]), 10)
    -0.5
    """
    r = _clean(returns)
    if r.size == 0:
        return float("nan")
    value = np.cumprod(np.where(np.isnan(r), 0.0, r) + 1.0)
    return float(min(np.min(np.r_[1.0, value] / np.fmax.accumulate(np.r_[1.0, value])) - 1.0, 0.0))


def drawdown_periods(values) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """Every drawdown of an equity curve: its peak, valley and recovery bars and its depth.

    A drawdown is a maximal stretch of bars below the running peak of ``values``.  Its peak is the
    last bar at the running peak before the stretch; its valley the first bar of its lowest value;
    its recovery the first bar back at or above the peak's value (-1 when the curve ends under
    water); its depth ``values[valley] / values[peak] - 1`` (negative).  NaN values are skipped:
    they neither set a peak nor end a stretch, and are never a peak, valley or recovery bar.

    Parameters
    ----------
    values : array-like
        The curve, 1-D (an equity curve, above 0).

    Returns
    -------
    peak, valley, recovery : ndarray of int64
        Bar positions in ``values``, one per drawdown, in order of time.
    depth : ndarray of float64
        The depth of each drawdown.

    Examples
    --------
    >>> peak, valley, recovery, depth = drawdown_periods([1.0, 0.8, 0.9, 1.0, 1.2, 1.1])
    >>> peak.tolist(), valley.tolist(), recovery.tolist()
    ([0, 4], [1, 5], [3, -1])
    >>> depth.round(10).tolist()
    [-0.2, -0.0833333333]
    """
    v = _clean(values)
    if v.ndim != 1:
        raise ValueError(f"values: expected a 1-D array; found {v.ndim} dimensions")
    bars = np.flatnonzero(~np.isnan(v))
    x = v[bars]
    under = x < np.maximum.accumulate(x)  # never true at the first value
    edge = np.diff(np.r_[False, under, False].view(np.int8))
    first, after = np.flatnonzero(edge == 1), np.flatnonzero(edge == -1)  # a stretch is x[first:after]
    peak = first - 1
    # The valley: among the bars under water, ordered by stretch, then value, then bar, the first of each.
    at = np.flatnonzero(under)
    stretch = np.cumsum(edge[:-1] == 1)[at]
    order = np.lexsort((at, x[at], stretch))
    valley = at[order[np.r_[0, np.cumsum(after - first)[:-1]]]] if at.size else at
    depth = x[valley] / x[peak] - 1.0
    recovery = np.full(after.size, -1, dtype=np.int64)
    back = after < x.size
    recovery[back] = bars[after[back]]
    return bars[peak].astype(np.int64), bars[valley].astype(np.int64), recovery, depth


def max_drawdown_duration(values) -> int:
    """The longest stretch under water, in bars: of all drawdowns (see :func:`drawdown_periods`), the
    most bars from a peak to its recovery, or to the last bar for one not recovered (0 without a drawdown).

    Examples
    --------
    >>> max_drawdown_duration([1.0, 0.8, 0.9, 1.0, 0.95])   # peak at bar 0, back at bar 3
    3
    >>> max_drawdown_duration([1.0, 0.5, 1.0, 0.99, 0.99, 0.99, 0.99, 1.0])   # the shallow one is longer
    5
    """
    v = _clean(values)
    peak, _, recovery, _ = drawdown_periods(v)
    if peak.size == 0:
        return 0
    return int((np.where(recovery >= 0, recovery, v.size - 1) - peak).max())


def calmar(returns, periods_per_year: float = 252) -> float:
    """CAGR over the magnitude of the maximum drawdown (NaN without a drawdown).

    Examples
    --------
    >>> round(calmar([0.1, -0.5, 0.2], periods_per_year=3), 10)
    -0.68
    """
    mdd = max_drawdown(returns)
    if not mdd < 0:
        return float("nan")
    out = cagr(returns, periods_per_year) / abs(mdd)
    return float("nan") if np.isinf(out) else float(out)


def _standardised_moments(returns) -> tuple[float, float]:
    """(m3 / m2**1.5, m4 / m2**2) of the non-NaN returns, with population central moments m, from one
    array of deviations (their powers by multiplication); NaN for fewer than two returns or none that
    differ."""
    r = _clean(returns)
    nan = np.isnan(r)
    if nan.any():
        r = r[~nan]
    if r.size < 2:
        return float("nan"), float("nan")
    dev = r - r.mean()
    sq = dev * dev
    m2 = float(sq.mean())
    if not m2 > 0:
        return float("nan"), float("nan")
    third = float(np.multiply(sq, dev, out=dev).mean() / m2**1.5)
    return third, float(np.multiply(sq, sq, out=sq).mean() / m2**2.0)


def skew(returns) -> float:
    """Skewness of the returns: the third central moment over the second's 1.5th power.

    The population (biased) estimator, as ``scipy.stats.skew`` computes it by
    default; NaN returns are skipped, and a constant series has none (NaN).

    Examples
    --------
    >>> round(skew([0.01, 0.02, 0.0, 0.1]), 6)
    1.04562
    """
    return _standardised_moments(returns)[0]


def kurtosis(returns) -> float:
    """Kurtosis of the returns, not excess (3 for a normal distribution): m4 / m2**2.

    The population estimator, as ``scipy.stats.kurtosis(fisher=False)``; the
    deflated Sharpe ratio takes this form.  NaN returns are skipped; a constant
    series has none (NaN).

    Examples
    --------
    >>> round(kurtosis([0.01, 0.02, 0.0, 0.1]), 6)
    2.25071
    """
    return _standardised_moments(returns)[1]


def _moments(returns: np.ndarray, risk_free: float, sharpe_per_bar: float | None = None) -> dict:
    """The per-bar figures of Report.stats: sharpe_per_bar (unless given: `_figures` has it), skew,
    kurtosis and bars."""
    third, fourth = _standardised_moments(returns)
    return {
        "sharpe_per_bar": sharpe(returns, risk_free, 1) if sharpe_per_bar is None else sharpe_per_bar,
        "skew": third,
        "kurtosis": fourth,
        "bars": float(np.count_nonzero(~np.isnan(returns))),
    }


def _mean_std(x: np.ndarray, total=None):
    """(mean, sample standard deviation, whether x is constant) of a NaN-free 1-D array of at least two
    values (``total`` its sum, where known): the arithmetic of np.nanmean and of np.nanstd(ddof=1),
    step for step, sharing the sum."""
    n = x.size
    mean = (np.add.reduce(x) if total is None else total) / n
    dev = x - mean
    std = np.sqrt(np.add.reduce(np.multiply(dev, dev, out=dev)) / (n - 1))
    return mean, std, np.maximum.reduce(x) == np.minimum.reduce(x)


def _quiet_divide(a: np.float64, b: np.float64) -> np.float64:
    """``a / b`` under np.errstate(divide="ignore", invalid="ignore"), entered only where the division
    could raise either (a finite number over a finite non-zero one cannot)."""
    if b != 0 and math.isfinite(b) and math.isfinite(a):
        return a / b
    with np.errstate(divide="ignore", invalid="ignore"):
        return a / b


def _figures(returns: np.ndarray, values: np.ndarray, risk_free: float, periods_per_year) -> dict:
    """cagr, annual_volatility, sharpe, sortino, max_drawdown, max_drawdown_duration and calmar at once
    (and sharpe_per_bar, on the path without NaN).

    ``returns`` are the per-bar returns of ``values`` (one value more), as a contiguous float64
    array; ``risk_free`` is per bar.  Every figure is, to the bit, what the function of the same name
    gives.  Without NaN (and infinities) the NaN-aware reductions of those functions compute the plain
    ones on a copy, so the plain ones are used here, once each: the drawdown, the sum and the
    standard deviation serve several figures.  Otherwise the functions themselves are called.
    """
    r, ppy, n = returns, periods_per_year, returns.size
    total = np.add.reduce(r)
    if not (
        n >= 2
        and values.size == n + 1
        and values[0] > 0
        and isinstance(risk_free, float)
        and math.isfinite(risk_free)
        and math.isfinite(total)
        and math.isfinite(np.add.reduce(values))
    ):
        # A sum is finite only when no term is NaN or infinite (an overflow merely takes this path).
        return {
            "cagr": cagr(r, ppy),
            "annual_volatility": annual_volatility(r, ppy),
            "sharpe": sharpe(r, risk_free, ppy),
            "sortino": sortino(r, risk_free, ppy),
            "max_drawdown": max_drawdown(r),
            "max_drawdown_duration": max_drawdown_duration(values),
            "calmar": calmar(r, ppy),
        }
    grow = r + 1.0
    growth = float(np.multiply.reduce(grow) ** (1.0 / (n / ppy)) - 1.0)
    mean, std, flat = _mean_std(r, total)
    # r - 0.0 is r bit for bit (-0.0 included); r - (-0.0) is not.
    if risk_free == 0 and math.copysign(1.0, risk_free) > 0:
        adj, adj_mean, adj_std, adj_flat = r, mean, std, flat
    else:
        adj = r - risk_free
        with np.errstate(divide="ignore", invalid="ignore"):  # as in sharpe
            adj_mean, adj_std, adj_flat = _mean_std(adj)
    root = np.sqrt(ppy)
    down = np.sqrt(np.add.reduce(np.square(np.minimum(adj, 0.0))) / n) * root  # the sign of a zero squares away
    per_bar = _quiet_divide(adj_mean, np.float64(0.0 if adj_flat and np.isfinite(adj_std) else float(adj_std)))
    sharpe_ = float(per_bar * root)
    sortino_ = float(_quiet_divide(np.float64(adj_mean * ppy), down))
    # max_drawdown: the compounded returns from 1.0 against their running peak.
    curve = np.empty(n + 1)
    curve[0] = 1.0
    np.multiply.accumulate(grow, out=curve[1:])
    mdd = float(min(np.minimum.reduce(curve / np.fmax.accumulate(curve)) - 1.0, 0.0))
    if mdd < 0:
        ratio = growth / abs(mdd)
        calmar_ = float("nan") if np.isinf(ratio) else float(ratio)
    else:
        calmar_ = float("nan")
    return {
        "cagr": growth,
        "annual_volatility": float(std * ppy**0.5),
        "sharpe": sharpe_,
        "sortino": sortino_,
        "max_drawdown": mdd,
        "max_drawdown_duration": _drawdown_duration(values),
        "calmar": calmar_,
        "sharpe_per_bar": float(per_bar),  # sharpe(r, risk_free, 1): times sqrt(1) is the same bits
    }


def _drawdown_duration(v: np.ndarray) -> int:
    """max_drawdown_duration of finite values (no NaN to skip), from the stretches under water alone.

    A stretch ``v[first:after]`` below the running peak lasts from its peak ``first - 1`` to its
    recovery ``after``: ``after - first + 1`` bars; one running to the last bar lasts ``size - first``,
    the same with ``after = size - 1``.
    """
    under = v < np.maximum.accumulate(v)
    if not under.any():
        return 0
    edge = np.diff(under.view(np.int8))
    first, after = np.flatnonzero(edge == 1) + 1, np.flatnonzero(edge == -1) + 1
    if under[-1]:
        after = np.r_[after, v.size - 1]
    return int((after - first).max()) + 1


def alpha_beta(returns, benchmark, risk_free: float = 0.0, periods_per_year: float = 252) -> tuple[float, float]:
    """Annualised alpha and beta of ``returns`` against ``benchmark`` returns of the same bars.

    Beta is the covariance over the variance of the benchmark (bars where
    ``returns`` is NaN left out); alpha compounds the mean per-bar excess of
    ``returns - risk_free`` over ``beta * (benchmark - risk_free)``.

    Examples
    --------
    >>> a, b = alpha_beta([0.02, 0.04], [0.01, 0.02], periods_per_year=1)
    >>> round(a, 10), round(b, 10)
    (0.0, 2.0)
    """
    r, f = _clean(returns), _clean(benchmark)
    if r.size < 2:
        return float("nan"), float("nan")
    ind = np.where(np.isnan(r), np.nan, f)
    if not np.isfinite(ind).any():  # no bar with both returns: neither figure exists
        return float("nan"), float("nan")
    resid = ind - np.nanmean(ind)
    var = np.nanmean(np.square(resid))
    # An infinite variance (a benchmark return beyond the float range) leaves no beta either.
    beta = float(np.nanmean(resid * r) / var) if 1e-30 <= var < math.inf else float("nan")
    if math.isnan(beta):  # a benchmark that does not move: neither figure exists
        return float("nan"), beta
    a = np.nanmean((r - risk_free) - beta * (f - risk_free))
    return float((a + 1.0) ** periods_per_year - 1.0), beta


def information_ratio(returns, benchmark, periods_per_year: float = 252) -> float:
    """Annualised mean over standard deviation of ``returns - benchmark``.

    Examples
    --------
    >>> round(information_ratio([0.03, 0.01], [0.01, 0.01], periods_per_year=1), 10)
    0.7071067812
    """
    r, f = _clean(returns), _clean(benchmark)
    if r.size < 2:
        return float("nan")
    active = r - f
    with np.errstate(divide="ignore", invalid="ignore"):
        return float(np.float64(np.nanmean(active)) / np.float64(_std(active)) * np.sqrt(periods_per_year))


def _versus(returns: np.ndarray, benchmark: np.ndarray, risk_free: float, periods_per_year) -> dict:
    """The benchmark figures of Report.stats: alpha, beta, correlation, tracking_error, information_ratio.

    Bars where either series is NaN are left out of every figure (pairwise); ``risk_free`` is per
    bar.  alpha and beta are those of :func:`alpha_beta`, information_ratio that of
    :func:`information_ratio`; correlation is Pearson's of the per-bar returns and tracking_error
    the sample standard deviation (ddof 1) of ``returns - benchmark`` times ``sqrt(periods_per_year)``.
    All NaN with fewer than two common bars.
    """
    nan = float("nan")
    r, f = _clean(returns), _clean(benchmark)
    both = ~(np.isnan(r) | np.isnan(f))
    if not both.all():
        r, f = r[both], f[both]
    if r.size < 2:
        return dict(alpha=nan, beta=nan, correlation=nan, tracking_error=nan, information_ratio=nan)
    alpha, beta = alpha_beta(r, f, risk_free, periods_per_year)
    dr, df = r - r.mean(), f - f.mean()
    denom = math.sqrt(float(np.dot(dr, dr)) * float(np.dot(df, df)))
    with np.errstate(divide="ignore", invalid="ignore"):
        correlation = float(np.dot(dr, df) / denom) if denom > 0 else nan
    return dict(
        alpha=alpha,
        beta=beta,
        correlation=max(-1.0, min(1.0, correlation)) if denom > 0 else nan,
        tracking_error=float(_std(r - f) * np.sqrt(periods_per_year)),
        information_ratio=information_ratio(r, f, periods_per_year),
    )


# ------------------------------------------------ Sharpe ratios under selection

_EULER_GAMMA = 0.5772156649015329


def _real(name: str, value, *, nan: bool = True) -> float:
    """``value`` as a float, refusing what is not a real number (and NaN unless ``nan``)."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name}: expected a real number, found {type(value).__name__}")
    try:
        v = float(value)
    except OverflowError:  # an int beyond the float range
        raise ValueError(
            f"{name}: expected a number in the float range, found an int of {int(value).bit_length()} bits"
        ) from None
    if math.isnan(v) and not nan:
        raise ValueError(f"{name}: expected a number, found NaN")
    return v


def _n_obs(value) -> float:
    t = _real("n_obs", value, nan=False)
    if not (t >= 2 and math.isfinite(t)):
        raise ValueError(f"n_obs: expected a finite number of bars of at least 2, found {value!r}")
    return t


def _sharpe_spread(sharpe: float, skew: float, kurtosis: float) -> float:
    """``1 - skew * SR + (kurtosis - 1) / 4 * SR**2``: (T - 1) times the variance of the estimated Sharpe
    ratio; NaN where it is not positive (moments no distribution has: kurtosis below 1 + skew**2)."""
    s = 1.0 - skew * sharpe + (kurtosis - 1.0) / 4.0 * sharpe * sharpe
    return s if s > 0 else float("nan")


def _expected_max_sharpe(n_trials: int, var_trials: float) -> float:
    """SR0: the expected largest of `n_trials` per-bar Sharpe ratios of no skill with variance `var_trials`."""
    if n_trials == 1:
        return 0.0
    from statistics import NormalDist

    inv = NormalDist().inv_cdf
    return math.sqrt(var_trials) * (
        (1.0 - _EULER_GAMMA) * inv(1.0 - 1.0 / n_trials) + _EULER_GAMMA * inv(1.0 - 1.0 / (n_trials * math.e))
    )


def probabilistic_sharpe(sharpe: float, benchmark_sharpe: float, skew: float, kurtosis: float, n_obs: float) -> float:
    """Probability that the true Sharpe ratio exceeds `benchmark_sharpe`, given the estimate `sharpe`.

    The probabilistic Sharpe ratio of Bailey and López de Prado:
    ``Φ((SR - SR*) * sqrt(T - 1) / sqrt(1 - skew * SR + (kurtosis - 1) / 4 * SR**2))``,
    which accounts for the length of the track record and for returns that
    are skewed or fat-tailed.  Every ratio is per bar (not annualised).

    Parameters
    ----------
    sharpe : float
        The estimated per-bar Sharpe ratio SR (``Report.stats()["sharpe_per_bar"]``).
    benchmark_sharpe : float
        The per-bar Sharpe ratio SR* to beat (0: any skill at all).
    skew : float
        Skewness of the returns (``stats()["skew"]``).
    kurtosis : float
        Kurtosis of the returns, not excess: 3 for normal returns (``stats()["kurtosis"]``).
    n_obs : float
        T, the number of returns the estimate is based on (``stats()["bars"]``), at least 2.

    Returns
    -------
    float
        A probability; NaN when an input is NaN, and when the variance term
        under the square root is not positive, which no distribution gives
        (it needs kurtosis below ``1 + skew**2``): inconsistent moments.

    Raises
    ------
    TypeError
        An argument that is not a real number.
    ValueError
        `n_obs` below 2, infinite or NaN.

    Examples
    --------
    >>> round(probabilistic_sharpe(0.1, 0.0, 0.0, 3.0, 250), 4)   # normal returns, a year of days
    0.9423
    >>> probabilistic_sharpe(0.1, 0.1, -1.0, 6.0, 250)              # exactly the benchmark: even odds
    0.5
    """
    from statistics import NormalDist

    t = _n_obs(n_obs)
    sr, bench = _real("sharpe", sharpe), _real("benchmark_sharpe", benchmark_sharpe)
    spread = _sharpe_spread(sr, _real("skew", skew), _real("kurtosis", kurtosis))
    if math.isnan(sr) or math.isnan(bench) or math.isnan(spread):
        return float("nan")
    return NormalDist().cdf((sr - bench) * math.sqrt(t - 1.0) / math.sqrt(spread))


def deflated_sharpe(
    sharpe: float, n_trials: int, var_trials: float, skew: float, kurtosis: float, n_obs: float
) -> float:
    """Probability that the best of `n_trials` Sharpe ratios reflects skill, not selection.

    The deflated Sharpe ratio of Bailey and López de Prado: the
    :func:`probabilistic_sharpe` of the selected `sharpe` against SR0, the
    largest Sharpe ratio expected among `n_trials` trials of no skill whose
    Sharpe ratios vary with variance `var_trials`:
    ``SR0 = sqrt(V) * ((1 - γ) Φ⁻¹(1 - 1/N) + γ Φ⁻¹(1 - 1/(N e)))``, γ Euler's
    constant.  One trial involves no selection: SR0 is 0.  Every ratio is
    per bar (not annualised); divide an annual Sharpe ratio by
    ``sqrt(periods_per_year)`` and its variance by ``periods_per_year``.

    Parameters
    ----------
    sharpe : float
        The selected (best) per-bar Sharpe ratio.
    n_trials : int
        N, the number of trials the best was chosen from (failed ones
        included), or the effective number of independent trials; at least 1.
    var_trials : float
        V, the variance of the trials' per-bar Sharpe ratios, at least 0
        (``sweep(...).attrs["sharpe_variance"]``).
    skew : float
        Skewness of the selected trial's returns.
    kurtosis : float
        Its kurtosis, not excess (3 for normal returns).
    n_obs : float
        T, the number of returns of the selected trial, at least 2.

    Returns
    -------
    float
        A probability; NaN as for :func:`probabilistic_sharpe`, and when
        `var_trials` is NaN with more than one trial.

    Raises
    ------
    TypeError
        An argument that is not a real number, `n_trials` not an int.
    ValueError
        `n_trials` below 1, `var_trials` negative or infinite, `n_obs` below 2.

    Examples
    --------
    An annual Sharpe ratio of 2.5 over five years of 250 daily bars, the best
    of 100 trials whose annual Sharpe ratios have variance 0.5, with skewness
    -3 and kurtosis 10:

    >>> round(deflated_sharpe(2.5 / 250 ** 0.5, 100, 0.5 / 250, -3.0, 10.0, 1250), 4)
    0.9004

    With one trial it is the probabilistic Sharpe ratio against 0:

    >>> deflated_sharpe(0.1, 1, 0.0, 0.0, 3.0, 250) == probabilistic_sharpe(0.1, 0.0, 0.0, 3.0, 250)
    True
    """
    if isinstance(n_trials, (bool, np.bool_)) or not isinstance(n_trials, (int, np.integer)):
        raise TypeError(f"n_trials: expected an int, found {type(n_trials).__name__}")
    if n_trials < 1:
        raise ValueError(f"n_trials: expected at least 1 trial, found {n_trials}")
    var = _real("var_trials", var_trials)
    if var < 0 or math.isinf(var):
        raise ValueError(f"var_trials: expected a finite variance of at least 0, found {var_trials!r}")
    _n_obs(n_obs)
    if n_trials > 1 and math.isnan(var):
        return float("nan")
    return probabilistic_sharpe(sharpe, _expected_max_sharpe(int(n_trials), var), skew, kurtosis, n_obs)


def min_track_record_length(
    sharpe: float, benchmark_sharpe: float, skew: float, kurtosis: float, prob: float = 0.95
) -> float:
    """Bars of track record needed before `sharpe` beats `benchmark_sharpe` with probability `prob`.

    The minimum track record length of Bailey and López de Prado:
    ``1 + (1 - skew * SR + (kurtosis - 1) / 4 * SR**2) * (Φ⁻¹(prob) / (SR - SR*))**2``,
    the smallest T at which :func:`probabilistic_sharpe` reaches `prob`.
    Ratios are per bar.

    Parameters
    ----------
    sharpe : float
        The estimated per-bar Sharpe ratio SR.
    benchmark_sharpe : float
        The per-bar Sharpe ratio SR* to beat.
    skew : float
        Skewness of the returns.
    kurtosis : float
        Kurtosis of the returns, not excess (3 for normal returns).
    prob : float, default 0.95
        The confidence wanted, strictly between 0 and 1.

    Returns
    -------
    float
        A number of bars (not rounded).  ``inf`` when SR does not exceed SR*
        and `prob` is above 1/2: no track record is long enough; 1 when `prob`
        is at most 1/2 (the probabilistic Sharpe ratio starts at 1/2); NaN
        when an input is NaN or the moments are inconsistent (see
        :func:`probabilistic_sharpe`).

    Raises
    ------
    TypeError
        An argument that is not a real number.
    ValueError
        `prob` not strictly between 0 and 1.

    Examples
    --------
    >>> t = min_track_record_length(0.1, 0.0, 0.0, 3.0, prob=0.95)
    >>> round(t, 1)
    272.9
    >>> round(probabilistic_sharpe(0.1, 0.0, 0.0, 3.0, t), 10)
    0.95
    """
    from statistics import NormalDist

    p = _real("prob", prob, nan=False)
    if not 0.0 < p < 1.0:
        raise ValueError(f"prob: expected a probability strictly between 0 and 1, found {prob!r}")
    sr, bench = _real("sharpe", sharpe), _real("benchmark_sharpe", benchmark_sharpe)
    spread = _sharpe_spread(sr, _real("skew", skew), _real("kurtosis", kurtosis))
    if math.isnan(sr) or math.isnan(bench) or math.isnan(spread):
        return float("nan")
    if p <= 0.5:
        return 1.0
    if not sr > bench:
        return math.inf
    return 1.0 + spread * (NormalDist().inv_cdf(p) / (sr - bench)) ** 2
