"""Seeded synthetic data for examples, tests and benchmarks (no download)."""

from __future__ import annotations

import numpy as np
import pandas as pd

__all__ = ["synthetic_universe", "exchange_calendar"]

BARS_PER_YEAR = 252
_ALPHA_SD = 0.10  # cross-sectional spread of annual excess drift


def exchange_calendar(first_year: int, years: int) -> np.ndarray:
    """Business days of ``years`` calendar years from ``first_year``, without the usual holidays.

    Fixed-date holidays that fall on a weekend are simply dropped (no observed
    day), which leaves about 252 bars a year.

    Examples
    --------
    >>> days = exchange_calendar(2024, 1)
    >>> str(days[0]), days.size
    ('2024-01-02', 253)
    """
    holidays: list[str | np.datetime64] = []
    for y in range(first_year, first_year + years):
        holidays += [f"{y}-01-01", f"{y}-06-19", f"{y}-07-04", f"{y}-12-25"]
        # 3rd Monday of January and February, last Monday of May,
        # 1st Monday of September, 4th Thursday of November.
        holidays.append(np.busday_offset(f"{y}-01", 2, roll="forward", weekmask="Mon"))
        holidays.append(np.busday_offset(f"{y}-02", 2, roll="forward", weekmask="Mon"))
        holidays.append(np.busday_offset(f"{y}-06", -1, roll="forward", weekmask="Mon"))
        holidays.append(np.busday_offset(f"{y}-09", 0, roll="forward", weekmask="Mon"))
        holidays.append(np.busday_offset(f"{y}-11", 3, roll="forward", weekmask="Thu"))
    days = np.arange(f"{first_year}-01-01", f"{first_year + years}-01-01", dtype="datetime64[D]")
    return days[np.is_busday(days, holidays=np.array(holidays, dtype="datetime64[D]"))]


