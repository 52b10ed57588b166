"""Failed runs, dying workers and Ctrl-C: the sweep reports them and cleans up."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from torvex._sweep import sweep

from sweep import _sweep_helpers as helpers

TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@pytest.mark.parametrize("n_jobs", [1, 2])
def test_a_run_that_raises_is_recorded_and_the_others_go_on(price, n_jobs):
    grid = {"lookback": [10, 13, 20]}
    res = sweep(helpers.fails_on_13, price, grid, n_jobs=n_jobs, progress=False)
    assert res["error"].tolist()[0] is None and res["error"].tolist()[2] is None
    assert res.loc[(13,), "error"] == "ValueError: lookback 13 is unlucky"
    assert res.loc[(13,), "sharpe"] != res.loc[(13,), "sharpe"]  # NaN
    assert res.loc[(10,), "trades"] > 0


def test_a_bad_option_value_is_that_runs_error(top5, price):
    res = sweep(top5, price, {"trade_at": ["close", "midpoint"]}, n_jobs=1, progress=False)
    assert res["error"].iloc[0] is None
    assert "trade_at" in res["error"].iloc[1]


def test_a_worker_that_kills_itself_is_retried_then_reported(price, tmp_path):
    # lookback 99 kills every worker it runs in: tried twice, then recorded;
    # the runs sharing its chunk and the other chunks still come back.
    grid = {"lookback": [10, 99, 20, 30]}
    res, pids = sweep(helpers.dies_on_99, price, grid, n_jobs=2, chunksize=2, keep=helpers.worker_pid, progress=False)
    err = res.loc[(99,), "error"]
    assert err.startswith("WorkerDied") and "SIGKILL" in err and "retried" in err
    assert res.drop(index=[(99,)])["error"].isna().all()
    assert all(helpers.process_gone(p) for p in pids.values() if p is not None)


def test_a_worker_that_dies_once_gets_its_chunk_rerun(price, tmp_path):
    marker = str(tmp_path / "died")
    grid = {"lookback": [10, 99, 20]}
    res = sweep(helpers.dies_on_99, price, grid, n_jobs=2, chunksize=3, progress=False, marker=marker)
    assert os.path.exists(marker)  # it did die once
    assert res["error"].isna().all()
    ref = sweep(helpers.momentum, price, grid, n_jobs=1, progress=False)
    assert res["sharpe"].tolist() == ref["sharpe"].tolist()


def test_no_worker_outlives_the_sweep(top5, price):
    _, pids = sweep(
        top5,
        price,
        {"stop_loss": [0.05, 0.1, 0.2, None]},
        n_jobs=2,
        chunksize=1,
        keep=helpers.worker_pid,
        progress=False,
    )
    assert len(set(pids.values())) >= 1 and os.getpid() not in pids.values()
    assert all(helpers.process_gone(p) for p in pids.values())


def test_ctrl_c_stops_promptly_and_leaves_no_workers(tmp_path):
    piddir = tmp_path / "pids"
    piddir.mkdir()
    script = textwrap.dedent(f"""
        import sys
        sys.path.insert(0, {TESTS!r})
        from torvex.datasets import synthetic_universe
        from torvex._sweep import sweep
        from sweep import _sweep_helpers as helpers

        if __name__ == "__main__":
            price = synthetic_universe(n_stocks=30, n_bars=300, seed=7)
            sweep(helpers.slow, price, {{"lookback": list(range(5, 400))}}, n_jobs=2,
                  chunksize=50, progress=False, piddir={str(piddir)!r})
            print("finished")
    """)
    path = tmp_path / "interrupted.py"
    path.write_text(script)
    # Its own session, signalled as a terminal's Ctrl-C signals its process group.
    proc = subprocess.Popen(
        [sys.executable, str(path)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True
    )
    try:
        deadline = time.monotonic() + 60
        while len(os.listdir(piddir)) < 2 and time.monotonic() < deadline:
            time.sleep(0.05)
        assert len(os.listdir(piddir)) >= 2, "the workers never started"
        os.killpg(proc.pid, signal.SIGINT)
        sent = time.monotonic()
        out, err = proc.communicate(timeout=30)
        took = time.monotonic() - sent
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
    assert "finished" not in out
    assert "KeyboardInterrupt" in err
    assert took < 10  # a run takes 0.25 s; the remaining 390 runs are not waited for
    workers = [int(p) for p in os.listdir(piddir)]
    deadline = time.monotonic() + 5
    while not all(helpers.process_gone(p) for p in workers) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert all(helpers.process_gone(p) for p in workers)


def test_a_run_that_raises_on_a_thread_is_that_runs_error(top5, price):
    res = sweep(top5, price, [{"stop_loss": 0.1}, {"stop_loss": "x"}], backend="threads", n_jobs=2, progress=False)
    assert res["error"].iloc[0] is None and "stop_loss" in res["error"].iloc[1]


def test_an_unknown_backend_lists_the_known_ones(top5, price):
    with pytest.raises(ValueError, match="'threads', 'processes', 'dask', 'ray'"):
        sweep(top5, price, {"stop_loss": [0.1]}, backend="gpu", progress=False)


@pytest.mark.parametrize("backend, module, package", [("dask", "distributed", "distributed"), ("ray", "ray", "ray")])
def test_a_missing_cluster_library_names_its_package(top5, price, monkeypatch, backend, module, package):
    monkeypatch.setitem(sys.modules, module, None)  # import now fails
    with pytest.raises(ImportError, match=f"pip install {package}$"):
        sweep(top5, price, {"stop_loss": [0.1]}, backend=backend, progress=False)


def test_a_kept_value_that_cannot_travel_back_is_that_runs_error(top5, price):
    res, kept = sweep(
        top5,
        price,
        {"stop_loss": [0.05, 0.1]},
        n_jobs=2,
        chunksize=1,
        keep=lambda report: threading.Lock(),
        progress=False,
    )
    assert res["error"].str.startswith("cannot send the result back: TypeError").all()
    # the statistics of those runs still came back
    assert res["trades"].gt(0).all()
    assert list(kept.values()) == [None, None]


def _open_blocks():
    """The shared blocks this process still holds open (they have no name in /dev/shm)."""
    out = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            continue
        if "torvex-sweep-" in target:
            out.append(target)
    return out


@pytest.mark.timeout(120)
def test_an_interrupted_sweep_keeps_what_finished_and_leaves_nothing_behind(price, tmp_path, monkeypatch):
    import multiprocessing

    from torvex._sweep import _api, _shm

    monkeypatch.setattr(_shm, "MIN_BYTES", 1024)  # the prices go to shared blocks
    piddir = tmp_path / "pids"
    piddir.mkdir()

    class Interrupting:
        """A progress bar whose fourth step is a Ctrl-C."""

        def __init__(self, *args):
            self.n = 0

        def update(self, k):
            self.n += k
            if self.n == 4:
                raise KeyboardInterrupt

        def close(self):
            pass

    grid = {"lookback": list(range(5, 25))}
    ref = sweep(helpers.momentum, price, grid, n_jobs=1, progress=False)
    monkeypatch.setattr(_api, "progress_bar", Interrupting)
    # caught by hand: pytest.raises lets KeyboardInterrupt through to end the session
    try:
        sweep(helpers.slow, price, grid, n_jobs=2, chunksize=2, progress=False, piddir=str(piddir), seconds=0.1)
    except KeyboardInterrupt as exc:
        table = exc.results
    else:
        pytest.fail("the sweep was not interrupted")
    assert list(table.index) == [(lb,) for lb in grid["lookback"]]
    done = table["error"].isna()
    assert 3 <= done.sum() < len(table)
    assert table.loc[~done, "error"].str.startswith("Interrupted").all()
    helpers.assert_same_table(table[done], ref[done])
    assert not [p for p in multiprocessing.active_children() if p.name == "torvex-sweep-worker"]
    assert all(helpers.process_gone(int(p)) for p in os.listdir(piddir))
    assert _open_blocks() == []
    assert not [n for n in os.listdir("/dev/shm") if n.startswith("torvex-sweep-")]
