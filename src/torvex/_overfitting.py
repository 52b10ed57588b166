"""How much a sweep's best run owes to selection: the probability of backtest overfitting (PBO) by
combinatorially symmetric cross-validation, and the deflated Sharpe ratio of the best run.

CSCV (Bailey, Borwein, López de Prado and Zhu) cuts the bars into S contiguous blocks and, for
every way of choosing S/2 of them as the in-sample (train) half, picks the set with the best
in-sample Sharpe ratio and asks where it ranks out of sample (the other half).  PBO is the share of
those splits in which the in-sample best does no better than the median out of sample.
"""

from __future__ import annotations

import html as _html
import itertools
import math
import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np
import pandas as pd

from . import stats as _st

if TYPE_CHECKING:
    from matplotlib.figure import Figure

__all__ = ["overfitting", "Overfitting", "Degradation"]

# Sharpe ratios (relative to the larger magnitude, at least 1) and relative ranks ω closer than this
# are ties: a tie for the best in-sample goes to the first set, a test rank ω of 1/2 within it is a
# logit of 0 (counted as overfit).
_TIE = 1e-12
# Combinations handled at once: a chunk's arrays of combinations x sets stay near this many values.
_CHUNK_VALUES = 1 << 20


class Degradation(NamedTuple):
    """How the in-sample best's Sharpe ratio carries out of sample, over the CSCV combinations.

    ``slope`` and ``intercept`` are the least-squares line of its test Sharpe ratio on its train
    Sharpe ratio; ``mean_difference`` is the mean test Sharpe ratio minus the mean train one.
    """

    slope: float
    intercept: float
    mean_difference: float


