"""The default backend: a pool of worker processes on this machine.

Workers are started from a fork server (a clean process that has imported
torvex and pandas once but never run a backtest), so each starts in a few
milliseconds with no engine state and no threads of the caller inherited;
forking the caller itself could copy a lock held by one of its threads or a
half-finished run. Each worker loads the sweep's inputs once (the arrays map
shared memory) and then runs chunks of run numbers, reporting every run as it
finishes: a worker that dies loses only the run it was in.
"""

from __future__ import annotations

import multiprocessing
import selectors
import signal
from collections import deque
from collections.abc import Callable, Sequence

from ._shm import SharedArena
from ._task import Outcome, SweepTask, worker_main

# What a worker needs for its first run, imported once in the fork server
# (pandas' string columns load pyarrow's pandas layer on first unpickling).
PRELOAD = [
    "__main__",
    "numpy",
    "pandas",
    "pyarrow.pandas_compat",
    "cloudpickle",
    "torvex._backtest",
    "torvex.report",
    "torvex.core.pathsim",
    "torvex._runlog",
    "torvex._sweep._task",
]
# How many times a run may be in a worker that died before it is recorded
# as failed: its chunk is retried once in a fresh worker.
ATTEMPTS = 2


def _context():
    ctx = multiprocessing.get_context("forkserver")
    ctx.set_forkserver_preload(PRELOAD)
    return ctx


def _death_text(exitcode: int | None) -> str:
    if exitcode is not None and exitcode < 0:
        try:
            how = f"killed by {signal.Signals(-exitcode).name}"
        except ValueError:
            how = f"killed by signal {-exitcode}"
    else:
        how = f"exit status {exitcode}"
    return (
        f"WorkerDied: the worker process running this parameter set died ({how}), "
        "also when the set was retried in a fresh worker"
    )


class _Worker:
    def __init__(self, ctx, payload: bytes) -> None:
        self.conn, child = ctx.Pipe(duplex=True)
        self.proc = ctx.Process(target=worker_main, args=(child, payload), daemon=True, name="torvex-sweep-worker")
        self.proc.start()
        child.close()
        self.chunk: deque[int] | None = None
        self.ready = False


def _stop(workers: Sequence[_Worker], grace: float, asked: bool = False) -> None:
    """End `workers`: at once, or (`asked`: they were told to stop) after
    `grace` seconds for them to exit by themselves."""
    if not asked:
        for w in workers:
            if w.proc.is_alive():
                w.proc.terminate()
    for w in workers:
        w.proc.join(grace)
        if w.proc.exitcode is None:
            w.proc.terminate()
            w.proc.join(1.0)
        if w.proc.exitcode is None:
            w.proc.kill()
            w.proc.join()
        w.conn.close()


def run_local(
    task: SweepTask, chunks: Sequence[Sequence[int]], n_workers: int, on_outcome: Callable[[int, Outcome], None]
) -> None:
    """Run every chunk on `n_workers` local processes, calling `on_outcome`
    (in this process) once per run."""
    arena = SharedArena()
    workers: list[_Worker] = []
    # One selector for the whole sweep: a worker's pipe says it reported,
    # its sentinel that it exited.
    sel = selectors.DefaultSelector()
    try:
        payload = arena.dumps(task)
        ctx = _context()
        queue: deque[deque[int]] = deque(deque(c) for c in chunks if len(c))
        deaths: dict[int, int] = {}
        startup_deaths = 0
        n_workers = max(1, min(n_workers, len(queue)))

        def start() -> None:
            w = _Worker(ctx, payload)
            workers.append(w)
            sel.register(w.conn.fileno(), selectors.EVENT_READ, w)
            sel.register(w.proc.sentinel, selectors.EVENT_READ, w)

        for _ in range(n_workers):
            start()

        def assign(w: _Worker) -> None:
            if queue:
                w.chunk = queue.popleft()
                w.conn.send(list(w.chunk))
            else:
                w.chunk = None
                w.conn.send(None)

        while queue or any(w.chunk for w in workers):
            for key, _ in sel.select():
                w = key.data
                if w not in workers:
                    continue  # already replaced in this round
                dead = key.fd == w.proc.sentinel
                # A readable pipe holds at least one message (the selector
                # comes back for the next); after an exit, all it still holds.
                first = not dead
                while True:
                    try:
                        if not first and not w.conn.poll():
                            break
                        first = False
                        msg = w.conn.recv()
                    except (EOFError, OSError):
                        dead = True
                        break
                    kind = msg[0]
                    if kind == "run":
                        i = msg[1]
                        if w.chunk and w.chunk[0] == i:
                            w.chunk.popleft()
                        on_outcome(i, msg[2])
                    elif kind == "ready":
                        w.ready = True
                        assign(w)
                    elif kind == "done":
                        assign(w)
                    elif kind == "fatal":
                        raise RuntimeError(
                            "sweep: a worker process could not load the "
                            "sweep's inputs (position, price and options must "
                            "be picklable, a position function importable or "
                            "defined in the main script):\n" + msg[1]
                        )
                    if not dead:
                        break
                if not dead:
                    continue
                w.proc.join()
                rest = w.chunk or deque()
                if not w.ready:
                    startup_deaths += 1
                    if startup_deaths > 2 * n_workers:
                        raise RuntimeError(
                            f"sweep: worker processes die as they start ({_death_text(w.proc.exitcode)})"
                        )
                if rest:
                    blamed = rest[0]
                    deaths[blamed] = deaths.get(blamed, 0) + 1
                    if deaths[blamed] >= ATTEMPTS:
                        rest.popleft()
                        on_outcome(blamed, (None, _death_text(w.proc.exitcode), None))
                    if rest:
                        queue.appendleft(rest)
                sel.unregister(w.conn.fileno())
                sel.unregister(w.proc.sentinel)
                w.conn.close()
                workers.remove(w)
                if queue and len(workers) < n_workers:
                    start()
        for w in workers:
            if w.chunk is None and w.ready:
                continue
            try:
                w.conn.send(None)
            except OSError:
                pass
        _stop(workers, grace=2.0, asked=True)
        workers = []
    finally:
        # Ctrl-C or an error: the workers go at once, their shared blocks too.
        _stop(workers, grace=1.0)
        sel.close()
        arena.close()
