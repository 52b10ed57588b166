"""The engine of this tree against the engine of an earlier commit, in one run.

    .venv/bin/python benchmarks/against_base.py               # against BASE below
    .venv/bin/python benchmarks/against_base.py --base REF    # against any commit

The earlier commit is checked out into a temporary work tree and built once
(cached in the temp dir under its commit hash). Each workload then runs in
alternating subprocesses, this tree's engine and the base's, so both see the
same machine state; a round times ``backtest_`` ``repeats`` times and keeps the
median, and the table gives the median of the rounds and their ratio. A change
that should cost nothing (a few stores per trade) shows a ratio within the
rounds' spread of 1.00.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# The last commit before the engine moved to plain C++ behind a host (the typed entry).
BASE = "6ba5e3b"

WORKER = r"""
import json, statistics, sys, time
sys.path.insert(0, {here!r})
from workloads import ARG_ORDER, WORKLOADS, make_data
from torvex.core import pathsim
w = WORKLOADS[{name!r}]
args = make_data(w)[0]
pos = [args[k] for k in ARG_ORDER]
pathsim.backtest_(*pos, **w["params"])
times = []
for _ in range({repeats}):
    t = time.perf_counter()
    pathsim.backtest_(*pos, **w["params"])
    times.append(time.perf_counter() - t)
print(json.dumps({{"median": statistics.median(times), "where": pathsim.__file__}}))
"""


def build_base(ref):
    """Directory holding the base commit's built package (built once per commit)."""
    sha = subprocess.run(
        ["git", "-C", ROOT, "rev-parse", "--short=12", ref], check=True, capture_output=True, text=True
    ).stdout.strip()
    out = os.path.join(tempfile.gettempdir(), f"torvex-base-{sha}")
    if os.path.exists(os.path.join(out, "torvex")):
        return out, sha
    tree = os.path.join(tempfile.gettempdir(), f"torvex-base-tree-{sha}")
    if not os.path.exists(tree):
        subprocess.run(["git", "-C", ROOT, "worktree", "add", "--detach", tree, sha], check=True, capture_output=True)
    print(f"building the engine of {sha} (once) ...", flush=True)
    subprocess.run(
        [sys.executable, "-m", "pip", "install", "-q", "--no-deps", "--target", out + ".tmp", tree], check=True
    )
    os.replace(out + ".tmp", out)
    subprocess.run(["git", "-C", ROOT, "worktree", "remove", "--force", tree], capture_output=True)
    return out, sha


def one_round(name, repeats, path):
    env = dict(os.environ)
    if path:
        env["PYTHONPATH"] = path + os.pathsep + env.get("PYTHONPATH", "")
    code = WORKER.format(here=HERE, name=name, repeats=repeats)
    p = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, cwd=tempfile.gettempdir())
    if p.returncode != 0:
        raise RuntimeError(p.stderr.strip().splitlines()[-1] if p.stderr.strip() else "worker failed")
    return json.loads(p.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--base", default=BASE)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--workloads", default="M,M/nostop,L")
    ns = ap.parse_args()
    base_dir, sha = build_base(ns.base)
    print(f"\nbacktest_ of this tree against {sha} (median of {ns.rounds} alternating rounds)")
    print(f"{'workload':<10} {'this tree':>10} {'base':>10} {'ratio':>6}  {'rounds (ratio)':<30}")
    for name in ns.workloads.split(","):
        repeats = 9 if name.startswith("L") else 21
        new, old = [], []
        for _ in range(ns.rounds):
            a = one_round(name, repeats, None)
            b = one_round(name, repeats, base_dir)
            assert a["where"] != b["where"], "both rounds ran the same engine"
            new.append(a["median"])
            old.append(b["median"])
        ratios = sorted(x / y for x, y in zip(new, old))
        print(
            f"{name:<10} {statistics.median(new) * 1e3:>8.2f}ms {statistics.median(old) * 1e3:>8.2f}ms"
            f" {statistics.median(new) / statistics.median(old):>6.3f}  "
            f"{' '.join(f'{r:.3f}' for r in ratios)}"
        )


if __name__ == "__main__":
    main()
