"""The default backend: a pool of worker processes on this machine.

Workers are started from a fork server (a clean process that has imported
torvex and pandas once but never run a backtest), so each starts in a few
milliseconds with no engine state and no threads of the caller inherited;
forking the caller itself could copy a lock held by one of its threads or a
half-finished run. Each worker loads the sweep's inputs once (the arrays map
shared memory) and then runs chunks of run numbers, reporting every run as it
finishes: a worker that dies loses only the run it was in.

With a timeout, the caller knows when each worker's current run began (the
chunk was sent, or the previous run reported): the selector wakes at the
earliest deadline, and a worker past it is killed, its run recorded as timed
out and the rest of its chunk queued for a fresh worker.

Nothing outlives a caller that is killed. The fork server already ends when
its "alive" pipe reaches EOF, that is when every process holding the pipe's
write end has exited; workers inherit a copy, which `end_with_parent` closes,
so the caller alone keeps the server. Each worker asks the kernel for SIGKILL
at its parent's (the fork server's) exit. The fork server itself is not given
that request: it fires when the *thread* that started the process exits, and
a sweep run from a short-lived thread would take the server, and the workers
of a sweep running in another thread, with it. The resource tracker ends when
all of them are gone. A worker whose parent ended before it made the request
has a closed pipe to the caller and ends at its first message.
"""

from __future__ import annotations

import ctypes
import multiprocessing
import os
import selectors
import signal
import sys
import threading
import time
from collections import deque
from collections.abc import Callable, Sequence

from ._shm import SharedArena
from ._task import Outcome, SweepTask, timed_out_text, worker_main

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
    "torvex._sweep._local",
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
        self.proc = ctx.Process(target=_worker, args=(child, payload), daemon=True, name="torvex-sweep-worker")
        self.proc.start()
        child.close()
        self.chunk: deque[int] | None = None
        self.ready = False
        self.started = 0.0  # when its current run began: the chunk was sent or the previous run reported


def _worker(conn, payload: bytes) -> None:
    """A pool worker: first tied to its parent's life, then the sweep's work."""
    end_with_parent()
    worker_main(conn, payload)


def end_with_parent() -> None:
    """Make this worker end when the fork server that forked it ends.

    The fork server ends when the caller does (the caller holds the only write
    end of the server's "alive" pipe once the worker has closed its inherited
    copy), so a caller killed by SIGKILL leaves no worker running a long run:
    on Linux the kernel sends SIGKILL at the parent's exit (PR_SET_PDEATHSIG);
    elsewhere a daemon thread watches the parent's pid. An idle worker also ends
    at the EOF of its pipe to the caller.
    """
    parent = os.getppid()
    try:
        from multiprocessing import forkserver

        server = forkserver._forkserver
        alive = getattr(server, "_forkserver_alive_fd", None)
        if alive is not None:
            # Inherited so that a fork server child can fork further; a worker
            # never does, and its copy would keep the fork server (and so
            # this worker) alive after the caller is gone.
            os.close(alive)
            server._forkserver_alive_fd = None  # type: ignore[attr-defined]
    except (ImportError, AttributeError, OSError):  # pragma: no cover - another multiprocessing
        pass
    if PDEATHSIG:
        try:
            libc = ctypes.CDLL(None, use_errno=True)
            armed = libc.prctl(_PR_SET_PDEATHSIG, int(signal.SIGKILL), 0, 0, 0) == 0
        except (OSError, AttributeError):  # pragma: no cover - no prctl in this libc
            armed = False
        if armed:
            if os.getppid() != parent:  # the parent ended before the request took effect
                os._exit(1)
            return
    threading.Thread(target=_watch_parent, args=(parent,), daemon=True, name="torvex-parent-watch").start()


_PR_SET_PDEATHSIG = 1
PDEATHSIG = sys.platform.startswith("linux")  # the kernel can end a process with its parent
PARENT_POLL = 0.5  # seconds between looks at the parent's pid where the kernel cannot be asked


