"""Position functions and kept-value extractors the sweep tests ship to workers."""

import os
import signal
import time

import numpy as np
import pandas as pd


def momentum(price, lookback=20, n=5):
    """Hold the `n` stocks with the best return over `lookback` bars."""
    return price.pct_change(lookback, fill_method=None).rank(axis=1, ascending=False) <= n


def fails_on_13(price, lookback=20, n=5):
    if lookback == 13:
        raise ValueError("lookback 13 is unlucky")
    return momentum(price, lookback, n)


def dies_on_99(price, lookback=20, n=5, marker=None):
    """Kills its worker for lookback 99: always, or only while `marker` does
    not exist yet (the retry then succeeds)."""
    if lookback == 99 and (marker is None or not os.path.exists(marker)):
        if marker is not None:
            open(marker, "w").close()
        os.kill(os.getpid(), signal.SIGKILL)
    return momentum(price, lookback, n)


def slow(price, lookback=20, n=5, piddir=None, seconds=0.25):
    open(os.path.join(piddir, str(os.getpid())), "w").close()
    time.sleep(seconds)
    return momentum(price, lookback, n)


def stuck_on(price, lookback=20, n=5, stuck=None, marker=None):
    """Hangs for a minute for lookback `stuck`, first writing its pid to `marker`."""
    if lookback == stuck:
        if marker is not None:
            with open(marker, "w") as f:
                f.write(str(os.getpid()))
        time.sleep(60)
    return momentum(price, lookback, n)


def worker_pid(report):
    return os.getpid()


def worker_memory(report):
    """Resident bytes of the worker by kind, read after its run."""
    out = {"pid": os.getpid()}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("RssAnon", "RssShmem"):
                out[key] = int(value.split()[0]) * 1024
    return out


def process_gone(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] in ("Z", "X")
    except FileNotFoundError:
        return True


def assert_same_table(result, reference):
    """`result` has `reference`'s rows, columns and figures, every float equal to the bit."""
    pd.testing.assert_frame_equal(result, reference, check_exact=True)
    for name in reference.columns:
        if reference[name].dtype == np.float64:
            assert np.array_equal(result[name].to_numpy().view(np.int64), reference[name].to_numpy().view(np.int64)), (
                name
            )
