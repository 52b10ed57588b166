"""The backends that hand a sweep's chunks to futures: Dask, Ray, an executor.

Each ships the shared inputs once (a Dask broadcast, the Ray object store),
submits one task per chunk of run numbers and passes every outcome back as
its chunk completes. A chunk whose worker died is sent again set by set, so
only the set that kills its worker is recorded as failed. Dask and Ray are
imported here only, when asked for.

With a timeout, a task cannot be watched run by run (it reports only when its
whole chunk is done): a chunk may take `timeout` per set plus `MARGIN`, and
only as many chunks as the cluster runs at once are in flight, so that a
chunk's clock starts about when it does. A chunk past its deadline is
cancelled and its worker killed (Ray: a forced cancel; Dask: the worker's
nanny restarts it), then its sets are sent again one per task, each with
`timeout` plus `MARGIN`; a single set past that is recorded as timed out.
"""

from __future__ import annotations

import concurrent.futures as cf
import os
import pickle
import queue
import signal
import time
import warnings
from collections import deque
from collections.abc import Callable, Sequence
from typing import Any, NamedTuple

from ._shm import dumps
from ._task import Outcome, SweepTask, error_text, run_chunk, timed_out_text

#: Times the Dask task that loads a sweep's inputs is submitted again after
#: the workers running it died (each time a set's worker died beside it).
INPUT_RENEWALS = 5

#: Seconds a cluster task may take beyond its sets' timeouts: a worker to
#: start (after one was killed), the shared inputs to arrive.
MARGIN = 5.0


class _Flight(NamedTuple):
    """A chunk's task in flight: its runs, when it was sent, its seconds allowed (None: no limit)."""

    chunk: list[int]
    sent: float
    limit: float | None


def _flight(chunk: list[int], timeout: float | None) -> _Flight:
    return _Flight(chunk, time.monotonic(), None if timeout is None else timeout * len(chunk) + MARGIN)


def _wait(flying: dict) -> float | None:
    """Seconds to the earliest deadline of the tasks in flight (None: none has one)."""
    due = [f.sent + f.limit for f in flying.values() if f.limit is not None]
    return max(0.0, min(due) - time.monotonic()) if due else None


def _overdue(flying: dict) -> list:
    now = time.monotonic()
    return [key for key, f in flying.items() if f.limit is not None and now >= f.sent + f.limit]


def _fail_chunk(chunk: Sequence[int], text: str, on_outcome: Callable[[int, Outcome], None]) -> None:
    for i in chunk:
        on_outcome(i, (None, text, None))


def drain_futures(
    executor: cf.Executor, task: SweepTask, chunks: Sequence[Sequence[int]], on_outcome: Callable[[int, Outcome], None]
) -> None:
    """Every chunk submitted to `executor`, its outcomes passed on as each completes; a
    chunk that fails as a whole (a broken pool) fails its runs, not the sweep."""
    futures = {executor.submit(run_chunk, task, list(c)): c for c in chunks}
    try:
        for fut in cf.as_completed(futures):
            try:
                results = fut.result()
            except Exception as exc:
                _fail_chunk(futures[fut], error_text(exc), on_outcome)
            else:
                for i, res in results:
                    on_outcome(i, res)
    except BaseException:
        for fut in futures:
            fut.cancel()
        raise


class _Whole:
    """A sweep's task that pickles in one piece, for Dask.

    Dask sends the large buffers of what it pickles beside the pickle and hands
    them over as views of the received message, at whatever offset they landed:
    a price array may come out misaligned, which the engine refuses. Pickled in
    one piece, the arrays are unpickled into memory of their own. The workers
    keep the wrapper, so a worker passing the inputs on to another (a broadcast,
    a replacement worker) pickles them whole again.
    """

    def __init__(self, task: SweepTask) -> None:
        self.task = task

    def __reduce__(self) -> tuple:
        return _whole, (dumps(self.task),)


def _whole(blob: bytes) -> _Whole:
    """The task on a worker, from the pickle `dumps` made."""
    return _Whole(pickle.loads(blob))


def _run_whole(shared: _Whole, runs: Sequence[int]) -> list[tuple[int, Outcome]]:
    return run_chunk(shared.task, runs)


