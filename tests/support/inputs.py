"""A minimal valid set of backtest_ inputs, and a fresh interpreter to run code in."""

import os
import subprocess
import sys
import tempfile
import textwrap

import numpy as np

DAY = 86_400 * 10**9  # one day in nanoseconds
T0 = 1_577_836_800 * 10**9  # 2020-01-01 00:00 UTC in nanoseconds

REQUIRED = (
    "price_values",
    "close_values",
    "high_values",
    "low_values",
    "open_values",
    "price_index",
    "price_columns",
    "pos_values",
    "pos_index",
    "pos_columns",
    "resample",
)


def labels(n, prefix="s"):
    return np.array([f"{prefix}{i}" for i in range(n)], dtype=object)


def make_inputs(nbars=5, ncols=2, nrows=1, pos_columns=None, weight=None):
    """The eleven required arguments of backtest_ for a small, well-formed run.

    Prices are flat at 1.0 on daily bars starting 2020-01-01; the position table
    has `nrows` rebalance rows (one per bar from bar 0) of equal weights over the
    same labels as the price columns, unless `pos_columns` names others.
    `weight=0.0` gives a run that never opens a position.
    """
    index = T0 + DAY * np.arange(nbars, dtype=np.int64)
    price = np.ones((nbars, ncols))
    cols = labels(ncols)
    pcols = cols if pos_columns is None else np.array(pos_columns, dtype=object)
    npos = pcols.size
    return dict(
        price_values=price,
        close_values=price.copy(),
        high_values=price.copy(),
        low_values=price.copy(),
        open_values=price.copy(),
        price_index=index,
        price_columns=cols,
        pos_values=np.full((nrows, npos), 1.0 / max(npos, 1) if weight is None else weight),
        pos_index=T0 + DAY * np.arange(nrows, dtype=np.int64),
        pos_columns=pcols,
        resample=index.copy(),
    )


def run_fresh(code):
    """Run `code` in a new interpreter (in the temp directory, so the installed
    package is imported, with the helpers of tests/ importable) and return its stdout; a non-zero exit fails the
    calling test."""
    tests_dir = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    env = dict(os.environ, TZ="UTC", PYTHONPATH=tests_dir)
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        cwd=tempfile.gettempdir(),
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stdout