@dataclass(frozen=True, eq=False, repr=False)
class Overfitting:
    """What :func:`overfitting` measured; every Sharpe ratio is per bar (mean over ddof-1 std).

    Attributes
    ----------
    pbo : float
        Probability of backtest overfitting: the share of combinations whose logit is at most 0.
    logits : ndarray
        λ = ln(ω / (1 - ω)) per combination, ω the train-best set's test rank over N + 1.
    degradation : Degradation
        (slope, intercept, mean_difference) of the train-best's test against train Sharpe ratios.
    prob_loss : float
        Share of combinations in which the train-best's test Sharpe ratio is below 0.
    best : object
        Label (column of the returns) of the set with the best Sharpe ratio over all used bars.
    sharpe : float
        That set's per-bar Sharpe ratio over the used bars.
    dsr : float
        Its deflated Sharpe ratio (:func:`torvex.stats.deflated_sharpe`).
    sr0 : float
        The Sharpe ratio the best of `n_trials` trials of no skill is expected to reach.
    n_trials : int
        N of the deflated Sharpe ratio.
    blocks : int
        S, the number of CSCV blocks.
    train_sharpe, test_sharpe : ndarray
        The train-best set's Sharpe ratio in and out of sample, per combination.
    n_sets : int
        Sets measured (the returns' columns less failed ones).
    n_bars : int
        Bars on which every measured set has a return (T of the deflated Sharpe ratio).
    sharpe_variance : float
        V: variance (ddof 1) of the sets' finite Sharpe ratios over the used bars.
    skew, kurtosis : float
        Of the best set's returns over the used bars (kurtosis not excess).

    Examples
    --------
    >>> import numpy as np, pandas as pd, torvex
    >>> noise = pd.DataFrame(np.random.default_rng(0).normal(0, 0.01, (400, 10)))
    >>> res = torvex.overfitting(noise, blocks=8)
    >>> res.logits.shape, res.n_sets, res.n_bars
    ((70,), 10, 400)
    """

    pbo: float
    logits: np.ndarray
    degradation: Degradation
    prob_loss: float
    best: Any
    sharpe: float
    dsr: float
    sr0: float
    n_trials: int
    blocks: int
    train_sharpe: np.ndarray
    test_sharpe: np.ndarray
    n_sets: int
    n_bars: int
    sharpe_variance: float
    skew: float
    kurtosis: float

    def __repr__(self) -> str:
        d = self.degradation
        return (
            f"Overfitting of {self.n_sets:,} sets over {self.n_bars:,} bars, {self.blocks} blocks "
            f"({len(self.logits):,} combinations)\n"
            f"  pbo          {self.pbo:.4f}\n"
            f"  prob_loss    {self.prob_loss:.4f}\n"
            f"  degradation  slope {d.slope:.4g}, intercept {d.intercept:.4g}, "
            f"mean difference {d.mean_difference:.4g}\n"
            f"  best         {self.best!r}: per-bar Sharpe {self.sharpe:.4g}\n"
            f"  dsr          {self.dsr:.4f} (sr0 {self.sr0:.4g} over {self.n_trials:,} trials)"
        )

    def plot(self) -> Figure:
        """The logits' histogram (left) and the train-best's test against train Sharpe ratios (right).

        Returns
        -------
        matplotlib.figure.Figure

        Raises
        ------
        ImportError
            Without matplotlib (``pip install matplotlib``).

        Examples
        --------
        >>> import numpy as np, pandas as pd, torvex
        >>> noise = pd.DataFrame(np.random.default_rng(0).normal(0, 0.01, (400, 10)))
        >>> fig = torvex.overfitting(noise, blocks=8).plot()
        >>> [ax.get_xlabel() for ax in fig.axes]
        ['logit of the test rank', 'train Sharpe ratio (per bar)']
        """
        from .plotting import _figure

        fig, (left, right) = _figure((11, 4.2), 1, 2)
        lam = self.logits
        left.hist(lam, bins=min(50, max(10, int(math.sqrt(lam.size)))), color="#1f4e79", alpha=0.8)
        left.axvline(0.0, color="#b22222", lw=1.0)
        left.set_xlabel("logit of the test rank")
        left.set_ylabel("combinations")
        left.set_title(f"Train-best's rank out of sample (PBO {self.pbo:.1%})", loc="left")
        left.grid(alpha=0.3)
        x, y = self.train_sharpe, self.test_sharpe
        right.scatter(x, y, s=8, alpha=0.4, color="#1f4e79", lw=0)
        d = self.degradation
        ok = np.isfinite(x)
        if ok.any() and math.isfinite(d.slope):
            xs = np.array([x[ok].min(), x[ok].max()])
            right.plot(
                xs,
                d.intercept + d.slope * xs,
                color="#b22222",
                lw=1.0,
                label=f"test = {d.intercept:.3g} {'-' if d.slope < 0 else '+'} {abs(d.slope):.3g} x train",
            )
            right.legend(loc="best", frameon=False)
        right.axhline(0.0, color="black", lw=0.6)
        right.set_xlabel("train Sharpe ratio (per bar)")
        right.set_ylabel("test Sharpe ratio (per bar)")
        right.set_title(f"Degradation (P[test < 0] {self.prob_loss:.1%})", loc="left")
        right.grid(alpha=0.3)
        return fig

    def to_html(self, path: str | os.PathLike | None = None) -> str:
        """One self-contained HTML page: the figures, the histogram and scatter of :meth:`plot`, the DSR.

        Parameters
        ----------
        path : str or path-like, optional
            File to write the page to (UTF-8).

        Returns
        -------
        str
            The page.

        Examples
        --------
        >>> import numpy as np, pandas as pd, torvex
        >>> noise = pd.DataFrame(np.random.default_rng(0).normal(0, 0.01, (400, 10)))
        >>> page = torvex.overfitting(noise, blocks=8).to_html()
        >>> page.startswith("<!DOCTYPE html>") and "Deflated Sharpe ratio" in page
        True
        """
        from .html import _STYLE, _fmt, _png

        d = self.degradation
        rows = [
            ("pbo", self.pbo),
            ("prob_loss", self.prob_loss),
            ("slope", d.slope),
            ("intercept", d.intercept),
            ("mean_difference", d.mean_difference),
            ("best", self.best),
            ("sharpe", self.sharpe),
            ("dsr", self.dsr),
            ("sr0", self.sr0),
            ("sharpe_variance", self.sharpe_variance),
            ("skew", self.skew),
            ("kurtosis", self.kurtosis),
            ("n_trials", self.n_trials),
            ("sets", self.n_sets),
            ("bars", self.n_bars),
            ("blocks", self.blocks),
            ("combinations", len(self.logits)),
        ]

        def cell(name, v):
            if isinstance(v, (float, np.floating)):
                return (
                    _fmt(name, float(v))
                    if name not in ("sharpe", "sr0", "sharpe_variance") or not np.isfinite(v)
                    else f"{v:.4g}"
                )
            if isinstance(v, (int, np.integer)):
                return _fmt(name, int(v))
            return _html.escape(str(v))

        table = "".join(f"<tr><td>{_html.escape(k)}</td><td>{cell(k, v)}</td></tr>" for k, v in rows)
        picture = _png(self.plot())
        title = "torvex: backtest overfitting"
        page = f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>{_html.escape(title)}</title><style>{_STYLE}</style></head>
