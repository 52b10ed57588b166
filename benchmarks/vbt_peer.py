"""vectorbt as a speed peer for the no-stop workloads.

The same rebalancing run expressed as ``vectorbt.Portfolio.from_orders``:
target-percent orders, one group sharing its cash, sells executed before buys
(``call_seq="auto"``), a starting cash of 1.

How the engine's run maps onto it:

* a target row dated on bar b is taken at b's end and traded on bar b+1 at
  that bar's trading price, so the order row of the row is bar b+1, with the
  trading prices as ``price`` and the closes as ``close``;
* weights are fractions of the equity valued at the trading price, which is
  vectorbt's default valuation (``val_price`` = order price); the group value
  is taken once before the row's orders, as the engine takes its balance once
  before a rebalance;
* the engine scales a row down by its gross sum when that exceeds 1 and caps
  each position at ``position_limit`` of the equity; the peer feeds the weights
  already scaled and capped;
* bars without a rebalance have NaN sizes (no order), stocks to leave an
  explicit 0;
* the engine's creturn[d] is cash plus holdings at bar d's close, which is
  vectorbt's group value.

Costs differ: vectorbt charges ``fees`` on both sides and has no separate tax
on sales, and it takes a buy's fee out of cash where the engine takes it out of
the position. With costs the two runs do comparable work but not the same
numbers; without costs they should agree to rounding.
"""

import time

import numpy as np

try:
    import vectorbt as vbt

    IMPORT_ERROR = None
except Exception as e:  # noqa: BLE001 - any failure means "no peer"
    vbt = None
    IMPORT_ERROR = f"{type(e).__name__}: {e}"


def available():
    return vbt is not None


def version():
    return getattr(vbt, "__version__", "?") if vbt is not None else None


def order_sizes(shape, pos_values, reb_bars, position_limit=1.0):
    """Bars x stocks target percents, NaN where no order is placed.

    Each row's weights go on its trading bar; a stock the previous row held and
    this one drops gets an explicit 0; the other stocks, like every stock on a
    bar without a rebalance, stay NaN. Without stops the previous row is what
    is held.
    """
    B = shape[0]
    size = np.full(shape, np.nan)
    limit = abs(position_limit)
    held = np.zeros(shape[1], dtype=bool)
    for r, b in enumerate(np.asarray(reb_bars).tolist()):
        t = b + 1
        if t >= B:
            continue
        w = np.asarray(pos_values[r], dtype=np.float64)
        gross = np.abs(w).sum()
        if gross > 1:
            w = w * (1 / gross)
        w = np.clip(w, -limit, limit)
        target = w != 0
        size[t, target] = w[target]
        size[t, held & ~target] = 0.0
        held = target
    return size


def run(price, close, size, fee_ratio=0.0, max_orders=None):
    """One simulation; returns the group value per bar as a float64 array.

    ``max_orders`` bounds the order records vectorbt allocates (by default one
    per bar and stock); the number of non-NaN sizes is a safe bound.
    """
    pf = vbt.Portfolio.from_orders(
        close,
        size,
        size_type="targetpercent",
        price=price,
        fees=fee_ratio,
        init_cash=1.0,
        cash_sharing=True,
        group_by=True,
        call_seq="auto",
        freq="1D",
        max_orders=max_orders,
    )
    return np.asarray(pf.value(), dtype=np.float64)


def warm_up(price, close, size, fee_ratio=0.0, bars=64):
    """Compile numba's functions on a short slice of the same kinds of input."""
    n = min(bars, price.shape[0])
    run(np.ascontiguousarray(price[:n]), np.ascontiguousarray(close[:n]), np.ascontiguousarray(size[:n]), fee_ratio)


def timed(price, close, size, fee_ratio, repeats):
    """Wall times of ``repeats`` runs (after a warm-up) and the last values."""
    warm_up(price, close, size, fee_ratio)
    times, value = [], None
    for _ in range(repeats):
        t = time.perf_counter()
        value = run(price, close, size, fee_ratio)
        times.append(time.perf_counter() - t)
    return times, value
