"""Per-trade object floor of the trade log.

    .venv/bin/python benchmarks/trade_floor.py            # the main workloads
    .venv/bin/python benchmarks/trade_floor.py --trades 100000 --stocks 2000 --length 30

Every trade the engine logs needs a few Python objects: the list
[sid, entry, exit] with its int, NumPy int64 and int, the NumPy float64 of its
position and the float64 array of its statistics (6 values, 6 more per sample
point of the excursion window). trade_floor.cpp builds exactly these with the
cheapest C-API calls, replacing the previous run's records as a run does, in two
orders: freeing the old records all at once first, or one old record right
before each new one. The floor is the faster of the two, per trade (median over
the repeats); the bench table adds it, times the workload's trades, to the memory
floor of the bar loop.

The extension is compiled once per source hash into the temp dir (g++ and the
Python and NumPy headers are needed), like floor.cpp.
"""

import argparse
import importlib.machinery
import importlib.util
import os
import statistics
import sys
import sysconfig
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from cbuild import build_shared  # noqa: E402

SRC = os.path.join(HERE, "trade_floor.cpp")
ORDERS = {0: "free all, then build", 1: "free one before each build", 2: "free one, prefetched, per build"}


def build():
    """The compiled module, or (None, reason)."""
    import numpy as np

    lib, err = build_shared(
        SRC,
        "trade_floor",
        suffix=importlib.machinery.EXTENSION_SUFFIXES[0],
        flags=["-I" + sysconfig.get_paths()["include"], "-I" + np.get_include()],
        salt=sys.version.encode() + np.__version__.encode(),
    )
    if lib is None:
        return None, err
    loader = importlib.machinery.ExtensionFileLoader("trade_floor", lib)
    found = importlib.util.spec_from_file_location("trade_floor", lib, loader=loader)
    mod = importlib.util.module_from_spec(found)
    loader.exec_module(mod)
    return mod, None


def per_trade(mod, trades, stocks, bars, length, repeats=9):
    """Per-trade seconds of each order: {order: [times]}, one cycle per repeat."""
    lists = ([], [], [])
    out = {}
    for order in ORDERS:
        for _ in range(3):  # the first cycles fault in the memory of both runs
            mod.cycle(*lists, trades, stocks, bars, length, order)
        times = []
        for _ in range(repeats):
            t = time.perf_counter()
            mod.cycle(*lists, trades, stocks, bars, length, order)
            times.append((time.perf_counter() - t) / trades)
        out[order] = times
    return out


def floor_per_trade(mod, trades, stocks, bars, length, repeats=9):
    """(seconds per trade of the cheapest order, that order, all times)."""
    if trades <= 0:
        return 0.0, None, {}
    t = per_trade(mod, trades, stocks, bars, length, repeats)
    best = min(t, key=lambda o: statistics.median(t[o]))
    return statistics.median(t[best]), best, t


def stats_length(window, step):
    """Values in one trade's statistics array: ((window - 1) // step) * 6 + 12."""
    return ((window - 1) // step) * 6 + 12


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--trades", type=int)
    ap.add_argument("--stocks", type=int, default=500)
    ap.add_argument("--bars", type=int, default=2520)
    ap.add_argument("--length", type=int, default=6)
    ap.add_argument("--repeats", type=int, default=9)
    a = ap.parse_args()
    mod, err = build()
    if mod is None:
        print(f"trade floor not built: {err}")
        return 1
    cases = (
        [(a.trades, a.stocks, a.bars, a.length)]
        if a.trades
        else [(2400, 500, 2520, 6), (100800, 2000, 5040, 6), (98433, 2000, 5040, 30)]
    )
    for n, s, b, length in cases:
        _, _, t = floor_per_trade(mod, n, s, b, length, a.repeats)
        print(f"{n} trades, {s} stocks, {length} values each:")
        for order, times in t.items():
            print(
                f"  {ORDERS[order]:28s} min {min(times) * 1e9:6.0f}  median "
                f"{statistics.median(times) * 1e9:6.0f}  max {max(times) * 1e9:6.0f} ns/trade"
            )
    return 0


if __name__ == "__main__":
    sys.exit(main())
