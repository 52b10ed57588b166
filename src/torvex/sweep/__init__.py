"""Parameter sweeps: one backtest per parameter set, on all cores or a cluster."""

import sys as _sys
import types as _types

from ._api import sweep
from .plot import plot_sweep

__all__ = ["sweep", "plot_sweep"]


class _CallableModule(_types.ModuleType):
    """``import torvex.sweep`` binds this package as ``torvex.sweep`` over the function
    of the same name; calling the package calls the function, so both spellings work."""

    def __call__(self, *args, **kwargs):
        return sweep(*args, **kwargs)


_sys.modules[__name__].__class__ = _CallableModule
