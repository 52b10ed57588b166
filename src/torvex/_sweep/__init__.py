"""Parameter sweeps: one backtest per parameter set, on all cores or a cluster."""

from ._api import sweep
from .plot import plot_sweep

__all__ = ["sweep", "plot_sweep"]