def _watch_parent(parent: int) -> None:
    while os.getppid() == parent:
        time.sleep(PARENT_POLL)
    os._exit(1)


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
    (in this process) once per run.

    With ``task.timeout``, a worker whose current run has taken longer is
    killed: that run is recorded as timed out (it is not retried), the rest
    of its chunk goes back to the queue and a fresh worker takes its place.
    """
    timeout = getattr(task, "timeout", None)
    arena = SharedArena()
    workers: list[_Worker] = []
    # One selector for the whole sweep: a worker's pipe says it reported,
    # its sentinel that it exited; its timeout wakes the loop at the
    # earliest deadline of a running run.
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

        def retire(w: _Worker) -> None:
            sel.unregister(w.conn.fileno())
            sel.unregister(w.proc.sentinel)
            w.conn.close()
            workers.remove(w)
            if queue and len(workers) < n_workers:
                start()

        def assign(w: _Worker) -> None:
            if queue:
                w.chunk = queue.popleft()
                msg: list[int] | None = list(w.chunk)
            else:
                w.chunk = None
                msg = None
            w.started = time.monotonic()
            try:
                w.conn.send(msg)
            except OSError:
                # It has died: its sentinel tells, and the chunk it never got
                # goes back uncharged.
                if w.chunk:
                    queue.appendleft(w.chunk)
                w.chunk = None

        def receive(w: _Worker, live: bool) -> bool:
            """Handle every message waiting in `w`'s pipe (a report may be
            followed by its next run's); False once the pipe is closed.
            `live`: `w` may be given work."""
            while True:
                try:
                    if not w.conn.poll():
                        return True
                    msg = w.conn.recv()
                except (EOFError, OSError):
                    return False
                kind = msg[0]
                if kind == "run":
                    i = msg[1]
                    if w.chunk and w.chunk[0] == i:
                        w.chunk.popleft()
                    w.started = time.monotonic()
                    on_outcome(i, msg[2])
                elif kind == "ready":
                    w.ready = True
                    if live:
                        assign(w)
                elif kind == "done":
                    if live:
                        assign(w)
                elif kind == "fatal":
                    raise RuntimeError(
                        "sweep: a worker process could not load the "
                        "sweep's inputs (position, price and options must "
                        "be picklable, a position function importable or "
                        "defined in the main script):\n" + msg[1]
                    )

        def died(w: _Worker) -> None:
            nonlocal startup_deaths
            w.proc.join()
            receive(w, live=False)  # what it reported before it went
            rest = w.chunk or deque()
            if not w.ready:
                startup_deaths += 1
                if startup_deaths > 2 * n_workers:
                    raise RuntimeError(f"sweep: worker processes die as they start ({_death_text(w.proc.exitcode)})")
            if rest:
                blamed = rest[0]
                deaths[blamed] = deaths.get(blamed, 0) + 1
                if deaths[blamed] >= ATTEMPTS:
                    rest.popleft()
                    on_outcome(blamed, (None, _death_text(w.proc.exitcode), None))
                if rest:
                    queue.appendleft(rest)
            retire(w)

        def overdue(w: _Worker) -> None:
            """Stop `w`, whose current run has passed its deadline."""
            assert timeout is not None and w.chunk
            if not receive(w, live=True):
                return  # it has died: its sentinel tells
            if not w.chunk or time.monotonic() < w.started + timeout:
                return  # it reported in the meantime
            late = w.chunk[0]
            w.proc.kill()
            w.proc.join()
            receive(w, live=False)  # a report sent before the kill still counts
            rest = w.chunk or deque()
            if rest and rest[0] == late:
                rest.popleft()
                on_outcome(late, (None, timed_out_text(timeout), None))
            if rest:
                queue.appendleft(rest)
            w.chunk = None
            retire(w)

        for _ in range(n_workers):
            start()

        while queue or any(w.chunk for w in workers):
            wait = None
            if timeout is not None:
                due = [w.started + timeout for w in workers if w.chunk]
                if due:
                    wait = max(0.0, min(due) - time.monotonic())
            for key, _ in sel.select(wait):
                w = key.data
                if w not in workers:
                    continue  # already replaced in this round
                if key.fd == w.proc.sentinel or not receive(w, live=True):
                    died(w)
            if timeout is not None:
                now = time.monotonic()
                for w in list(workers):
                    if w in workers and w.chunk and now >= w.started + timeout:
                        overdue(w)
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
