"""Helpers of the hardening tests: runs in a child interpreter, so that a crash
of the engine fails one test instead of ending the suite."""

import json
import os
import subprocess
import sys
import textwrap

import numpy as np

DAY = 86_400 * 10**9

# Prepended to every child script: the names the repro scripts use.
PRELUDE = """
import json, sys
import numpy as np
from torvex.core import pathsim, excursion
from torvex._stops import StopTable
DAY = 86_400 * 10**9
def outcome(fn):
    try:
        c = fn()
    except Exception as e:
        return {"error": type(e).__name__, "message": str(e)}
    return {"creturn": [float(x) for x in c],
            "trades": [[int(v) for v in t] for t in excursion.trades]}
"""


def run_child(code, timeout=120):
    """Run `code` (after PRELUDE) in a new interpreter and return the JSON it
    prints on its last line. A crash, a sanitizer report or a hang fails."""
    env = dict(os.environ, TZ="UTC")
    proc = subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(code)],
        cwd=os.path.dirname(os.path.abspath(__file__)),
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    assert proc.returncode == 0, f"child ended with {proc.returncode}\n{proc.stderr[-4000:]}"
    return json.loads(proc.stdout.strip().splitlines()[-1])


def daily(n):
    return np.arange(n, dtype=np.int64) * DAY


def args_for(price, weights, price_columns, pos_columns, close=None, **options):
    """backtest_ keyword arguments for bars 0..n-1, one weight row per bar
    (dated on the bars) and every bar marked for rebalancing."""
    n = price.shape[0]
    idx = daily(n)
    return dict(
        price_values=price,
        close_values=price.copy(order="K") if close is None else close,
        high_values=None,
        low_values=None,
        open_values=None,
        price_index=idx,
        price_columns=np.array(price_columns, dtype=object),
        pos_values=weights,
        pos_index=daily(weights.shape[0]),
        pos_columns=np.array(pos_columns, dtype=object),
        resample=idx.copy(),
        **options,
    )
