"""Fixtures of the front-end tests: small seeded universes and a direct engine call."""

import os

import pytest

os.environ.setdefault("MPLBACKEND", "Agg")


@pytest.fixture(scope="session")
def universe():
    """OHLC frames of 12 stocks over 400 bars, with late listings, halts and a delisting."""
    from torvex.datasets import synthetic_universe

    return synthetic_universe(n_stocks=12, n_bars=400, seed=5, ohlc=True)


@pytest.fixture(scope="session")
def momentum(universe):
    """Monthly top-4 by 60-bar return, as a bool frame dated on month-ends."""
    close = universe["close"]
    score = close / close.shift(60) - 1
    ends = close.index.to_series().groupby(close.index.to_period("M")).max()
    score = score.loc[ends.values].iloc[3:]
    return score.rank(axis=1, ascending=False) <= 4
