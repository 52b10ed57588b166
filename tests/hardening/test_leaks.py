"""Repeated runs leak nothing: 500 runs of a medium scenario with stops and
trades and 500 that fail mid-run (an invalid price two thirds in), in one child
process. `make fuzz` runs the same check with 10,000 of each."""

import json
import os
import subprocess
import sys

LEAKS = os.path.join(os.path.dirname(__file__), "..", "..", "fuzz", "leaks.py")


def test_memory_objects_and_refcounts_flat_after_warm_up():
    proc = subprocess.run(
        [sys.executable, LEAKS, "500"], capture_output=True, text=True, timeout=600, env=dict(os.environ, TZ="UTC")
    )
    assert proc.returncode in (0, 1), proc.stderr[-4000:]
    figures = json.loads(proc.stdout)
    assert figures["trades_per_run"] > 20
    assert figures["input_refcounts_back"]
    growth = figures["growth"]
    # One object leaked per run would be 450 blocks and objects at least.
    assert growth["gc_objects"] <= 16 and growth["blocks"] <= 64, growth
    assert figures["flat"], figures
