"""torvex: a portfolio backtesting engine with a C++ core.

Start with :func:`torvex.backtest`: pandas frames of target weights and prices
in, a :class:`torvex.Report` out.  The front end is loaded on first use, so
importing ``torvex.core`` alone does not import pandas.
"""

from importlib import import_module
from importlib.metadata import PackageNotFoundError, version
from typing import TYPE_CHECKING

try:
    __version__ = version("torvex")
except PackageNotFoundError:  # running from a source tree that was never installed
    __version__ = "0.0.0"

if TYPE_CHECKING:  # the real signatures for type checkers; at run time they load on first use
    from torvex._overfitting import overfitting as overfitting
    from torvex._backtest import backtest as backtest
    from torvex._save import load_report as load_report
    from torvex._sweep import plot_sweep as plot_sweep
    from torvex._sweep import sweep as sweep
    from torvex._compare import compare as compare
    from torvex.io import read_prices as read_prices
    from torvex.report import Report as Report
    from torvex.walkforward import walk_forward as walk_forward

_EXPORTS = {
    "backtest": "torvex._backtest",
    "Report": "torvex.report",
    "read_prices": "torvex.io",
    "sweep": "torvex._sweep",
    "plot_sweep": "torvex._sweep",
    "compare": "torvex._compare",
    "load_report": "torvex._save",
    "overfitting": "torvex._overfitting",
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
