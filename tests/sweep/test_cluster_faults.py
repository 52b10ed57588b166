"""Dask and Ray: a set that kills its worker or hangs fails alone; the others match a serial sweep."""

import pytest

from torvex._sweep import sweep

from sweep import _sweep_helpers as helpers

# 40 sets, the killer in the middle: chunks of five put four healthy sets beside it.
KILLER_GRID = {"lookback": [*range(5, 25), 99, *range(25, 44)]}
HANGING = 9
HANGING_GRID = {"lookback": list(range(5, 11))}


def serial_without(price, grid, bad):
    return sweep(
        helpers.momentum, price, {"lookback": [lb for lb in grid["lookback"] if lb != bad]}, n_jobs=1, progress=False
    )


def assert_fails_alone(res, price, grid, bad, prefix):
    err = res.loc[(bad,), "error"]
    assert err is not None and err.startswith(prefix), err
    others = res.drop(index=[(bad,)])
    assert others["error"].isna().all(), others["error"].dropna().to_dict()
    helpers.assert_same_table(res.drop(index=[(bad,)]), serial_without(price, grid, bad))


@pytest.mark.timeout(120)
def test_dask_gives_every_worker_aligned_prices(price, dask_client):
    # A worker that got the inputs from another (a broadcast) once held the price
    # arrays as views of the message at odd offsets: each of its runs then failed.
    grid = {"lookback": list(range(5, 11))}
    for _ in range(3):
        res = sweep(helpers.momentum, price, grid, backend=dask_client, chunksize=1, progress=False)
        helpers.assert_same_table(res, serial_without(price, grid, None))


@pytest.mark.timeout(300)
def test_dask_a_set_that_kills_its_worker_fails_alone(price, dask_client):
    res = sweep(helpers.dies_on_99, price, KILLER_GRID, backend=dask_client, chunksize=5, progress=False)
    assert_fails_alone(res, price, KILLER_GRID, 99, "WorkerDied")


@pytest.mark.timeout(300)
def test_ray_a_set_that_kills_its_worker_fails_alone(price, ray_session):
    res = sweep(helpers.dies_on_99, price, KILLER_GRID, backend="ray", chunksize=5, progress=False)
    assert_fails_alone(res, price, KILLER_GRID, 99, "WorkerDied")


@pytest.mark.timeout(180)
def test_dask_stops_a_hanging_set_and_runs_the_others(price, dask_client):
    res = sweep(
        helpers.stuck_on,
        price,
        HANGING_GRID,
        backend=dask_client,
        chunksize=3,
        timeout=1,
        progress=False,
        stuck=HANGING,
    )
    assert_fails_alone(res, price, HANGING_GRID, HANGING, "TimedOut: the run took longer than 1 s")
    # the worker that ran it was replaced: the cluster has its two workers again
    deadline_workers = dask_client.wait_for_workers(2, timeout=60)
    assert deadline_workers is None and len(dask_client.scheduler_info()["workers"]) == 2


@pytest.mark.timeout(180)
def test_ray_stops_a_hanging_set_and_runs_the_others(price, ray_session):
    res = sweep(
        helpers.stuck_on, price, HANGING_GRID, backend="ray", chunksize=3, timeout=1, progress=False, stuck=HANGING
    )
    assert_fails_alone(res, price, HANGING_GRID, HANGING, "TimedOut: the run took longer than 1 s")
