"""`sweep`: one backtest per parameter set, spread over processes."""

from __future__ import annotations

import concurrent.futures as cf
import contextvars
import inspect
import math
import numbers
import os
import warnings
from collections.abc import Callable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Literal, overload

from ._backends import resolve
from ._grid import expand, split_keys
from ._progress import progress_bar
from ._task import Outcome, SweepTask

if TYPE_CHECKING:
    import pandas as pd

    from ..report import Report

CHUNKS_PER_WORKER = 8  # load balance and progress steps against per-task cost

#: Set by a caller that runs sweeps as parts of its own work (walk-forward's train windows) and
#: reports their notes itself: the sweeps then issue no summary warning.
QUIET_NOTES: contextvars.ContextVar[bool] = contextvars.ContextVar("torvex_sweep_quiet_notes", default=False)


def _backtest_options() -> set[str]:
    from .._options import KEYWORDS

    return set(KEYWORDS)


def _signal_params(position: Any) -> set[str] | None:
    if not callable(position):
        return set()
    try:
        params = list(inspect.signature(position).parameters.values())
    except (TypeError, ValueError):
        return None
    if any(p.kind is p.VAR_KEYWORD for p in params):
        return None
    return {p.name for p in params[1:] if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)}


@overload
def sweep(
    position: Any,
    price: Any,
    grid: Mapping[str, Any] | Sequence[Mapping[str, Any]],
    *,
    backend: str | cf.Executor | Any | None = ...,
    n_jobs: int | None = ...,
    chunksize: int | None = ...,
    progress: bool | str = ...,
    keep: Literal["stats"] = ...,
    stats_options: Mapping[str, Any] | None = ...,
    timeout: float | None = ...,
    **fixed: Any,
) -> pd.DataFrame: ...
@overload
def sweep(
    position: Any,
    price: Any,
    grid: Mapping[str, Any] | Sequence[Mapping[str, Any]],
    *,
    backend: str | cf.Executor | Any | None = ...,
    n_jobs: int | None = ...,
    chunksize: int | None = ...,
    progress: bool | str = ...,
    keep: Literal["returns"],
    stats_options: Mapping[str, Any] | None = ...,
    timeout: float | None = ...,
    **fixed: Any,
) -> tuple[pd.DataFrame, pd.DataFrame]: ...
@overload
def sweep(
    position: Any,
    price: Any,
    grid: Mapping[str, Any] | Sequence[Mapping[str, Any]],
    *,
    backend: str | cf.Executor | Any | None = ...,
    n_jobs: int | None = ...,
    chunksize: int | None = ...,
    progress: bool | str = ...,
    keep: Literal["reports"] | Callable[[Report], Any],
    stats_options: Mapping[str, Any] | None = ...,
    timeout: float | None = ...,
    **fixed: Any,
) -> tuple[pd.DataFrame, dict[tuple, Any]]: ...
@overload
def sweep(
    position: Any,
    price: Any,
    grid: Mapping[str, Any] | Sequence[Mapping[str, Any]],
    *,
    backend: str | cf.Executor | Any | None = ...,
    n_jobs: int | None = ...,
    chunksize: int | None = ...,
    progress: bool | str = ...,
    keep: str | Callable[[Report], Any],
    stats_options: Mapping[str, Any] | None = ...,
    timeout: float | None = ...,
    **fixed: Any,
) -> pd.DataFrame | tuple[pd.DataFrame, dict[tuple, Any]] | tuple[pd.DataFrame, pd.DataFrame]: ...
def sweep(
    position: Any,
    price: Any,
    grid: Mapping[str, Any] | Sequence[Mapping[str, Any]],
    *,
    backend: str | cf.Executor | Any | None = None,
    n_jobs: int | None = None,
    chunksize: int | None = None,
    progress: bool | str = True,
    keep: str | Callable[[Report], Any] = "stats",
    stats_options: Mapping[str, Any] | None = None,
    timeout: float | None = None,
    **fixed: Any,
) -> pd.DataFrame | tuple[pd.DataFrame, dict[tuple, Any]] | tuple[pd.DataFrame, pd.DataFrame]:
    """Run one backtest per parameter set and tabulate their statistics.

    Parameters
    ----------
    position : DataFrame, Series or callable
        Target weights as :func:`torvex.backtest` takes them, or a function
        ``position(price, **params) -> DataFrame`` whose keyword parameters
        (a lookback, the number of stocks held) may be swept like options.
        The function must be pure: a worker calls it once per distinct set
        of its parameters and reuses the weights for neighbouring runs.
    price : DataFrame or mapping
        Prices as :func:`torvex.backtest` takes them; shared by every run.
    grid : dict of lists or list of dicts
        A dict of lists is the Cartesian product of its lists (the last key
        varies fastest); a list of dicts gives explicit parameter sets. Keys
        are :func:`torvex.backtest` options or parameters of a callable
        `position`. A key missing from a set is NaN in the index (the run
        uses the default). A key with a value that is not hashable (a stop
        table) is labelled by position: the value's place in its list, or for
        explicit sets the set's place in the grid.
    backend : None, "local", "threads", "processes", "dask", "ray", Executor or dask Client
        Where runs go (``torvex._sweep._backends``: one interface, one
        resolver). None / ``"local"`` (the default) chooses by the grid:
        with ``n_jobs=1`` every run is made in this thread; a grid of
        :func:`torvex.backtest` options alone (stops, costs, ``resample``,
        ``trade_at``, ...) with ``keep`` "stats", "returns" or "reports"
        runs on ``"threads"``; a grid over parameters of a position function
        (Python code, which holds the interpreter lock) or a callable
        ``keep`` runs on ``"processes"``. ``"threads"``: a thread pool of
        this process; the engine runs without the interpreter lock and keeps
        its state in the call, and no input is copied or pickled.
        ``"processes"``: worker processes on this machine, forked from a
        fork server, the price arrays in shared memory. ``"dask"``: the
        current ``distributed.Client``, else a ``LocalCluster`` started (and
        closed) for this sweep. ``"ray"``: the current Ray session, else a
        local one started (and shut down) for this sweep. A
        ``concurrent.futures.ThreadPoolExecutor`` runs the sets on its
        threads; any other ``concurrent.futures.Executor`` is used as it is
        (inputs pickled per task; no retry of dead workers). Wherever they
        run, runs that agree on the inputs' conversion (the frames,
        ``trade_at``, ``touched_exit``, ``resample``) share one conversion
        per process, made when the first of them runs, and a stop table or
        delisting map is converted once per distinct value.
    n_jobs : int, optional
        Threads or worker processes of the local backend and workers of a
        cluster this call starts; default ``os.process_cpu_count()``.
        ``n_jobs=1`` with the local backend runs every set in this thread,
        with no pool.
    chunksize : int, optional
        Parameter sets per task; default about eight tasks per worker.
        Results do not depend on it.
    progress : bool or "always", default True
        A tqdm bar over parameter sets, shown on a terminal or in a notebook;
        ``"always"`` shows it also when output is not a terminal.
    keep : "stats", "reports", "returns" or callable, default "stats"
        ``"reports"`` also returns every run's :class:`torvex.Report`;
        ``"returns"`` every run's per-bar returns (``Report.returns``) as one
        frame, what :func:`torvex.overfitting` measures; a callable
        ``keep(report)`` is applied in the worker and only its value comes
        back (so a large sweep never ships whole reports).
    stats_options : dict, optional
        Keywords of ``Report.stats`` for every run (``risk_free``,
        ``periods_per_year``). A ``benchmark`` here still works but is
        deprecated: pass ``benchmark=`` to `sweep` instead.
    timeout : float, optional
        Seconds one run may take. A run past it is stopped (its worker
        process is killed and replaced), recorded with an error starting
        ``TimedOut`` and the sweep goes on with the other runs. Only a
        process can be stopped in the middle of a run: with the default
        backend a `timeout` runs the sets in worker processes even when
        ``n_jobs=1``; ``backend="threads"``, a thread pool or another
        executor is refused. Default None: no limit.
    **fixed
        :func:`torvex.backtest` options (or parameters of `position`) that
        are the same for every run. ``benchmark=`` (a Series of prices or a
        price column's name) is one of them: it travels with the prices in
        the sweep's shared inputs (one copy per worker; with the local
        backend a long one's values sit in shared memory like the price
        arrays) and gives
        every run its alpha, beta, correlation, tracking_error and
        information_ratio. It cannot be a grid key: one sweep measures all
        its runs against one benchmark.

    Returns
    -------
    DataFrame, (DataFrame, dict) or (DataFrame, DataFrame)
        One row per parameter set, indexed by a MultiIndex of the grid's
        names, with the columns of ``Report.stats()`` and ``error`` (the
        exception text of a run that raised, else None); every figure is
        bit-identical to a serial ``backtest(...).stats()`` with the same
        parameters, whatever the backend, workers or chunks. With
        ``keep="reports"`` or a callable, also a dict keyed like the index
        holding the reports or the kept values (None for failed runs). With
        ``keep="returns"``, also a float64 frame of bars x parameter sets:
        its columns are the result's index (the same MultiIndex, in grid
        order, so ``returns[key]`` is the run of row ``key`` and
        ``returns.iloc[:, k]`` that of row ``k``), its rows the union of the
        runs' dates, sorted; NaN where a run has no return on a bar (before
        its start), and a failed run's column is all NaN.

        The table's ``attrs`` hold ``"n_trials"``, the number of parameter
        sets tried (failed ones included), and ``"sharpe_variance"``, the
        variance (ddof 1) of the finite ``sharpe_per_bar`` figures of the
        runs (NaN with fewer than two): with a row's ``sharpe_per_bar``,
        ``skew``, ``kurtosis`` and ``bars`` they give the row's
        :func:`torvex.stats.deflated_sharpe`.

    Raises
    ------
    ValueError
        A malformed grid, a key that is neither an option nor a parameter of
        `position`, a key both in `grid` and in `fixed`, ``benchmark`` as a
        grid key, an unknown backend, a `timeout` that is not a positive
        number of seconds, or a `timeout` with a backend whose runs cannot be
        stopped (threads, an executor).
    TypeError
        `keep` neither "stats", "reports", "returns" nor callable.
    ImportError
        ``backend="dask"`` or ``"ray"`` without the ``torvex[dask]`` /
        ``torvex[ray]`` extra.

    Notes
    -----
    A run that raises records its error and the sweep goes on. A local
    worker that dies (a crash, killed for memory) has its unfinished runs
    retried once in a fresh worker; a run in a worker that dies twice is
    recorded as failed with an error starting ``WorkerDied``; on Dask and
    Ray a chunk whose worker died is sent again set by set, so only the set
    that kills its worker fails. With `timeout`, a local worker is stopped
    once its current run has taken `timeout` seconds; the other runs of its
    chunk go to the fresh worker, each with its own `timeout`. On Dask and
    Ray a task cannot be watched run by run: a chunk may take `timeout`
    seconds per set plus a start-up allowance of 5 s, and one past it is
    cancelled (its worker killed: a Ray worker by ``ray.cancel(...,
    force=True)``, a Dask worker by its nanny, which starts a fresh one) and
    sent again set by set, each with that allowance; a set that is still too
    slow alone is recorded as ``TimedOut``. Ctrl-C stops the workers at once and
    re-raises KeyboardInterrupt, with the table of the runs that had
    finished as its ``.results`` (the others' error says ``Interrupted``). Scripts using the
    local or Dask backend need the ``if __name__ == "__main__":`` guard,
    since workers import the main module. The local workers are forked from
    a fork server (one idle process that has imported torvex and pandas);
    it stays until the calling process ends, so later sweeps start at once.
    A caller that is killed (SIGTERM, SIGKILL) leaves nothing behind: the
    fork server and the workers end with it, and the shared blocks, which
    have no name in /dev/shm, go with the last process that maps them.
    A cluster this call starts is closed before it returns; start the Dask
    client or Ray session yourself to keep one between sweeps.

    Examples
    --------
    >>> import torvex
    >>> from torvex.datasets import synthetic_universe
    >>> price = synthetic_universe(n_stocks=20, n_bars=300, seed=1)
    >>> top = price.rank(axis=1, ascending=False) <= 5
    >>> res = torvex.sweep(top, price, {"stop_loss": [0.05, 0.1],
    ...                                 "take_profit": [0.1, None]},
    ...                    n_jobs=1, progress=False)
    >>> res.index.names
    FrozenList(['stop_loss', 'take_profit'])
    >>> len(res), res["error"].isna().all()
    (4, np.True_)

    The per-bar returns of every run, and the deflated Sharpe ratio of the
    best run (the chance that its Sharpe ratio is not an artefact of picking
    the best of four):

    >>> res, returns = torvex.sweep(top, price, {"stop_loss": [0.05, 0.1],
    ...                                          "take_profit": [0.1, None]},
    ...                             keep="returns", n_jobs=1, progress=False)
    >>> returns.columns.equals(res.index), returns.shape[1], res.attrs["n_trials"]
    (True, 4, 4)
    >>> best = res.loc[res["sharpe_per_bar"].idxmax()]
    >>> dsr = torvex.stats.deflated_sharpe(best["sharpe_per_bar"], res.attrs["n_trials"],
    ...                                    res.attrs["sharpe_variance"], best["skew"],
    ...                                    best["kurtosis"], best["bars"])
    >>> 0.0 <= dsr <= 1.0
    True
    """
    import pandas as pd

    names, sets, labels = expand(grid)
    options = _backtest_options()
    sig = _signal_params(position)
    if "benchmark" in names and not (sig and "benchmark" in sig):
        raise ValueError(
            "grid: 'benchmark' cannot be swept; expected one benchmark for every run of a sweep,"
            " passed as sweep(..., benchmark=prices)"
        )
    signal_keys = split_keys(names, options, sig, fixed)
    if not (keep in ("stats", "reports", "returns") or callable(keep)):
        raise TypeError(f"keep: expected 'stats', 'reports', 'returns' or a callable, found {keep!r}")
    if stats_options is not None and not isinstance(stats_options, Mapping):
        raise TypeError(
            f"stats_options: expected a dict of Report.stats keywords, found {type(stats_options).__name__}"
        )
    if stats_options is not None and stats_options.get("benchmark") is not None:
        warnings.warn(
            "stats_options: 'benchmark' is deprecated; pass benchmark= to sweep instead, "
            "which ships it once with the prices and measures every run against it",
            DeprecationWarning,
            stacklevel=2,
        )
    if n_jobs is None:
        n_jobs = os.process_cpu_count() or 1
    elif isinstance(n_jobs, bool) or not isinstance(n_jobs, int) or n_jobs < 1:
        raise ValueError(f"n_jobs: expected a positive int, found {n_jobs!r}")
    if chunksize is not None and (isinstance(chunksize, bool) or not isinstance(chunksize, int) or chunksize < 1):
        raise ValueError(f"chunksize: expected a positive int, found {chunksize!r}")

    if timeout is not None and (
        isinstance(timeout, bool) or not isinstance(timeout, numbers.Real) or not math.isfinite(timeout) or timeout <= 0
    ):
        raise ValueError(f"timeout: expected a positive number of seconds or None, found {timeout!r}")
    if timeout is not None:
        timeout = float(timeout)

    # Threads serve a grid of backtest options alone: its runs share one conversion of the
    # inputs, and the engine runs without the interpreter lock. A grid over a position
    # function's parameters (Python, holding the lock) or a kept callable goes to processes.
    threads_suit = not (signal_keys & set(names)) and keep in ("stats", "reports", "returns")
    engine = resolve(backend, n_jobs, threads_suit=threads_suit, timeout=timeout)
    task = SweepTask(position, price, fixed, sets, signal_keys, stats_options or {}, keep, timeout=timeout)
    n = len(sets)
    outcomes: list[Outcome | None] = [None] * n
    bar = progress_bar(n, progress, "sweep")

    def on_outcome(i: int, res: Outcome) -> None:
        if outcomes[i] is None:
            bar.update(1)
        outcomes[i] = res

    try:
        with engine:
            size = chunksize or max(1, math.ceil(n / (max(engine.workers(), 1) * CHUNKS_PER_WORKER)))
            engine.run(task, [list(range(s, min(s + size, n))) for s in range(0, n, size)], on_outcome)
    except KeyboardInterrupt as exc:
        # The finished runs are kept: the table of them rides on the interruption.
        done = sum(o is not None for o in outcomes)
        stopped: Outcome = (None, "Interrupted: the sweep was stopped before this run finished", None)
        exc.results = _tabulate(pd, names, labels, [o if o is not None else stopped for o in outcomes], keep)  # type: ignore[attr-defined]
        exc.add_note(f"sweep: {done} of {n} runs had finished; their table is in this exception's .results")
        raise
    finally:
        bar.close()

    if not QUIET_NOTES.get():
        _warn_notes(outcomes)
    return _tabulate(pd, names, labels, outcomes, keep)