class Dask:
    """Chunks on the current (or given) Dask client, else on a LocalCluster of
    `n_jobs` one-thread workers started here and closed on exit."""

    def __init__(self, n_jobs: int, client: Any = None) -> None:
        try:
            import dask  # noqa: F401
            import distributed  # noqa: F401
        except ImportError:
            raise ImportError(
                "sweep: backend='dask' needs Dask's distributed scheduler: pip install distributed"
            ) from None
        self._n = n_jobs
        self._client = client
        self._owned: tuple | None = None
        self._threads = 0

    def __enter__(self) -> Dask:
        import dask
        import distributed

        if self._client is None:
            try:
                self._client = distributed.get_client()
            except ValueError:
                # One thread per worker: the engine's run holds the interpreter lock in
                # its Python parts. A worker that dies takes its chunk's task to a fresh
                # worker once; a second death fails the task.
                with dask.config.set({"distributed.scheduler.allowed-failures": 1}):
                    cluster = distributed.LocalCluster(
                        n_workers=self._n, threads_per_worker=1, processes=True, dashboard_address=None
                    )
                    self._client = distributed.Client(cluster)
                self._owned = (self._client, cluster)
        threads = [w.get("nthreads", 1) for w in self._client.scheduler_info().get("workers", {}).values()]
        if self._owned is None and any(t > 1 for t in threads):
            warnings.warn(
                "sweep: Dask workers with more than one thread run torvex "
                "backtests one at a time; start them with --nthreads 1 and "
                "more workers",
                RuntimeWarning,
                stacklevel=4,
            )
        self._threads = sum(threads)
        return self

    def __exit__(self, *exc: object) -> None:
        if self._owned is not None:
            self._owned[0].close()
            self._owned[1].close()
            self._owned = None
            self._client = None

    def workers(self) -> int:
        return self._threads or self._n

    def run(self, task: SweepTask, chunks: Sequence[Sequence[int]], on_outcome: Callable[[int, Outcome], None]) -> None:
        import dask
        import distributed

        client = self._client
        timeout = getattr(task, "timeout", None)
        finished: queue.SimpleQueue = queue.SimpleQueue()  # futures, as they finish
        todo = deque(list(c) for c in chunks)
        flying: dict[str, _Flight] = {}
        futures: dict[str, Any] = {}
        # Sets whose task died alone. A task queued on a worker that another
        # task killed counts that death too, so each is tried once more with
        # nothing else in flight, where no other set can kill its worker.
        suspects: deque[int] = deque()
        alone: set[int] = set()
        try:
            # The inputs are a task's result, not scattered data: scattered data is
            # gone with the last worker holding it (a set that kills each worker it
            # lands on), a result is computed again. The scheduler keeps the pickle.
            blob = dumps(task)

            def load() -> Any:
                with dask.config.set({"distributed.admin.large-graph-warning-threshold": 1 << 62}):
                    return client.submit(_whole, blob, pure=False)

            shared = load()
            renewed = 0
            inputs_of: dict[str, Any] = {}
            while todo or flying or suspects:
                # With deadlines, no more tasks than the threads there are now: a
                # task queued behind another would be charged for its wait (and
                # while a stopped worker is replaced there is one thread fewer).
                cap = None if timeout is None else sum(client.nthreads().values())
                if not todo and not flying and suspects:
                    i = suspects.popleft()
                    alone.add(i)
                    todo.append([i])
                while todo and (cap is None or len(flying) < cap):
                    chunk = todo.popleft()
                    fut = client.submit(_run_whole, shared, chunk, pure=False)
                    inputs_of[fut.key] = shared
                    flying[fut.key] = _flight(chunk, timeout)
                    futures[fut.key] = fut
                    fut.add_done_callback(finished.put)
                wait = _wait(flying)
                if todo:  # waiting for a thread: look again soon
                    wait = min(wait, 0.5) if wait is not None else 0.5
                try:
                    fut = finished.get(timeout=wait)
                except queue.Empty:
                    fut = None
                flight = flying.pop(fut.key, None) if fut is not None else None
                if flight is not None:
                    futures.pop(fut.key)
                    used = inputs_of.pop(fut.key)
                    chunk = flight.chunk
                    try:
                        results = fut.result()
                    except distributed.KilledWorker as exc:
                        if used.status == "error" and (used is not shared or renewed < INPUT_RENEWALS):
                            # The inputs' own task was on the workers that died:
                            # the chunk is not to blame; it waits for them anew.
                            if used is shared:
                                renewed += 1
                                shared = load()
                            todo.append(chunk)
                        elif len(chunk) > 1:
                            # One set of the chunk killed its workers: each set alone.
                            todo.extend([i] for i in chunk)
                        elif chunk[0] not in alone:
                            suspects.append(chunk[0])
                        else:
                            _fail_chunk(
                                chunk,
                                f"WorkerDied: the Dask workers running this parameter set died ({exc})",
                                on_outcome,
                            )
                    except Exception as exc:
                        _fail_chunk(chunk, error_text(exc), on_outcome)
                    else:
                        for i, res in results:
                            on_outcome(i, res)
                    fut.release()
                for key in _overdue(flying):
                    if futures[key].done():
                        continue  # it finished in time; its outcome is next in the queue
                    chunk = flying.pop(key).chunk
                    inputs_of.pop(key)
                    self._stop(futures.pop(key))
                    if len(chunk) > 1:
                        todo.extend([i] for i in chunk)
                    else:
                        on_outcome(chunk[0], (None, timed_out_text(timeout or 0.0), None))
        except BaseException:
            if futures:
                client.cancel(list(futures.values()), force=True)
            raise

    def _stop(self, fut: Any) -> None:
        """Cancel `fut` and kill the worker process running it, which its nanny
        replaces: a thread running Python code cannot be stopped."""
        client = self._client
        key = fut.key
        where = [addr for addr, keys in client.processing().items() if key in keys]
        client.cancel([fut], force=True)
        fut.release()
        if not where:
            return  # it had not started, or has just finished
        # The nanny kills it at once (a restart through the nanny first waits
        # seconds for the busy worker to close by itself).
        answers = client.run(_kill_worker, workers=where, nanny=True, on_error="return")
        failed = {addr: a for addr, a in answers.items() if isinstance(a, BaseException)}
        # Until the scheduler has let the killed worker go it may send work there.
        gone = [addr for addr in where if addr not in failed]
        deadline = time.monotonic() + MARGIN
        while gone and time.monotonic() < deadline and any(addr in client.nthreads() for addr in gone):
            time.sleep(0.05)
        if failed:
            warnings.warn(
                f"sweep: the Dask worker {', '.join(failed)} runs a set past its timeout and could not be"
                f" stopped ({'; '.join(error_text(e) for e in failed.values())}); it stays busy with it."
                " Workers started with a nanny (dask worker, LocalCluster) can be stopped",
                RuntimeWarning,
                stacklevel=4,
            )


