"""Adapters that hand a sweep's chunks to Dask, Ray or a caller's executor.

Each ships the shared inputs once (a Dask broadcast, the Ray object store),
submits one task per chunk of run numbers and passes every outcome back as
its chunk completes. Dask and Ray are imported here only, when asked for.
"""

from __future__ import annotations

import concurrent.futures as cf
import warnings
from collections.abc import Callable, Sequence

from ._task import Outcome, SweepTask, error_text, run_chunk


def _fail_chunk(chunk: Sequence[int], text: str, on_outcome: Callable[[int, Outcome], None]) -> None:
    for i in chunk:
        on_outcome(i, (None, text, None))


def run_dask(
    task: SweepTask,
    chunks: Callable[[int], list[list[int]]],
    n_jobs: int,
    on_outcome: Callable[[int, Outcome], None],
    client=None,
) -> None:
    """Chunks of `task` on the current (or given) Dask client, else on a
    LocalCluster of `n_jobs` one-thread workers started and closed here;
    `chunks(workers)` cuts the runs for the cluster's number of threads."""
    try:
        import dask
        import distributed
    except ImportError:
        raise ImportError("sweep: backend='dask' needs Dask's distributed scheduler: pip install distributed") from None
    owned = None
    if client is None:
        try:
            client = distributed.get_client()
        except ValueError:
            # One thread per worker: the engine runs one backtest at a time
            # per process. A worker that dies takes its chunk's task to a
            # fresh worker once; a second death fails the task.
            with dask.config.set({"distributed.scheduler.allowed-failures": 1}):
                cluster = distributed.LocalCluster(
                    n_workers=n_jobs, threads_per_worker=1, processes=True, dashboard_address=None
                )
                client = distributed.Client(cluster)
            owned = (client, cluster)
    threads = [w.get("nthreads", 1) for w in client.scheduler_info().get("workers", {}).values()]
    if owned is None:
        if any(t > 1 for t in threads):
            warnings.warn(
                "sweep: Dask workers with more than one thread run torvex "
                "backtests one at a time; start them with --nthreads 1 and "
                "more workers",
                RuntimeWarning,
                stacklevel=3,
            )
    futures = []
    try:
        todo = chunks(sum(threads) or n_jobs)
        # Scattered inputs cannot be recomputed: when every worker holding
        # them has died (a run that kills each worker it lands on), the
        # chunks waiting for them are cancelled. Those are sent once more
        # with the inputs scattered again.
        for attempt in range(2):
            shared = client.scatter(task, broadcast=True, hash=False)
            futures = [client.submit(run_chunk, shared, c, pure=False) for c in todo]
            chunk_of = {f.key: c for f, c in zip(futures, todo)}
            todo = []
            for fut in distributed.as_completed(futures):
                try:
                    results = fut.result()
                except distributed.KilledWorker as exc:
                    _fail_chunk(
                        chunk_of[fut.key],
                        f"WorkerDied: the Dask workers running this parameter set died ({exc})",
                        on_outcome,
                    )
                except cf.CancelledError as exc:
                    if attempt == 0:
                        todo.append(chunk_of[fut.key])
                    else:
                        _fail_chunk(chunk_of[fut.key], error_text(exc), on_outcome)
                except Exception as exc:
                    _fail_chunk(chunk_of[fut.key], error_text(exc), on_outcome)
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
    finally:
        if owned is not None:
            owned[0].close()
            owned[1].close()


def run_ray(
    task: SweepTask, chunks: Callable[[int], list[list[int]]], n_jobs: int, on_outcome: Callable[[int, Outcome], None]
) -> None:
    """Chunks of `task` in the current Ray session, else in a local one of
    `n_jobs` CPUs started and shut down here."""
    try:
        import ray
    except ImportError:
        raise ImportError("sweep: backend='ray' needs Ray: pip install ray") from None
    owned = False
    if not ray.is_initialized():
        ray.init(num_cpus=n_jobs, include_dashboard=False, log_to_driver=True)
        owned = True
    refs = []
    try:
        # A worker process that dies re-runs its task once in another.
        remote = ray.remote(num_cpus=1, max_retries=1)(run_chunk)
        shared = ray.put(task)
        cut = chunks(int(ray.cluster_resources().get("CPU", n_jobs)))
        refs = [remote.remote(shared, c) for c in cut]
        chunk_of = {r: c for r, c in zip(refs, cut)}
        pending = list(refs)
        while pending:
            done, pending = ray.wait(pending, num_returns=1)
            for r in done:
                try:
                    results = ray.get(r)
                except (ray.exceptions.WorkerCrashedError, ray.exceptions.NodeDiedError) as exc:
                    _fail_chunk(
                        chunk_of[r],
                        f"WorkerDied: the Ray workers running this parameter set died ({type(exc).__name__})",
                        on_outcome,
                    )
                except Exception as exc:
                    _fail_chunk(chunk_of[r], error_text(exc), on_outcome)
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
    finally:
        if owned:
            ray.shutdown()


def run_executor(
    task: SweepTask, chunks: Sequence[Sequence[int]], executor: cf.Executor, on_outcome: Callable[[int, Outcome], None]
) -> None:
    futures = {executor.submit(run_chunk, task, list(c)): c for c in chunks}
    try:
        for fut in cf.as_completed(futures):
            try:
                results = fut.result()
            except Exception as exc:  # a broken pool fails its chunks, not the sweep
                _fail_chunk(futures[fut], error_text(exc), on_outcome)
            else:
                for i, res in results:
                    on_outcome(i, res)
    except BaseException:
        for fut in futures:
            fut.cancel()
        raise
