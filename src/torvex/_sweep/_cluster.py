"""The backends that hand a sweep's chunks to futures: Dask, Ray, an executor.

Each ships the shared inputs once (a Dask broadcast, the Ray object store),
submits one task per chunk of run numbers and passes every outcome back as
its chunk completes. A chunk whose worker died is sent again set by set, so
only the set that kills its worker is recorded as failed. Dask and Ray are
imported here only, when asked for.
"""

from __future__ import annotations

import concurrent.futures as cf
import warnings
from collections.abc import Callable, Sequence
from typing import Any

from ._task import Outcome, SweepTask, error_text, run_chunk


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
        import distributed

        client = self._client
        futures: list = []
        todo = [list(c) for c in chunks]
        try:
            # Scattered inputs cannot be recomputed: when every worker holding
            # them has died (a run that kills each worker it lands on), the
            # chunks waiting for them are cancelled. Those are sent once more
            # with the inputs scattered again, set by set.
            for attempt in range(2):
                shared = client.scatter(task, broadcast=True, hash=False)
                futures = [client.submit(run_chunk, shared, c, pure=False) for c in todo]
                chunk_of = {f.key: c for f, c in zip(futures, todo)}
                todo = []
                pending = distributed.as_completed(futures)
                for fut in pending:
                    chunk = chunk_of[fut.key]
                    try:
                        results = fut.result()
                    except distributed.KilledWorker as exc:
                        if len(chunk) > 1:
                            # One set of the chunk killed its workers: each set alone.
                            for i in chunk:
                                f = client.submit(run_chunk, shared, [i], pure=False)
                                chunk_of[f.key] = [i]
                                futures.append(f)
                                pending.add(f)
                        else:
                            _fail_chunk(
                                chunk,
                                f"WorkerDied: the Dask workers running this parameter set died ({exc})",
                                on_outcome,
                            )
                    except cf.CancelledError as exc:
                        if attempt == 0:
                            todo.extend([i] for i in chunk)
                        else:
                            _fail_chunk(chunk, error_text(exc), on_outcome)
                    except Exception as exc:
                        _fail_chunk(chunk, error_text(exc), on_outcome)
                    else:
                        for i, res in results:
                            on_outcome(i, res)
                    fut.release()
                del shared
                if not todo:
                    break
        except BaseException:
            if futures:
                client.cancel(futures, force=True)
            raise


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

        refs: list = []
        try:
            # A worker process that dies re-runs its task once in another; a chunk
            # that still dies is sent again set by set.
            remote = ray.remote(num_cpus=1, max_retries=1)(run_chunk)
            shared = ray.put(task)
            cut = [list(c) for c in chunks]
            refs = [remote.remote(shared, c) for c in cut]
            chunk_of = {r: c for r, c in zip(refs, cut)}
            pending = list(refs)
            while pending:
                done, pending = ray.wait(pending, num_returns=1)
                for r in done:
                    chunk = chunk_of[r]
                    try:
                        results = ray.get(r)
                    except (ray.exceptions.WorkerCrashedError, ray.exceptions.NodeDiedError) as exc:
                        if len(chunk) > 1:
                            for i in chunk:
                                one = remote.remote(shared, [i])
                                chunk_of[one] = [i]
                                refs.append(one)
                                pending.append(one)
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
        except BaseException:
            for r in refs:
                try:
                    ray.cancel(r, force=True)
                except Exception:
                    pass
            raise