def _kill_worker(dask_worker: Any) -> None:
    """In a nanny: kill its worker process (the nanny then starts a fresh one)."""
    pid = dask_worker.pid
    if pid is not None:
        os.kill(pid, signal.SIGKILL)


class Ray:
    """Chunks in the current Ray session, else in a local one of `n_jobs` CPUs
    started here and shut down on exit."""

    def __init__(self, n_jobs: int) -> None:
        try:
            import ray  # noqa: F401
        except ImportError:
            raise ImportError("sweep: backend='ray' needs Ray: pip install ray") from None
        self._n = n_jobs
        self._owned = False

    def __enter__(self) -> Ray:
        import ray

        if not ray.is_initialized():
            ray.init(num_cpus=self._n, include_dashboard=False, log_to_driver=True)
            self._owned = True
        return self

    def __exit__(self, *exc: object) -> None:
        import ray

        if self._owned:
            ray.shutdown()
            self._owned = False

    def workers(self) -> int:
        import ray

        return int(ray.cluster_resources().get("CPU", self._n))

    def run(self, task: SweepTask, chunks: Sequence[Sequence[int]], on_outcome: Callable[[int, Outcome], None]) -> None:
        import ray

        timeout = getattr(task, "timeout", None)
        cap = self.workers() if timeout is not None else None
        flying: dict = {}
        try:
            # A worker process that dies re-runs its task once in another; a chunk
            # that still dies is sent again set by set.
            remote = ray.remote(num_cpus=1, max_retries=1)(run_chunk)
            shared = ray.put(task)
            todo = deque(list(c) for c in chunks)
            while todo or flying:
                while todo and (cap is None or len(flying) < cap):
                    chunk = todo.popleft()
                    flying[remote.remote(shared, chunk)] = _flight(chunk, timeout)
                done, _ = ray.wait(list(flying), num_returns=1, timeout=_wait(flying))
                for r in done:
                    chunk = flying.pop(r).chunk
                    try:
                        results = ray.get(r)
                    except (ray.exceptions.WorkerCrashedError, ray.exceptions.NodeDiedError) as exc:
                        if len(chunk) > 1:
                            todo.extend([i] for i in chunk)
                        else:
                            _fail_chunk(
                                chunk,
                                f"WorkerDied: the Ray workers running this parameter set died ({type(exc).__name__})",
                                on_outcome,
                            )
                    except Exception as exc:
                        _fail_chunk(chunk, error_text(exc), on_outcome)
                    else:
                        for i, res in results:
                            on_outcome(i, res)
                late = _overdue(flying)
                finished, _ = ray.wait(late, num_returns=len(late), timeout=0) if late else ([], [])
                for r in late:
                    if r in finished:
                        continue  # it finished in time; the next wait returns it
                    chunk = flying.pop(r).chunk
                    ray.cancel(r, force=True)  # kills the worker process running it
                    if len(chunk) > 1:
                        todo.extend([i] for i in chunk)
                    else:
                        on_outcome(chunk[0], (None, timed_out_text(timeout or 0.0), None))
        except BaseException:
            for r in flying:
                try:
                    ray.cancel(r, force=True)
                except Exception:
                    pass
            raise
