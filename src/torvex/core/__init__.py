"""The compiled core: ``torvex.core.pathsim`` (the backtest engine) and
``torvex.core.excursion`` (the trade log and its excursion statistics).

Both are C++ extension modules built from ``cpp/`` when the package is
installed. A source tree that was never built has neither, and importing this
package then says so instead of failing later on a missing attribute.
"""

from importlib.util import find_spec as _find_spec

_missing = [name for name in ("excursion", "pathsim") if _find_spec(f"{__name__}.{name}") is None]
if _missing:
    raise ImportError(
        f"torvex.core: the compiled module(s) {', '.join(_missing)} are not built. "
        "Build and install the package first (`pip install .` or `make install` "
        "from the repository root)."
    )
del _missing, _find_spec
