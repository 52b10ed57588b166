"""Type stubs of the engine module torvex.core.pathsim (a C++ extension)."""

import datetime as datetime
from typing import Any

import numpy as np
import numpy as org_np  # noqa: F401  (an attribute of the module, bound at import)
import numpy.typing as npt

from torvex._stops import StopTable as StopTable
from torvex._stops import stop_table as stop_table
from torvex.core import excursion as excursion

_F64_2D = npt.NDArray[np.float64]
_I64_1D = npt.NDArray[np.int64]
_OBJ_1D = npt.NDArray[np.object_]

RETAIN_COST_WHEN_REBALANCE: bool
RESAMPLE: bool | None

def backtest_(
    price_values: _F64_2D,
    close_values: _F64_2D,
    high_values: _F64_2D | None,
    low_values: _F64_2D | None,
    open_values: _F64_2D | None,
    price_index: _I64_1D,
    price_columns: _OBJ_1D,
    pos_values: _F64_2D,
    pos_index: _I64_1D,
    pos_columns: _OBJ_1D,
    resample: _I64_1D,
    fee_ratio: float = 0.001425,
    tax_ratio: float = 0.003,
    stop_loss: Any = 1.0,
    take_profit: Any = ...,
    trail_stop: float = ...,
    trail_stop_activation: float = 0.0,
    touched_exit: bool = False,
    position_limit: float = 1.0,
    retain_cost_when_rebalance: bool = False,
    stop_trading_next_period: Any = True,
    excursion_window: int = 0,
    excursion_window_step: int = 1,
    periodically_rebalance: bool = True,
    delisting_bars: npt.NDArray[np.int64] | None = None,
) -> npt.NDArray[np.float64]: ...
def get_trade_stocks(
    pos_columns: _OBJ_1D, price_index: _I64_1D, touched_exit: object
) -> tuple[list[list[Any]], dict[str, Any]]: ...
def get_stock_operations() -> dict[str, Any]: ...
def normalize_weight(weights: dict[Any, float], position_limit: float) -> dict[Any, float]: ...
def ioft(v: object) -> datetime.datetime: ...