<body>
<h1>{_html.escape(title)}</h1>
<p class="muted">{self.n_sets:,} parameter sets over {self.n_bars:,} bars; {self.blocks} blocks,
{len(self.logits):,} train/test combinations. Sharpe ratios per bar. Generated by torvex.</p>
<h2 id="figures">Figures</h2>
<div class="grid"><div><table>{table}</table></div><div style="flex:1">
<img alt="logit histogram and degradation scatter" src="{picture}"></div></div>
<h2 id="dsr">Deflated Sharpe ratio</h2>
<p>Deflated Sharpe ratio of the best set {_html.escape(repr(self.best))}: <b>{_fmt("dsr", float(self.dsr))}</b>,
the probability that its per-bar Sharpe ratio {self.sharpe:.4g} over {self.n_bars:,} bars beats
{self.sr0:.4g}, the best expected of {self.n_trials:,} trials of no skill.
PBO {_fmt("pbo", float(self.pbo))}: the share of combinations in which the set best in sample ranks at or
below the median out of sample.</p>
</body></html>
"""
        if path is not None:
            with open(os.fspath(path), "w", encoding="utf-8") as f:
                f.write(page)
        return page


def overfitting(sweep_result_or_returns: Any, *, blocks: int = 16, n_trials: int | None = None) -> Overfitting:
    """Probability of backtest overfitting of a sweep, and the deflated Sharpe ratio of its best set.

    Parameters
    ----------
    sweep_result_or_returns : (DataFrame, DataFrame) or DataFrame
        What ``torvex.sweep(..., keep="returns")`` returned (its table and its
        returns), or the returns alone: a bars x sets frame of per-bar
        returns, one column per parameter set (NaN where a set has no return).
        Failed sets (an ``error`` in the table, or an all-NaN column) are
        left out; of the others, only the bars on which every set has a
        return are used, in the frame's row order.
    blocks : int, default 16
        S, the number of contiguous blocks of equal size the used bars are
        cut into (the bars left over are dropped from the start); even, with
        at least 2 bars a block.  The cost grows with C(S, S/2) (12,870 for
        16, 184,756 for 20) times the number of sets.
    n_trials : int, optional
        N of the deflated Sharpe ratio: by default every set tried, failed
        ones too (the table's ``attrs["n_trials"]``; the number of columns of
        returns given alone).  Give the effective number of independent
        trials when many sets are near copies of each other.

    Returns
    -------
    Overfitting
        ``pbo``, ``logits``, ``degradation``, ``prob_loss``, ``best``,
        ``sharpe``, ``dsr``, ``sr0``, ``n_trials``, ``blocks`` and more; with
        :meth:`~Overfitting.plot` and :meth:`~Overfitting.to_html`.

    Raises
    ------
    TypeError
        `sweep_result_or_returns` neither a sweep result with returns nor a
        frame of returns (a sweep's table alone included); `blocks` or
        `n_trials` not an int.
    ValueError
        Fewer than 2 sets with returns, an infinite return, `blocks` odd,
        below 2 or too many for the bars (each block needs 2 bars), a
        `n_trials` below 1.

    Notes
    -----
    Per combination of S/2 blocks as the train half and the rest as the test
    half, each set's per-bar Sharpe ratio (mean over standard deviation,
    ddof 1) is measured on both; the train-best set (the first in grid order
    on a tie; a Sharpe ratio that does not exist, on returns that do not
    vary, ranks lowest) ranks ``r`` among the N sets in the test half (1 the
    worst, ties at their average rank), ω = r / (N + 1) and the logit
    λ = ln(ω / (1 - ω)).  PBO is the share of combinations with λ ≤ 0.  The
    probability of loss counts a test Sharpe ratio that does not exist as
    no loss.

    The deflated Sharpe ratio measures the set with the best Sharpe ratio
    over all used bars against SR0, the best expected of N trials of no
    skill, with V the variance (ddof 1) of the sets' finite Sharpe ratios
    over those bars, the best set's skewness and kurtosis (population
    estimators) and T the number of used bars.

    Examples
    --------
    Ten sets of pure noise and one with a real edge:

    >>> import numpy as np, pandas as pd, torvex
    >>> rng = np.random.default_rng(1)
    >>> returns = pd.DataFrame(rng.normal(0.0, 0.01, (1000, 11)))
    >>> returns[10] += 0.002
    >>> res = torvex.overfitting(returns, blocks=10)
    >>> res.best, res.pbo < 0.05, res.dsr > 0.95
    (10, True, True)
    >>> noise = torvex.overfitting(returns.iloc[:, :10], blocks=10)
    >>> bool(noise.pbo > 0.1)
    True
    """
    returns, tried = _returns_of(sweep_result_or_returns)
    labels = returns.columns
    try:
        values = returns.to_numpy(dtype=np.float64, na_value=np.nan)
    except (TypeError, ValueError):
        raise TypeError(
            "sweep_result_or_returns: expected numeric per-bar returns, found columns of dtypes "
            f"{sorted({str(t) for t in returns.dtypes})}"
        ) from None
    inf = np.isinf(values)
    if inf.any():
        r, c = np.argwhere(inf)[0]
        raise ValueError(
            f"sweep_result_or_returns: expected finite returns; found {values[r, c]} in set "
            f"{labels[c]!r} on {returns.index[r]}"
        )
    measured = np.flatnonzero(~np.isnan(values).all(axis=0))
    if measured.size < 2:
        failed = values.shape[1] - measured.size
        raise ValueError(
            "sweep_result_or_returns: expected the returns of at least 2 parameter sets, found "
            f"{measured.size}" + (f" ({failed} more failed or have no return)" if failed else "")
        )
    x = values[:, measured]
    x = x[~np.isnan(x).any(axis=1)]
    t, n = x.shape
    blocks = _check_blocks(blocks, t)
    if n_trials is None:
        n_trials = tried
    elif isinstance(n_trials, (bool, np.bool_)) or not isinstance(n_trials, (int, np.integer)):
        raise TypeError(f"n_trials: expected an int, found {type(n_trials).__name__}")
    elif n_trials < 1:
        raise ValueError(f"n_trials: expected at least 1 trial, found {n_trials}")
    n_trials = int(n_trials)

    # The deflated Sharpe ratio of the best set over every used bar.
    full = _column_sharpe(x)
    best = int(_first_best(full[None])[0])
    finite = full[np.isfinite(full)]
    var = float(np.var(finite, ddof=1)) if finite.size >= 2 else float("nan")
    skew, kurt = _st.skew(x[:, best]), _st.kurtosis(x[:, best])
    sr0 = _st._expected_max_sharpe(n_trials, var) if n_trials == 1 or math.isfinite(var) else float("nan")
    dsr = _st.deflated_sharpe(float(full[best]), n_trials, var, skew, kurt, t)

    # CSCV over the blocks.
    size = t // blocks
    y = x[t - size * blocks :].reshape(blocks, size, n)
    mean_b = y.mean(axis=1)
    dev = y - mean_b[:, None, :]
    np.multiply(dev, dev, out=dev)
    moments = (mean_b, dev.sum(axis=1), y.max(axis=1), y.min(axis=1))
    del dev
    half = blocks // 2
    train = np.array(list(itertools.combinations(range(blocks), half)), dtype=np.intp)
    mask = np.ones((len(train), blocks), dtype=bool)
    mask[np.arange(len(train))[:, None], train] = False
    test = np.nonzero(mask)[1].reshape(len(train), half)
    omega = np.empty(len(train))
    tr_best = np.empty(len(train))
    te_best = np.empty(len(train))
    step = max(1, _CHUNK_VALUES // n)
    for lo in range(0, len(train), step):
        hi = min(lo + step, len(train))
        s_train = _slice_sharpe(moments, train[lo:hi], size)
        s_test = _slice_sharpe(moments, test[lo:hi], size)
        chosen = _first_best(s_train)
        rows = np.arange(hi - lo)
        tr_best[lo:hi] = s_train[rows, chosen]
        te_best[lo:hi] = s_test[rows, chosen]
        omega[lo:hi] = _test_rank(s_test, chosen) / (n + 1)
    logits = np.log(omega / (1.0 - omega))  # ω lies in [1/(N+1), N/(N+1)]
    logits[np.abs(omega - 0.5) <= _TIE] = 0.0
    return Overfitting(
        pbo=float(np.mean(logits <= 0.0)),
        logits=logits,
        degradation=_degradation(tr_best, te_best),
        prob_loss=float(np.mean(te_best < 0.0)),
        best=_plain(labels[measured[best]]),
        sharpe=float(full[best]),
        dsr=float(dsr),
        sr0=float(sr0),
        n_trials=n_trials,
        blocks=blocks,
        train_sharpe=tr_best,
        test_sharpe=te_best,
        n_sets=n,
        n_bars=t,
        sharpe_variance=var,
        skew=float(skew),
        kurtosis=float(kurt),
    )


def _plain(label: Any) -> Any:
    """A column label with NumPy scalars as Python ones (a MultiIndex gives np.float64 levels)."""
    if isinstance(label, tuple):
        return tuple(v.item() if isinstance(v, np.generic) else v for v in label)
    return label.item() if isinstance(label, np.generic) else label


def _returns_of(obj: Any) -> tuple[pd.DataFrame, int]:
    """The returns frame of a sweep result (failed sets' columns dropped) or of a frame, and N tried."""
    if isinstance(obj, tuple):
        if len(obj) == 2 and isinstance(obj[0], pd.DataFrame) and isinstance(obj[1], pd.DataFrame):
            table, returns = obj
            tried = table.attrs.get("n_trials", returns.shape[1])
            if "error" in table.columns:
                if len(table) != returns.shape[1]:
                    raise ValueError(
                        f"sweep_result_or_returns: the table has {len(table)} rows and the returns "
                        f"{returns.shape[1]} columns; expected one column per row, as "
                        "sweep(..., keep='returns') returns them"
                    )
                returns = returns.iloc[:, table["error"].isna().to_numpy()]
            return returns, int(tried)
        kinds = ", ".join(type(v).__name__ for v in obj)
        raise TypeError(
            "sweep_result_or_returns: expected what sweep(..., keep='returns') returns, a (table, "
            f"returns) pair of DataFrames, found a tuple of ({kinds})"
        )
    if isinstance(obj, pd.DataFrame):
        if "error" in obj.columns and "sharpe_per_bar" in obj.columns:
            raise TypeError(
                "sweep_result_or_returns: found a sweep's table of statistics without the runs' "
                "returns; run torvex.sweep(..., keep='returns') and pass what it returns"
            )
        return obj, obj.shape[1]
    raise TypeError(
        "sweep_result_or_returns: expected what sweep(..., keep='returns') returns or a DataFrame of "
        f"per-bar returns (bars x sets), found {type(obj).__name__}"
    )


def _check_blocks(blocks: Any, t: int) -> int:
    if isinstance(blocks, (bool, np.bool_)) or not isinstance(blocks, (int, np.integer)):
        raise TypeError(f"blocks: expected an even int, found {type(blocks).__name__}")
    most = (t // 2) // 2 * 2  # the most even blocks of at least 2 bars
    if blocks < 2 or blocks % 2:
        raise ValueError(f"blocks: expected an even number of at least 2, found {blocks}")
    if blocks > most:
        room = f"at most {most}" if most >= 2 else "none: at least 4 are needed"
        raise ValueError(
            f"blocks: expected blocks of at least 2 bars; the {t} bars on which every set has a "
            f"return allow {room}, found {blocks}"
        )
    return int(blocks)


def _column_sharpe(x: np.ndarray) -> np.ndarray:
    """Per-bar Sharpe ratio of each column of NaN-free `x`; NaN for a column that does not vary."""
    mean = x.mean(axis=0)
    dev = x - mean
    var = (dev * dev).sum(axis=0) / (x.shape[0] - 1)
    with np.errstate(divide="ignore", invalid="ignore"):
        s = mean / np.sqrt(var)
    s[(x.max(axis=0) == x.min(axis=0)) | ~(var > 0)] = np.nan
    return s


def _slice_sharpe(moments: tuple, idx: np.ndarray, size: int) -> np.ndarray:
    """Per-bar Sharpe ratio of every set (columns) on the union of the blocks of each row of `idx`.

    `moments` are the blocks' (mean, sum of squared deviations, max, min), blocks x sets; the
    union's are combined exactly (Chan's pairwise update), in the same order for every set, so equal
    sets get equal figures.  NaN where the union's returns do not vary.
    """
    mean_b, m2_b, max_b, min_b = moments
    k = idx.shape[1]
    mean = mean_b[idx[:, 0]].copy()
    top, bottom = max_b[idx[:, 0]].copy(), min_b[idx[:, 0]].copy()
    for j in range(1, k):
        mean += mean_b[idx[:, j]]
        np.maximum(top, max_b[idx[:, j]], out=top)
        np.minimum(bottom, min_b[idx[:, j]], out=bottom)
    mean /= k
    m2 = np.zeros_like(mean)
    for j in range(k):
        d = mean_b[idx[:, j]] - mean
        m2 += m2_b[idx[:, j]] + size * d * d
    var = m2 / (k * size - 1)
    with np.errstate(divide="ignore", invalid="ignore"):
        s = mean / np.sqrt(var)
    s[(top == bottom) | ~(var > 0)] = np.nan
    return s


def _first_best(s: np.ndarray) -> np.ndarray:
    """Per row, the first column within the tie tolerance of the row's largest; NaN ranks lowest."""
    filled = np.where(np.isnan(s), -np.inf, s)
    top = filled.max(axis=1)
    with np.errstate(invalid="ignore"):
        floor = np.where(np.isfinite(top), top - _TIE * np.maximum(1.0, np.abs(top)), -np.inf)
    return np.argmax(filled >= floor[:, None], axis=1)


def _test_rank(s: np.ndarray, chosen: np.ndarray) -> np.ndarray:
    """Per row, the rank (1 the lowest, ties averaged, NaN lowest) of column `chosen` among the row."""
    filled = np.where(np.isnan(s), -np.inf, s)
    v = filled[np.arange(len(s)), chosen]
    fin = np.isfinite(v)
    tol = _TIE * np.maximum(1.0, np.abs(np.where(fin, v, 0.0)))
    below = np.where(fin, v - tol, -np.inf)
    upto = np.where(fin, v + tol, -np.inf)
    less = np.count_nonzero(filled < below[:, None], axis=1)
    tied = np.count_nonzero(filled <= upto[:, None], axis=1) - less
    return less + (tied + 1) / 2.0


def _degradation(train: np.ndarray, test: np.ndarray) -> Degradation:
    ok = np.isfinite(train) & np.isfinite(test)
    x, y = train[ok], test[ok]
    if x.size == 0:
        return Degradation(float("nan"), float("nan"), float("nan"))
    mx, my = x.mean(), y.mean()
    sxx = float(np.dot(x - mx, x - mx))
    slope = float(np.dot(x - mx, y - my) / sxx) if x.size >= 2 and sxx > 0 else float("nan")
    intercept = float(my - slope * mx) if math.isfinite(slope) else float("nan")
    return Degradation(slope, intercept, float(my - mx))
