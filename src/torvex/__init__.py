"""torvex: a portfolio backtesting engine with a C++ core.

Start with :func:`torvex.backtest`: pandas frames of target weights and prices
in, a :class:`torvex.Report` out.  The front end is loaded on first use, so
importing ``torvex.core`` alone does not import pandas.
"""

import sys
import types
from importlib import import_module
from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("torvex")
except PackageNotFoundError:  # running from a source tree that was never installed
    __version__ = "0.0.0"

_EXPORTS = {
    "backtest": "torvex.backtest",
    "Report": "torvex.report",
    "read_prices": "torvex.io",
    "sweep": "torvex.sweep",
    "plot_sweep": "torvex.sweep",
    "compare": "torvex.compare",
    "load_report": "torvex._save",
    "overfitting": "torvex.overfitting",
    "walk_forward": "torvex.walkforward",
}

__all__ = [
    "backtest",
    "Report",
    "read_prices",
    "sweep",
    "plot_sweep",
    "compare",
    "load_report",
    "overfitting",
    "walk_forward",
    "__version__",
]


def __getattr__(name):
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module 'torvex' has no attribute {name!r}")
    value = getattr(import_module(module), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(__all__))


class _Package(types.ModuleType):
    """Keeps ``torvex.backtest`` the function: importing the submodule of the same name
    would otherwise bind the module over it."""

    def __setattr__(self, name, value):
        if name in _EXPORTS and isinstance(value, types.ModuleType) and value.__name__ == _EXPORTS[name]:
            return
        super().__setattr__(name, value)


sys.modules[__name__].__class__ = _Package
