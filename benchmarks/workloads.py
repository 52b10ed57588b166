"""Seeded synthetic workloads for the torvex benchmarks.

Each workload is described by a plain dict (see ``WORKLOADS``) and turned into
the argument arrays of ``torvex.core.pathsim.backtest_`` by ``make_data``.
Nothing in here is timed.
"""

import numpy as np

MONTHLY = 21  # bars between rebalances
WEEKLY = 5

COSTS = dict(fee_ratio=0.001425, tax_ratio=0.003)


def _w(name, bars, stocks, held, every, params=None, touched=False, repeats=7, group="main"):
    return dict(
        name=name,
        bars=bars,
        stocks=stocks,
        held=held,
        every=every,
        params=dict(COSTS, **(params or {})),
        touched=touched,
        repeats=repeats,
        group=group,
    )


def build_workloads():
    wl = [
        _w("M", 2520, 500, 20, MONTHLY, dict(stop_loss=0.1), repeats=21),
        _w("M/nostop", 2520, 500, 20, MONTHLY, repeats=21),
        _w(
            "L",
            5040,
            2000,
            100,
            WEEKLY,
            dict(stop_loss=0.1, take_profit=0.2, trail_stop=0.05, touched_exit=True, excursion_window=20),
            touched=True,
            repeats=9,
        ),
        _w("L/nostop", 5040, 2000, 100, WEEKLY, repeats=9),
        # Tables small enough to stay in cache and a single rebalance: the bar
        # loop's figure is the cost of the per-position arithmetic itself.
        _w("C", 2520, 100, 20, 10**9, repeats=21, group="compute"),
    ]
    for b in (1260, 2520, 5040):
        wl.append(_w(f"S/bars={b}", b, 500, 20, MONTHLY, repeats=7, group="scale-bars"))
    for n in (500, 1000, 2000, 4000):
        wl.append(_w(f"S/stocks={n}", 2520, n, 20, MONTHLY, repeats=7, group="scale-stocks"))
    for h in (10, 20, 50, 100):
        wl.append(_w(f"S/held={h}", 2520, 1000, h, MONTHLY, repeats=7, group="scale-held"))
    return wl


WORKLOADS = {w["name"]: w for w in build_workloads()}

STOP_PARAMS = ("stop_loss", "take_profit", "trail_stop", "touched_exit")


def has_stops(w):
    """Whether a workload sets any exit rule (peers without stops skip it)."""
    return w["touched"] or any(k in w["params"] for k in STOP_PARAMS)


def held_rows(pos_values, held):
    """Rows x held int64 stock indexes (ascending) of each target row."""
    out = np.empty((len(pos_values), held), dtype=np.int64)
    for r, row in enumerate(pos_values):
        idx = np.flatnonzero(row)
        if len(idx) != held:
            raise ValueError(f"row {r} holds {len(idx)} stocks, expected {held}")
        out[r] = idx
    return out


def make_data(w, seed=12345):
    """Lognormal random walks plus a target-weight table.

    Returns a dict of keyword-ready arrays for ``backtest_`` (positional order
    is kept in ``ARG_ORDER``) and the bar positions of rebalance rows.
    """
    rng = np.random.default_rng(seed)
    B, N, H = w["bars"], w["stocks"], w["held"]

    # close: geometric random walk, built in place to keep the peak small
    close = rng.standard_normal((B, N))
    close *= 0.02
    close += 0.0002
    np.cumsum(close, axis=0, out=close)
    np.exp(close, out=close)
    close *= rng.uniform(10.0, 500.0, N)

    # trading price: close times small noise
    price = rng.standard_normal((B, N))
    price *= 0.002
    price += 1.0
    price *= close

    high = low = opn = None
    if w["touched"]:
        opn = np.empty_like(close)
        opn[0] = close[0]
        opn[1:] = close[:-1]
        opn *= 1.0 + 0.005 * rng.standard_normal((B, N))
        top = np.maximum(np.maximum(opn, close), price)
        bot = np.minimum(np.minimum(opn, close), price)
        high = top * (1.0 + np.abs(0.01 * rng.standard_normal((B, N))))
        low = bot * (1.0 - np.abs(0.01 * rng.standard_normal((B, N))))
        del top, bot

    # business-day dates as int64 nanoseconds
    days = np.busday_offset(np.datetime64("2000-01-03"), np.arange(B), roll="forward")
    price_index = days.astype("datetime64[ns]").astype(np.int64)
    columns = np.array([f"S{i:05d}" for i in range(N)], dtype=object)

    reb_bars = np.arange(0, B - 1, w["every"], dtype=np.int64)
    pos_values = np.zeros((len(reb_bars), N))
    for r in range(len(reb_bars)):
        pos_values[r, rng.choice(N, H, replace=False)] = 1.0 / H
    pos_index = price_index[reb_bars].copy()
    resample = pos_index.copy()

    args = dict(
        price_values=price,
        close_values=close,
        high_values=high,
        low_values=low,
        open_values=opn,
        price_index=price_index,
        price_columns=columns,
        pos_values=pos_values,
        pos_index=pos_index,
        pos_columns=columns.copy(),
        resample=resample,
    )
    return args, reb_bars


ARG_ORDER = (
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
