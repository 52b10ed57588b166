"""Type stubs of the trade-excursion module torvex.core.excursion (a C++ extension)."""

from typing import Any

import numpy as np
import numpy as org_np  # noqa: F401  (an attribute of the module, bound at import)
import numpy.typing as npt

#: Per trade of the last run: [stock id, entry bar, exit bar or -1 while open].
trades: list[list[Any]]
#: Per trade: the signed position recorded at entry.
trade_positions: list[np.float64]
#: Per trade: blocks of (mae, gmfe, bmfe, mdd, profit_period, return); the exit block last.
excursion: list[npt.NDArray[np.float64]]
__pyx_capi__: dict[str, Any]
