"""Where a sweep's runs go: one interface, one resolver.

A backend is a context (entering starts it: a pool, a cluster, a session; leaving
closes what it started), says how many runs it takes at once (``workers()``, from
which the sweep cuts its chunks once) and runs chunks of run numbers, passing every
outcome back through ``on_outcome`` in the calling thread. Externals (Dask, Ray) are
registered by name and imported only when asked for.
"""

from __future__ import annotations

import concurrent.futures as cf
from collections.abc import Callable, Sequence
from typing import Any, Protocol

from ._task import Outcome, SweepTask

OnOutcome = Callable[[int, Outcome], None]


class Backend(Protocol):
    """The interface every backend implements."""

    def __enter__(self) -> Backend: ...

    def __exit__(self, *exc: object) -> None: ...

    def workers(self) -> int:
        """Runs it takes at once (known once entered)."""
        ...

    def run(self, task: SweepTask, chunks: Sequence[Sequence[int]], on_outcome: OnOutcome) -> None:
        """Every run of every chunk, each outcome passed to `on_outcome`."""
        ...


class _Context:
    def __enter__(self) -> Any:
        return self

    def __exit__(self, *exc: object) -> None:
        return None


class Serial(_Context):
    """Every run in the calling thread, in order."""

    def workers(self) -> int:
        return 1

    def run(self, task: SweepTask, chunks: Sequence[Sequence[int]], on_outcome: OnOutcome) -> None:
        for chunk in chunks:
            for i in chunk:
                on_outcome(i, task.run_one(i))


class Threads(_Context):
    """Chunks on a thread pool of this process (its own, or the caller's executor).

    The engine runs with the interpreter lock released and its state in the call, so
    runs proceed side by side; conversion, a position function and the report hold
    the lock, which bounds how far threads scale.
    """

    def __init__(self, n_jobs: int, executor: cf.Executor | None = None) -> None:
        self._n = n_jobs
        self._given = executor
        self._pool: cf.Executor | None = None

    def __enter__(self) -> Threads:
        self._pool = self._given or cf.ThreadPoolExecutor(max_workers=self._n, thread_name_prefix="torvex-sweep")
        return self

    def __exit__(self, *exc: object) -> None:
        if self._given is None and self._pool is not None:
            self._pool.shutdown(wait=True, cancel_futures=True)
        self._pool = None

    def workers(self) -> int:
        return getattr(self._given, "_max_workers", None) or self._n

    def run(self, task: SweepTask, chunks: Sequence[Sequence[int]], on_outcome: OnOutcome) -> None:
        from ._cluster import drain_futures

        assert self._pool is not None, "enter the backend first"
        drain_futures(self._pool, task, chunks, on_outcome)


class Processes(_Context):
    """Worker processes forked from the fork server, the price arrays in shared memory;
    a dead worker's unfinished runs are retried once in a fresh one."""

    def __init__(self, n_jobs: int) -> None:
        self._n = n_jobs

    def workers(self) -> int:
        return self._n

    def run(self, task: SweepTask, chunks: Sequence[Sequence[int]], on_outcome: OnOutcome) -> None:
        from ._local import run_local

        run_local(task, chunks, self._n, on_outcome)


class Executor(_Context):
    """A caller's process-based executor, used as it is (inputs pickled per task)."""

    def __init__(self, executor: cf.Executor, n_jobs: int) -> None:
        self._ex = executor
        self._n = n_jobs

    def workers(self) -> int:
        return getattr(self._ex, "_max_workers", None) or self._n

    def run(self, task: SweepTask, chunks: Sequence[Sequence[int]], on_outcome: OnOutcome) -> None:
        from ._cluster import drain_futures

        drain_futures(self._ex, task, chunks, on_outcome)


def _dask(n_jobs: int, client: Any = None) -> Backend:
    from ._cluster import Dask

    return Dask(n_jobs, client)


def _ray(n_jobs: int) -> Backend:
    from ._cluster import Ray

    return Ray(n_jobs)


#: Backends by name: each factory takes n_jobs. Externals import their library only
#: when their backend is made.
REGISTRY: dict[str, Callable[[int], Backend]] = {
    "threads": Threads,
    "processes": Processes,
    "dask": _dask,
    "ray": _ray,
}

NAMES = ("local", *REGISTRY)


def is_dask_client(obj: Any) -> bool:
    """Whether `obj` is a ``distributed.Client`` (without importing distributed)."""
    return type(obj).__name__ == "Client" and type(obj).__module__.startswith("distributed")


def resolve(backend: Any, n_jobs: int, *, threads_suit: bool = False, timeout: float | None = None) -> Backend:
    """The backend for a sweep's `backend` argument.

    None and ``"local"``: the runs in this process when ``n_jobs`` is 1; else a thread
    pool when `threads_suit` (the runs share one conversion of the inputs and no Python
    code of the caller's runs per set), worker processes (:class:`Processes`) otherwise.
    A name of :data:`REGISTRY`; a ``concurrent.futures.ThreadPoolExecutor``
    (:class:`Threads` on it); any other ``concurrent.futures.Executor`` (used as it
    is); a Dask client.

    With a `timeout` only backends that can stop a run in progress are taken: the
    local default becomes worker processes even for ``n_jobs=1``, and threads or a
    caller's executor (whose runs cannot be stopped) are a ValueError.
    """
    if timeout is not None:
        # Only a process can be stopped in the middle of a run.
        if backend is None or backend == "local":
            return Processes(n_jobs)
        if backend == "threads" or isinstance(backend, cf.Executor):
            found = repr(backend) if isinstance(backend, str) else f"a {type(backend).__name__}"
            raise ValueError(
                f"timeout: expected a backend that can stop a run in progress (None, 'local', 'processes',"
                f" 'dask' or 'ray'), found {found}, whose runs cannot be stopped; use backend='processes'"
            )
    if backend is None or backend == "local":
        if n_jobs == 1:
            return Serial()
        return Threads(n_jobs) if threads_suit else Processes(n_jobs)
    if isinstance(backend, str):
        if backend not in REGISTRY:
            raise ValueError(
                f"backend: expected None, {', '.join(repr(n) for n in NAMES)}, a concurrent.futures.Executor"
                f" or a dask Client, found {backend!r}"
            )
        return REGISTRY[backend](n_jobs)
    if isinstance(backend, cf.ThreadPoolExecutor):
        return Threads(n_jobs, executor=backend)
    if isinstance(backend, cf.Executor):
        return Executor(backend, n_jobs)
    if is_dask_client(backend):
        return _dask(n_jobs, client=backend)
    raise ValueError(
        f"backend: expected None, {', '.join(repr(n) for n in NAMES)}, a concurrent.futures.Executor"
        f" or a dask Client, found {type(backend).__name__}"
    )