def _warn_notes(outcomes: list) -> None:
    """One warning for the notes of all runs: per kind, the runs that made it and its first text."""
    from .._checks import summary

    counts: dict[str, tuple[int, str]] = {}
    noted = 0
    for res in outcomes:
        kinds = res[0][2] if res is not None and res[0] is not None and len(res[0]) > 2 else ()
        noted += bool(kinds)
        for kind, text in kinds:
            n, first = counts.get(kind, (0, text))
            counts[kind] = (n + 1, first)
    text = summary(counts, noted, len(outcomes))
    if text is not None:
        warnings.warn(text, UserWarning, stacklevel=3)


def _tabulate(pd, names, labels, outcomes, keep):
    columns: list[str] = []
    seen: set[str] = set()
    for res in outcomes:
        if res is not None and res[0] is not None:
            for c in res[0][0]:
                if c not in seen:
                    seen.add(c)
                    columns.append(c)
    data: dict[str, list] = {c: [] for c in columns}
    errors: list[str | None] = []
    for res in outcomes:
        if res is None:  # only if a backend lost a run it never reported
            res = (None, "WorkerDied: no result came back for this parameter set", None)
        stats, err, _ = res
        values = dict(zip(stats[0], stats[1])) if stats is not None else {}
        for c in columns:
            data[c].append(values.get(c))
        errors.append(err)
    index = pd.MultiIndex.from_tuples(labels, names=names)
    frame = pd.DataFrame(data, index=index)
    frame["error"] = pd.Series(errors, index=index, dtype=object)
    if keep == "returns":
        kept = _returns_frame(pd, frame.index, [None if res is None else res[2] for res in outcomes])
    elif keep != "stats":
        kept = {key: (res[2] if res is not None else None) for key, res in zip(frame.index, outcomes)}
    # Last: pandas does not carry attrs through every step that builds the table.
    frame.attrs["n_trials"] = len(outcomes)
    frame.attrs["sharpe_variance"] = _sharpe_variance(frame)
    if keep == "stats":
        return frame
    return frame, kept


