# The typed entry to the engine (cpp/_engine): checked arrays in, a Result out.
from typing import final

import numpy as np

@final
class Result:
    creturn: np.ndarray
    n_trades: int
    current_row: int
    pending_row: int
    should_rebalance: bool
    sid: np.ndarray
    entry_bar: np.ndarray
    exit_bar: np.ndarray
    position: np.ndarray
    excursion: np.ndarray
    entry_price: np.ndarray
    exit_price: np.ndarray
    fees: np.ndarray
    taxes: np.ndarray
    pnl: np.ndarray
    committed: np.ndarray
    exit_reason: np.ndarray
    touched: np.ndarray
    unpriced_exit: np.ndarray
    unrecorded_sids: np.ndarray
    unrecorded_pnl: np.ndarray
    rebalance_bars: np.ndarray
    rebalance_rows: np.ndarray
    rebalanced_keys: np.ndarray
    held: np.ndarray
    exited: np.ndarray
    exit_pending: np.ndarray
    latest_row: np.ndarray | None

def run(
    price: np.ndarray,
    close: np.ndarray,
    high: np.ndarray | None,
    low: np.ndarray | None,
    open: np.ndarray | None,
    price_index: np.ndarray,
    pos_values: np.ndarray,
    pos_index: np.ndarray,
    price_col: np.ndarray,
    resample: np.ndarray,
    stop_loss_values: np.ndarray | float,
    stop_loss_rows: np.ndarray | None,
    take_profit_values: np.ndarray | float,
    take_profit_rows: np.ndarray | None,
    delisting_bars: np.ndarray | None,
    fee_ratio: float,
    tax_ratio: float,
    trail_stop: float,
    trail_stop_activation: float,
    position_limit: float,
    touched_exit: bool,
    retain_cost_when_rebalance: bool,
    stop_trading_next_period: bool,
    periodically_rebalance: bool,
    excursion_window: int,
    excursion_window_step: int,
    /,
) -> Result: ...
