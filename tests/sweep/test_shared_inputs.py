"""The price arrays are shared by the local workers, not copied into each."""

import concurrent.futures as cf
import multiprocessing

import pytest

from torvex.datasets import synthetic_universe
from torvex._sweep import sweep

from sweep import _sweep_helpers as helpers

MIB = 2**20


@pytest.fixture(scope="module")
def big():
    # 2,000 bars x 1,500 stocks: 22.9 MiB of prices and 2.9 MiB of booleans
    price = synthetic_universe(n_stocks=1500, n_bars=2000, seed=3)
    return price, helpers.momentum(price, 20, 20)


def test_workers_map_the_prices_instead_of_holding_copies(big):
    price, top = big
    shared = price.to_numpy().nbytes + top.to_numpy().nbytes
    grid = {"stop_loss": [0.05, 0.1, 0.15, 0.2]}
    _, local = sweep(top, price, grid, n_jobs=2, chunksize=1, keep=helpers.worker_memory, progress=False, resample="ME")
    # The same runs in a pool that receives its inputs by pickle: each worker
    # holds private copies.
    ctx = multiprocessing.get_context("forkserver")
    with cf.ProcessPoolExecutor(2, mp_context=ctx) as ex:
        _, pickled = sweep(
            top, price, grid, backend=ex, chunksize=1, keep=helpers.worker_memory, progress=False, resample="ME"
        )
    for m in local.values():
        # every page of the shared blocks is mapped from shared memory ...
        assert m["RssShmem"] >= 0.95 * shared
    local_anon = max(m["RssAnon"] for m in local.values())
    pickled_anon = min(m["RssAnon"] for m in pickled.values())
    # ... and the private memory is smaller by about one copy of the inputs
    # (25.8 MiB here); what remains is the interpreter and one run's work.
    assert pickled_anon - local_anon >= 0.8 * shared, (local_anon / MIB, pickled_anon / MIB)


def test_a_full_dev_shm_falls_back_to_mapped_files(top5, price, monkeypatch):
    # /dev/shm of a container is often 64 MiB; filling it would kill the
    # caller with SIGBUS, so the blocks become temporary files instead.
    from torvex._sweep import _shm

    monkeypatch.setattr(_shm, "MIN_BYTES", 1024)  # the small test prices count as large
    grid = {"stop_loss": [0.05, None]}
    in_shm, mem = sweep(top5, price, grid, n_jobs=2, chunksize=1, progress=False, keep=helpers.worker_memory)
    monkeypatch.setattr(_shm, "_shm_room", lambda nbytes: False)
    in_files, mem_files = sweep(top5, price, grid, n_jobs=2, chunksize=1, progress=False, keep=helpers.worker_memory)
    assert in_files.equals(in_shm)
    assert all(m["RssShmem"] > 0 for m in mem.values())
    assert all(m["RssShmem"] == 0 for m in mem_files.values())


def test_a_worker_without_dev_shm_maps_the_block_by_name(monkeypatch):
    # Where /dev/shm is no folder (macOS), a worker opens the block by name; the block must stay
    # open while its arrays live, or their buffer is released under them.
    import numpy as np
    from multiprocessing import shared_memory

    from torvex._sweep import _shm

    values = np.arange(6.0).reshape(2, 3)
    block = shared_memory.SharedMemory(create=True, size=values.nbytes)
    try:
        np.ndarray(values.shape, dtype=values.dtype, buffer=block.buf)[:] = values
        monkeypatch.setattr(_shm.os.path, "exists", lambda path: False)
        arr = _shm.attach(("shm", block.name), values.shape, "float64", False)
        again = _shm.attach(("shm", block.name), values.shape, "float64", False)
        np.testing.assert_array_equal(arr, values)
        np.testing.assert_array_equal(again, values)
        assert not arr.flags.writeable
        del arr, again
    finally:
        held = _shm._ATTACHED.pop(block.name, None)
        if held is not None:
            held.close()
        block.close()
        block.unlink()