def _sharpe_variance(frame) -> float:
    """Variance (ddof 1) of the finite per-bar Sharpe ratios of a sweep's table; NaN with fewer than two."""
    import numpy as np

    if "sharpe_per_bar" not in frame.columns:
        return float("nan")
    s = frame["sharpe_per_bar"].to_numpy(dtype=np.float64, na_value=np.nan)
    s = s[np.isfinite(s)]
    return float(np.var(s, ddof=1)) if s.size >= 2 else float("nan")


def _returns_frame(pd, columns, returns):
    """Bars x runs: each run's returns Series (None for a failed run) on the union of their dates."""
    import numpy as np

    have = [r for r in returns if r is not None]
    dates = have[0].index if have else pd.DatetimeIndex([], name="date")
    for r in have[1:]:
        if not r.index.equals(dates):
            dates = dates.union(r.index)
    # Column by column into Fortran order: the frame takes the array as its block without a copy.
    out = np.full((len(dates), len(returns)), np.nan, order="F")
    for j, r in enumerate(returns):
        if r is None:
            continue
        values = r.to_numpy(dtype=np.float64)
        if r.index.equals(dates):
            out[:, j] = values
        else:
            out[dates.get_indexer(r.index), j] = values
    return pd.DataFrame(out, index=dates, columns=columns, copy=False)
