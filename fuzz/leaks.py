"""Leak check: many runs of a medium scenario with stops and trades, and as many
that fail mid-run, in one process.

After a warm-up the resident memory, the number of objects the collector
tracks, the number of allocated memory blocks and the reference counts of the
input arrays must not grow with the number of runs. Prints the figures as JSON
and exits 1 when one of them grew.

    python fuzz/leaks.py [RUNS]      # RUNS of each kind, default 10000
"""

import gc
import json
import os
import sys

import numpy as np

from torvex.core import excursion, pathsim

DAY = 86_400 * 10**9


def scenario(nbars=120, ncols=12, seed=7):
    """Random-walk prices, a weight row every 5 bars, stops that fire."""
    rng = np.random.default_rng(seed)
    steps = rng.normal(0.0, 0.03, size=(nbars, ncols))
    price = 10.0 * np.exp(np.cumsum(steps, axis=0))
    close = price * (1.0 + rng.normal(0.0, 0.005, size=price.shape))
    high = np.maximum(price, close) * 1.01
    low = np.minimum(price, close) * 0.99
    idx = np.arange(nbars, dtype=np.int64) * DAY
    cols = np.array([f"s{i}" for i in range(ncols)], dtype=object)
    rows = idx[::5].copy()
    weights = rng.choice([0.0, 0.1, 0.2, -0.1], size=(rows.size, ncols))
    args = dict(
        price_values=price,
        close_values=close,
        high_values=high,
        low_values=low,
        open_values=price.copy(),
        price_index=idx,
        price_columns=cols,
        pos_values=weights,
        pos_index=rows,
        pos_columns=cols.copy(),
        resample=rows.copy(),
        stop_loss=0.05,
        take_profit=0.08,
        trail_stop=0.04,
        trail_stop_activation=0.02,
        excursion_window=10,
        excursion_window_step=2,
        delisting_bars=np.full(ncols, -1, dtype=np.int64),
    )
    failing = dict(args)
    bad = price.copy()
    bad[nbars * 2 // 3, :] = 0.0  # every held stock has an invalid price here
    failing["price_values"] = bad
    return args, failing


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def one_pass(args, failing, touched):
    c = pathsim.backtest_(**args, touched_exit=touched)
    pathsim.get_trade_stocks(args["pos_columns"], args["price_index"], touched)
    pathsim.get_stock_operations()
    try:
        pathsim.backtest_(**failing, touched_exit=touched)
    except ValueError:
        pass
    else:
        raise AssertionError("the failing run did not fail")
    return c


def measure(runs):
    args, failing = scenario()
    arrays = [v for v in list(args.values()) + [failing["price_values"]] if isinstance(v, np.ndarray)]
    first = one_pass(args, failing, False)
    # Taken after one pass: the trade log keeps the last run's price and close
    # arrays until the next run, as it should.
    refs_start = [sys.getrefcount(a) for a in arrays]
    assert len(excursion.trades) > 0
    warm = max(50, runs // 10)
    for i in range(warm):
        one_pass(args, failing, i % 2 == 1)
    gc.collect()
    before = dict(rss_kib=rss_kib(), gc_objects=len(gc.get_objects()), blocks=sys.getallocatedblocks())
    for i in range(runs - warm):
        c = one_pass(args, failing, i % 2 == 1)
    del c
    gc.collect()
    after = dict(rss_kib=rss_kib(), gc_objects=len(gc.get_objects()), blocks=sys.getallocatedblocks())
    refs_end = [sys.getrefcount(a) for a in arrays]
    del first
    growth = {k: after[k] - before[k] for k in before}
    # A leak of one object per run shows as `runs - warm` blocks at least; a few
    # blocks of allocator noise are not that.
    # Under AddressSanitizer freed memory waits in a quarantine, so resident
    # memory grows there whatever the engine does: it is reported, not judged.
    sanitizer = "libasan" in os.environ.get("LD_PRELOAD", "")
    ok = (
        refs_start == refs_end
        and growth["gc_objects"] <= 16
        and growth["blocks"] <= 64
        and (sanitizer or growth["rss_kib"] <= 2048)
    )
    return dict(
        runs_each=runs,
        trades_per_run=len(excursion.trades),
        before=before,
        after=after,
        growth=growth,
        input_refcounts_back=refs_start == refs_end,
        flat=ok,
    )


if __name__ == "__main__":
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000
    result = measure(n)
    print(json.dumps(result, indent=1))
    sys.exit(0 if result["flat"] else 1)
