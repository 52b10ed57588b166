"""A caller killed in the middle of a sweep leaves no process and no shared block behind."""

import contextlib
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from sweep import _sweep_helpers as helpers

TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

SCRIPT = """
import sys
sys.path.insert(0, {tests!r})
from torvex.datasets import synthetic_universe
from torvex._sweep import _local, _shm, sweep
from sweep import _sweep_helpers as helpers

# Module level: the fork server imports this script too, and its workers
# inherit what it set.
_shm.MIN_BYTES = 1024  # the small prices count as large: they go to shared blocks
if {mode!r} == "files":
    _shm._shm_room = lambda nbytes: False  # /dev/shm "full": temporary files
elif {mode!r} == "portable":
    # what systems without /proc or PR_SET_PDEATHSIG get: named blocks the
    # resource tracker removes, workers that watch their parent's pid
    _shm.BY_DESCRIPTOR = False
    _local.PDEATHSIG = False

if __name__ == "__main__":
    price = synthetic_universe(n_stocks=30, n_bars=300, seed=7)
    sweep(helpers.slow, price, {{"lookback": list(range(5, 45))}}, n_jobs=2, chunksize=4,
          progress=False, piddir={piddir!r}, seconds=60)
    print("finished")
"""


def children(pid):
    """Pids of the processes whose parent is `pid`."""
    out = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    ppid = int(f.read().rsplit(")", 1)[1].split()[1])
            except (FileNotFoundError, ProcessLookupError, IndexError, ValueError):
                continue
            if ppid == pid:
                out.append(int(entry))
    return out


def descendants(pid):
    out, todo = [], [pid]
    while todo:
        kids = children(todo.pop())
        out.extend(kids)
        todo.extend(kids)
    return out


def mapped_blocks(pid):
    """Paths of the shared blocks and temporary files process `pid` maps."""
    paths = set()
    with open(f"/proc/{pid}/maps") as f:
        for line in f:
            fields = line.split(maxsplit=5)
            if len(fields) == 6 and ("torvex-sweep-" in fields[5] or fields[5].startswith("/dev/shm/")):
                paths.add(fields[5].strip().removesuffix(" (deleted)"))
    return paths


@pytest.mark.skipif(not os.path.isdir("/proc/self"), reason="reads processes from /proc")
@pytest.mark.timeout(120)
@pytest.mark.parametrize(
    "how, mode",
    [(signal.SIGKILL, "shm"), (signal.SIGTERM, "files"), (signal.SIGKILL, "portable")],
    ids=["SIGKILL-shm", "SIGTERM-temporary-files", "SIGKILL-named-blocks-and-pid-watch"],
)
def test_a_killed_caller_leaves_no_worker_fork_server_tracker_or_block(tmp_path, how, mode):
    piddir = tmp_path / "pids"
    piddir.mkdir()
    path = tmp_path / "caller.py"
    path.write_text(textwrap.dedent(SCRIPT.format(tests=TESTS, mode=mode, piddir=str(piddir))))
    proc = subprocess.Popen(
        [sys.executable, str(path)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True
    )
    try:
        deadline = time.monotonic() + 60
        while len(os.listdir(piddir)) < 2 and time.monotonic() < deadline and proc.poll() is None:
            time.sleep(0.05)
        assert len(os.listdir(piddir)) >= 2, "the workers never started: " + (proc.stderr.read() if proc.poll() else "")
        workers = [int(p) for p in os.listdir(piddir)]
        left = descendants(proc.pid)  # the resource tracker, the fork server, the workers
        assert set(workers) <= set(left) and len(left) >= 4, (workers, left)
        blocks = set().union(*(mapped_blocks(w) for w in workers))
        assert blocks, "the workers map no shared block"
        if mode == "portable":
            assert all(b.startswith("/dev/shm/psm_") for b in blocks), blocks
        else:
            assert not any(os.path.exists(b) for b in blocks), "a block still has a name"

        os.kill(proc.pid, how)
        proc.wait(timeout=30)
    finally:
        if proc.poll() is None:  # the test failed before the kill: end it all
            rest = descendants(proc.pid)
            proc.kill()
            proc.wait()
            for p in rest:
                with contextlib.suppress(ProcessLookupError):
                    os.kill(p, signal.SIGKILL)
        proc.stdout.close()
        proc.stderr.close()
    assert proc.returncode == -how

    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        if all(helpers.process_gone(p) for p in left) and not any(os.path.exists(b) for b in blocks):
            break
        time.sleep(0.1)
    stayed = [p for p in left if not helpers.process_gone(p)]
    for p in stayed:  # not to burden the rest of the run
        with contextlib.suppress(ProcessLookupError):
            os.kill(p, signal.SIGKILL)
    assert stayed == []
    assert [b for b in blocks if os.path.exists(b)] == []
