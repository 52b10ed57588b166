"""Small seeded prices shared by the sweep tests, and one cluster per module."""

import os

import pytest

from torvex.datasets import synthetic_universe

from sweep import _sweep_helpers as helpers


@pytest.fixture(scope="session")
def price():
    return synthetic_universe(n_stocks=30, n_bars=400, seed=7)


@pytest.fixture(scope="session")
def top5(price):
    return helpers.momentum(price, 20, 5)


@pytest.fixture(scope="module")
def dask_client():
    distributed = pytest.importorskip("distributed")
    import dask

    # A LocalCluster closes a worker's nanny for good when, a lost-worker
    # timeout after that worker died, no worker of its name is registered: a
    # worker killed again just then (the fault tests kill them one after
    # another) would never come back. Nothing here loses a worker for good.
    with dask.config.set({"distributed.deploy.lost-worker-timeout": "1h"}):
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
        client = distributed.Client(cluster)
        yield client
        client.close()
        cluster.close()


@pytest.fixture(scope="module")
def ray_session():
    ray = pytest.importorskip("ray")
    if os.environ.get("TORVEX_SANITIZER_RUN"):
        # Ray's own C++ services inherit the sanitizer runtime preloaded into
        # this process and at times never finish starting; the Ray backend is
        # covered by the plain test run, and the core under the sanitizers by
        # every other backend.
        pytest.skip("Ray's services under the preloaded sanitizer runtime")
    # Ray's workers do not share this test run's import path: the helpers
    # travel by value.
    ray.cloudpickle.register_pickle_by_value(helpers)
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    yield ray
    ray.shutdown()
