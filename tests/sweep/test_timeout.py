"""timeout=: a run past it is stopped and recorded, the other runs go on."""

import concurrent.futures as cf
import os

import pytest

from torvex._sweep import sweep

from sweep import _sweep_helpers as helpers

LOOKBACKS = list(range(5, 17))
STUCK = 9


def healthy_reference(price, lookbacks):
    return sweep(
        helpers.momentum, price, {"lookback": [lb for lb in lookbacks if lb != STUCK]}, n_jobs=1, progress=False
    )


def assert_only_the_stuck_set_timed_out(res, price, lookbacks, timeout):
    err = res.loc[(STUCK,), "error"]
    assert err.startswith("TimedOut: ") and f"{timeout:g} s" in err, err
    helpers.assert_same_table(res.drop(index=[(STUCK,)]), healthy_reference(price, lookbacks))


@pytest.mark.timeout(120)
def test_a_stuck_run_is_stopped_and_the_rest_of_its_chunk_runs_in_a_fresh_worker(price, tmp_path):
    marker = tmp_path / "stuck"
    # Chunks [5..8], [9..12], [13..16]: the set that hangs opens the second.
    res, pids = sweep(
        helpers.stuck_on,
        price,
        {"lookback": LOOKBACKS},
        n_jobs=2,
        chunksize=4,
        timeout=2,
        keep=helpers.worker_pid,
        progress=False,
        stuck=STUCK,
        marker=str(marker),
    )
    assert_only_the_stuck_set_timed_out(res, price, LOOKBACKS, 2)
    stuck_pid = int(marker.read_text())
    assert helpers.process_gone(stuck_pid)
    assert pids[(STUCK,)] is None
    # the sets after it in its chunk ran, in another worker
    assert all(pids[(lb,)] not in (None, stuck_pid) for lb in (10, 11, 12))


@pytest.mark.timeout(120)
def test_with_one_job_a_timeout_runs_the_sets_in_a_worker_process(price):
    lookbacks = [5, STUCK, 13]
    res, pids = sweep(
        helpers.stuck_on,
        price,
        {"lookback": lookbacks},
        n_jobs=1,
        timeout=2,
        keep=helpers.worker_pid,
        progress=False,
        stuck=STUCK,
    )
    assert_only_the_stuck_set_timed_out(res, price, lookbacks, 2)
    assert all(p is not None and p != os.getpid() for k, p in pids.items() if k != (STUCK,))


def test_a_timeout_without_one_leaves_the_results_as_they_are(top5, price):
    grid = {"stop_loss": [0.05, None]}
    helpers.assert_same_table(
        sweep(top5, price, grid, n_jobs=2, timeout=300, progress=False),
        sweep(top5, price, grid, n_jobs=1, progress=False),
    )


@pytest.mark.parametrize(
    "make, found",
    [
        (lambda: "threads", "'threads'"),
        (lambda: cf.ThreadPoolExecutor(1), "a ThreadPoolExecutor"),
        (lambda: cf.ProcessPoolExecutor(1), "a ProcessPoolExecutor"),
    ],
    ids=["threads", "thread-pool", "process-pool"],
)
def test_backends_that_cannot_stop_a_run_refuse_a_timeout(top5, price, make, found):
    backend = make()
    try:
        with pytest.raises(
            ValueError, match=rf"^timeout: .*found {found}, whose runs cannot be stopped; use backend='processes'"
        ):
            sweep(top5, price, {"stop_loss": [0.1]}, backend=backend, timeout=5, progress=False)
    finally:
        if isinstance(backend, cf.Executor):
            backend.shutdown()


@pytest.mark.parametrize("timeout", [0, -1.0, float("nan"), float("inf"), "5", True])
def test_a_timeout_must_be_a_positive_number_of_seconds(top5, price, timeout):
    with pytest.raises(ValueError, match=r"^timeout: expected a positive number of seconds or None, found "):
        sweep(top5, price, {"stop_loss": [0.1]}, n_jobs=1, timeout=timeout, progress=False)