def synthetic_universe(
    n_stocks: int = 50,
    n_bars: int = 2520,
    seed: int = 1,
    *,
    ohlc: bool = False,
    last_year: int = 2024,
    n_sectors: int = 10,
    details: bool = False,
):
    """Seeded synthetic daily prices of ``n_stocks`` stocks ("S0001", ...) over ``n_bars`` trading days.

    Log returns are a market factor (with slowly changing volatility and fat
    tails) plus a sector factor plus idiosyncratic noise, with a per-stock
    drift that wanders slowly (so momentum pays a little), beta, volatility
    and occasional jumps.  The open gaps from the previous close; high and low
    follow from intraday noise.  A few stocks list late, about 3% are delisted
    (half after a slide) and a few have trading halts: those bars are NaN.

    Parameters
    ----------
    n_stocks : int
        Number of stocks.
    n_bars : int
        Number of daily bars, ending on the last trading day of ``last_year``.
    seed : int
        Random seed; equal arguments give equal data.
    ohlc : bool
        Return the four frames instead of the close alone.
    last_year : int
        Calendar year of the last bar.
    n_sectors : int
        Number of sectors.
    details : bool
        Also return a dict of the generator's facts: ``sector`` (Series by
        symbol), ``delisted`` (symbol -> last priced date), ``late_listings``,
        ``halts``.

    Returns
    -------
    DataFrame or dict of DataFrames
        The close (dates x symbols), or with ``ohlc`` a dict with ``"open"``,
        ``"high"``, ``"low"``, ``"close"``; with ``details`` a tuple
        (that, facts).

    Examples
    --------
    >>> price = synthetic_universe(n_stocks=3, n_bars=10, seed=7)
    >>> price.shape, list(price.columns)
    ((10, 3), ['S0001', 'S0002', 'S0003'])
    >>> synthetic_universe(n_stocks=3, n_bars=10, seed=7).equals(price)
    True
    """
    if n_stocks < 1 or n_bars < 1:
        raise ValueError(f"n_stocks, n_bars: expected at least 1 each; found {n_stocks}, {n_bars}")
    rng = np.random.default_rng(seed)
    years = n_bars // 250 + 2
    dates = exchange_calendar(last_year - years + 1, years)[-n_bars:]
    T, N = dates.size, n_stocks
    dt = 1.0 / BARS_PER_YEAR

    # Market: volatility regime as an AR(1) in log space, Student-t shocks.
    logvol = np.empty(T)
    logvol[0] = 0.0
    shocks = rng.normal(0.0, 0.08, T)
    for t in range(1, T):
        logvol[t] = 0.985 * logvol[t - 1] + shocks[t]
    regime = np.exp(logvol - logvol.mean())
    tdf = 5
    fat = rng.standard_t(tdf, T) / np.sqrt(tdf / (tdf - 2))
    market = 0.07 * dt + 0.16 * np.sqrt(dt) * regime * fat

    sector = rng.integers(0, n_sectors, N)
    sector_ret = 0.10 * np.sqrt(dt) * regime[:, None] * rng.standard_normal((T, n_sectors))

    beta = rng.uniform(0.6, 1.4, N)
    sector_load = rng.uniform(0.5, 1.2, N)
    idio_vol = rng.uniform(0.10, 0.35, N)
    # Each stock's excess drift wanders slowly (half-life about a year and a
    # half), so past winners tend to keep winning for a while.
    phi = 0.5 ** (1.0 / (1.5 * BARS_PER_YEAR))
    alpha = np.empty((T, N))
    alpha[0] = rng.normal(0.0, _ALPHA_SD, N)
    kicks = rng.normal(0.0, _ALPHA_SD * np.sqrt(1.0 - phi**2), (T, N))
    for t in range(1, T):
        alpha[t] = phi * alpha[t - 1] + kicks[t]

    idio = idio_vol * np.sqrt(dt) * rng.standard_normal((T, N))
    jumps = (rng.random((T, N)) < 0.003) * rng.normal(-0.01, 0.08, (T, N))
    total_var = (beta * 0.16) ** 2 + (sector_load * 0.10) ** 2 + idio_vol**2
    drift = (alpha - 0.5 * total_var + 0.5 * 0.16**2) * dt
    logret = drift + beta * market[:, None] + sector_load * sector_ret[:, sector] + idio + jumps

    # Delistings: about 3% of stocks, half of them after a slide (too short a history has none).
    delisting_bars = np.full(N, -1, dtype=np.int64)
    if T > 90:
        for i in rng.choice(N, max(1, N * 3 // 100), replace=False):
            last = int(rng.integers(T // 3, T - 30))
            delisting_bars[i] = last
            if rng.random() < 0.5:
                logret[max(0, last - 40) : last + 1, i] -= np.log(2.5) / 41  # lose 60% over two months

    start = np.exp(rng.uniform(np.log(5.0), np.log(300.0), N))
    close = start * np.exp(np.cumsum(logret, axis=0))
    prev_close = np.vstack([start, close[:-1]])

    # Part of each day's move happens overnight; the rest is intraday noise.
    day_vol = np.sqrt(total_var * dt)
    gap = 0.3 * logret + 0.2 * day_vol * rng.standard_normal((T, N))
    open_ = prev_close * np.exp(gap)
    wick = 0.5 * day_vol
    high = np.maximum(open_, close) * np.exp(np.abs(wick * rng.standard_normal((T, N))))
    low = np.minimum(open_, close) * np.exp(-np.abs(wick * rng.standard_normal((T, N))))

    missing = np.zeros((T, N), dtype=bool)
    for i in np.flatnonzero(delisting_bars >= 0):
        missing[delisting_bars[i] + 1 :, i] = True
    late = rng.choice(N, max(1, N * 6 // 100), replace=False) if T > 40 else np.empty(0, np.int64)
    for i in late:
        missing[: int(rng.integers(20, int(T * 0.7))), i] = True
    n_halts = max(1, N // 2) if T > 1 else 0
    for i, t, n in zip(rng.integers(0, N, n_halts), rng.integers(1, T, n_halts), rng.integers(1, 4, n_halts)):
        missing[t : t + n, i] = True
    for a in (open_, high, low, close):
        a[missing] = np.nan

    index = pd.DatetimeIndex(dates.astype("datetime64[ns]"), name="date")
    columns = pd.Index([f"S{i + 1:04d}" for i in range(N)], name="symbol")
    frames = {
        k: pd.DataFrame(v, index=index, columns=columns)
        for k, v in (("open", open_), ("high", high), ("low", low), ("close", close))
    }
    out = frames if ohlc else frames["close"]
    if not details:
        return out
    facts = {
        "sector": pd.Series(sector, index=columns, name="sector"),
        "delisted": {columns[int(i)]: index[delisting_bars[i]] for i in np.flatnonzero(delisting_bars >= 0)},
        "late_listings": int(late.size),
        "halts": int(n_halts),
    }
    return out, facts
