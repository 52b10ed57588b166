"""One sweep's work as a picklable object: the shared inputs and `run_chunk`."""

from __future__ import annotations

import signal
import threading
import traceback
from collections.abc import Callable, Mapping, Sequence
from typing import Any

from ..report import STAT_NAMES
from ._grid import route_of

# A run's outcome: ((stats names, stats values, (kind, first text) of each kind of note) or None,
# error text or None, kept value).
Outcome = tuple[tuple | None, str | None, Any]

_INPUTS_LOCK = threading.Lock()


def error_text(exc: BaseException) -> str:
    text = str(exc)
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def timed_out_text(timeout: float) -> str:
    """The error of a run stopped after `timeout` seconds."""
    return f"TimedOut: the run took longer than {timeout:g} s; its worker was stopped"


class SweepTask:
    """Everything every run of a sweep shares, and the runs' parameter sets.

    One instance is shipped once to each worker (through shared memory, a
    Dask broadcast or the Ray object store); tasks then name runs by number,
    so a chunk of work is a short list of integers.
    """

    def __init__(
        self,
        position: Any,
        price: Any,
        fixed: Mapping[str, Any],
        sets: Sequence[Mapping[str, Any]],
        signal_keys: set[str],
        stats_options: Mapping[str, Any],
        keep: Any,
        timeout: float | None = None,
    ) -> None:
        self.position = position
        self.price = price
        self.fixed = dict(fixed)
        self.sets = list(sets)
        self.signal_keys = frozenset(signal_keys)
        self.stats_options = dict(stats_options)
        self.keep = keep
        #: Seconds a run may take before the backend stops it (None: no limit).
        self.timeout = timeout
        self._signal_cache: tuple | None = None
        self._signal_lock = threading.Lock()  # one thread computes a set of weights (per task)
        self._inputs: Any = None  # the conversions of the inputs its runs share (made on first use)

    def __getstate__(self) -> dict:
        state = self.__dict__.copy()
        state["_signal_cache"] = None
        state["_inputs"] = None
        del state["_signal_lock"]
        return state

    def __setstate__(self, state: dict) -> None:
        self.__dict__.update(state)
        self._signal_lock = threading.Lock()

    def inputs(self) -> Any:
        """The cache of converted inputs of this task's runs, shared by the threads of a process."""
        if self._inputs is None:
            from .._backtest import InputsCache

            with _INPUTS_LOCK:
                if self._inputs is None:
                    self._inputs = InputsCache()
        return self._inputs

    def _position_for(self, params: Mapping[str, Any]) -> Any:
        if not callable(self.position):
            return self.position
        sig = {route_of(k)[1]: v for k, v in params.items() if k in self.signal_keys}
        sig.update((route_of(k)[1], v) for k, v in self.fixed.items() if k in self.signal_keys)
        # Neighbouring runs of a grid mostly differ in trading options only;
        # the weights of the last signal parameters are reused for them.
        key = tuple(sorted((k, v if _hashable(v) else id(v)) for k, v in sig.items()))
        cached = self._signal_cache
        if cached is not None and cached[0] == key:
            return cached[1]
        # One thread computes them while the others of the same parameters wait: the function
        # holds the interpreter lock anyway, and the same weights object lets their runs share
        # one conversion.
        with self._signal_lock:
            cached = self._signal_cache
            if cached is not None and cached[0] == key:
                return cached[1]
            weights = self.position(self.price, **sig)
            self._signal_cache = (key, weights)
        return weights

    def run_one(self, i: int) -> Outcome:
        """Run parameter set `i`: its stats, or the error it raised."""
        from .._backtest import run_backtest
        from .._options import defaults

        params = self.sets[i]
        try:
            position = self._position_for(params)
            options = {route_of(k)[1]: v for k, v in self.fixed.items() if k not in self.signal_keys}
            options.update((route_of(k)[1], v) for k, v in params.items() if k not in self.signal_keys)
            # The run's notes stay in its report.warnings; the sweep issues one summary of them.
            report = run_backtest(defaults(position=position, price=self.price, **options), self.inputs())
            stats = report._stat_values(**self.stats_options)
            kept: Any
            if self.keep == "reports":
                kept = report
            elif self.keep == "returns":
                kept = report.returns
            elif callable(self.keep):
                kept = self.keep(report)
            else:
                kept = None
        except Exception as exc:  # one run's failure is that run's result
            return None, error_text(exc), None
        first: dict[str, str] = {}
        for kind, text in report._run.notes:
            first.setdefault(kind, text)
        return (STAT_NAMES, tuple(stats.tolist()), tuple(first.items())), None, kept

    def run_chunk(
        self, runs: Sequence[int], emit: Callable[[int, Outcome], None] | None = None
    ) -> list[tuple[int, Outcome]]:
        """Run the parameter sets numbered `runs` in order.

        `emit`, when given, receives each outcome as soon as it is known and
        nothing is returned (the local pool streams them, so a worker that
        dies loses only the run it was in).
        """
        out = []
        for i in runs:
            res = self.run_one(i)
            if emit is not None:
                emit(i, res)
            else:
                out.append((i, res))
        return out


def _hashable(v: Any) -> bool:
    try:
        hash(v)
    except TypeError:
        return False
    return True


def run_chunk(task: SweepTask, runs: Sequence[int]) -> list[tuple[int, Outcome]]:
    """The unit of work of every backend: `task`'s runs numbered `runs`."""
    return task.run_chunk(runs)


# ----------------------------------------------------------- local workers


def worker_main(conn, payload: bytes) -> None:
    """Body of a local pool worker: load the inputs once, then run chunks.

    Messages to the caller: ("ready",), ("run", i, outcome) per run,
    ("done",) after each chunk, ("fatal", text) if the inputs cannot be
    loaded. Ctrl-C is the caller's to handle: it ends the workers itself.
    """
    import pickle

    signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        task = pickle.loads(payload)
    except BaseException:
        conn.send(("fatal", traceback.format_exc()))
        return
    del payload
    conn.send(("ready",))

    def emit(i, res):
        try:
            conn.send(("run", i, res))
        except (TypeError, AttributeError, pickle.PicklingError) as exc:
            # a kept value that cannot travel back is that run's error
            conn.send(("run", i, (res[0], "cannot send the result back: " + error_text(exc), None)))

    while True:
        try:
            msg = conn.recv()
        except EOFError:
            return
        if msg is None:
            return
        task.run_chunk(msg, emit)
        conn.send(("done",))
