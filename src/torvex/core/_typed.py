"""The typed entry to the engine: ``backtest_``'s run without its late-bound surface.

:func:`run` takes what ``pathsim.backtest_`` takes (arrays, labels and options), builds
the column map and the stop tables once in Python and hands plain arrays to
:func:`torvex.core._engine.run`, which runs the same engine with the interpreter lock
released and its state in the call: threads may run at once, and nothing of the
process (module attributes, the excursion lists, the run log) is read or changed.

:func:`stock_operations` makes the stock-operations record of ``get_stock_operations``
from a typed run's result, with the same arithmetic.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from torvex import _stops
from torvex.core import _engine

__all__ = ["run", "price_columns_of", "stock_operations"]

_UNPRICED = "No price column for position columns with non-zero weights: "


def price_columns_of(price_labels: np.ndarray, pos_labels: np.ndarray) -> np.ndarray:
    """The price column of each position column (-1: none), labels matched exactly; a
    label that occurs twice among the price columns maps to its last occurrence."""
    index = {label: i for i, label in enumerate(price_labels.tolist())}
    return np.fromiter((index.get(label, -1) for label in pos_labels.tolist()), dtype=np.int64, count=len(pos_labels))


def _table(threshold: Any, price_index: np.ndarray, pos_labels: np.ndarray) -> tuple[Any, np.ndarray | None]:
    """The stop table's arrays; a plain float goes as it is (the engine reads it for every cell)."""
    if type(threshold) is float:
        return threshold, None
    table = _stops.stop_table(threshold, price_index, pos_labels)
    return np.asarray(table.values, dtype=np.float64), np.asarray(table.rows, dtype=np.int64)


def _int64(a: np.ndarray | None) -> np.ndarray | None:
    return None if a is None else np.asarray(a, dtype=np.int64)


def run(
    price_values: np.ndarray,
    close_values: np.ndarray,
    high_values: np.ndarray | None,
    low_values: np.ndarray | None,
    open_values: np.ndarray | None,
    price_index: np.ndarray,
    price_columns: np.ndarray,
    pos_values: np.ndarray,
    pos_index: np.ndarray,
    pos_columns: np.ndarray,
    resample: np.ndarray,
    *,
    fee_ratio: float = 0.001425,
    tax_ratio: float = 0.003,
    stop_loss: Any = 1.0,
    take_profit: Any = np.inf,
    trail_stop: float = np.inf,
    trail_stop_activation: float = 0.0,
    touched_exit: bool = False,
    position_limit: float = 1.0,
    retain_cost_when_rebalance: bool = False,
    stop_trading_next_period: bool = True,
    excursion_window: int = 0,
    excursion_window_step: int = 1,
    periodically_rebalance: bool = True,
    delisting_bars: np.ndarray | None = None,
    price_col: np.ndarray | None = None,
) -> Any:
    """One run of the engine through the typed entry.

    Takes the arguments of ``pathsim.backtest_`` (labels as 1-D arrays of str, stop
    thresholds as numbers, per-column arrays, bar tables or ``StopTable``); ``price_col``,
    when given, is the column map already made (see :func:`price_columns_of`). Returns
    the ``_engine.Result``: ``creturn``, the trades as columns (``sid``, ``entry_bar``,
    ``exit_bar``, ``position``, ``excursion``, the fills, charges and ``pnl``,
    ``exit_reason``), the rebalance bars and the state :func:`stock_operations` reads.

    Examples
    --------
    >>> import numpy as np
    >>> from torvex.core import _typed
    >>> day = 86_400 * 10**9
    >>> index = day * np.arange(4, dtype=np.int64)
    >>> price = np.array([[10.0], [10.0], [8.0], [8.0]])
    >>> labels = np.array(["a"], dtype=object)
    >>> res = _typed.run(price, price, None, None, None, index, labels, np.array([[1.0]]),
    ...                  index[:1], labels, index[:1], stop_loss=0.1)
    >>> res.entry_bar.tolist(), res.exit_bar.tolist(), res.exit_reason.tolist()
    ([1], [3], [1])
    """
    if price_col is None:
        price_col = price_columns_of(np.asarray(price_columns), np.asarray(pos_columns))
    unpriced = price_col < 0
    if unpriced.any():
        weighted = np.flatnonzero(unpriced & np.any(pos_values != 0, axis=0))
        if weighted.size:
            raise ValueError(_UNPRICED + ", ".join(str(pos_columns[i]) for i in weighted))
    sl_values, sl_rows = _table(stop_loss, price_index, pos_columns)
    tp_values, tp_rows = _table(take_profit, price_index, pos_columns)
    return _engine.run(
        price_values,
        close_values,
        high_values,
        low_values,
        open_values,
        price_index,
        pos_values,
        pos_index,
        price_col,
        resample,
        sl_values,
        sl_rows,
        tp_values,
        tp_rows,
        _int64(delisting_bars),
        float(fee_ratio),
        float(tax_ratio),
        float(trail_stop),
        float(trail_stop_activation),
        float(position_limit),
        bool(touched_exit),
        bool(retain_cost_when_rebalance),
        bool(stop_trading_next_period),
        bool(periodically_rebalance),
        int(excursion_window),
        int(excursion_window_step),
    )


def _scale_down(weights: dict, total: Any) -> None:
    divisor = total if total > 1 else 1
    for k in list(weights):
        weights[k] = weights[k] / divisor


def stock_operations(
    res: Any,
    pos_values: np.ndarray,
    price_index: np.ndarray,
    pos_index: np.ndarray,
    position_limit: float,
    stop_trading_next_period: bool,
) -> dict:
    """The stock-operations record of a typed run, as ``get_stock_operations`` gives it
    for the same run: executed and pending weights (float64 scalars, normalised) and the
    actions per stock.

    Examples
    --------
    >>> import numpy as np
    >>> from torvex.core import _typed
    >>> day = 86_400 * 10**9
    >>> index = day * np.arange(3, dtype=np.int64)
    >>> price, labels, w = np.full((3, 1), 10.0), np.array(["a"], dtype=object), np.array([[0.5]])
    >>> res = _typed.run(price, price, None, None, None, index, labels, w, index[:1], labels, index[:1])
    >>> ops = _typed.stock_operations(res, w, index, index[:1], 1.0, True)
    >>> ops["weights"], ops["weight_time"]
    ({0: np.float64(0.5)}, 0)
    """
    from torvex.core import pathsim  # normalize_weight: a pure function of its arguments

    held = res.held
    actions: dict = {}
    weights: dict = {}
    next_weights: dict = {}
    rec: dict = {"actions": actions, "weights": weights, "next_weights": next_weights}

    total: Any = 0
    keys = res.rebalanced_keys
    if len(keys):
        row = pos_values[res.current_row]
        for sid in keys.tolist():
            w = np.float64(row[sid])
            weights[sid] = w if held[sid] else 0
            total = total + abs(w)
    _scale_down(weights, total)

    current, pending = res.current_row, res.pending_row
    if pending != current:
        next_row = pos_values[pending]
    else:
        next_row = res.latest_row if res.latest_row is not None else pos_values[current]
    exited = res.exited.tolist()  # [stock, take profit] in the order the run made them
    waiting = res.exit_pending.tolist()
    exited_ids = {s for s, _ in exited}
    waiting_ids = {s for s, _ in waiting}
    stop_trading = bool(stop_trading_next_period)
    # The sum runs left to right over the row as a loop over every stock would; a zero
    # weight adds nothing to it (|0| is +0.0), so only the others and the stopped
    # stocks are visited.
    visit = set(np.flatnonzero(next_row != 0.0).tolist())
    if stop_trading:
        visit |= (exited_ids | waiting_ids) & set(range(len(next_row)))
    total = 0
    for sid in sorted(visit):
        val = np.float64(next_row[sid])
        skip = dropped = False
        if stop_trading:
            if sid in exited_ids:
                skip = dropped = True
            elif sid in waiting_ids:
                skip, dropped = True, bool(held[sid])
        if not (dropped and res.should_rebalance):
            total = total + abs(val)
        if not skip and next_row[sid] != 0.0:
            next_weights[sid] = val
    rec["weight_time"] = current
    rec["next_weight_time"] = pending
    _scale_down(next_weights, total)

    limit = float(position_limit)
    for key in ("weights", "next_weights"):
        rec[key] = pathsim.normalize_weight(rec[key], limit)

    if res.should_rebalance:
        target = pos_values[pending]
        for sid in np.flatnonzero((target != 0.0) | held).tolist():
            val0 = target[sid]
            if not held[sid]:
                if val0 != 0.0:
                    actions[sid] = "enter"
            else:
                actions[sid] = "exit" if val0 == 0.0 else "hold"

    date = int(price_index[-1]) if len(price_index) else 0
    for sid, tp in waiting:
        if stop_trading or date > int(pos_index[pending]):
            actions[sid] = "tp" if tp else "sl"
            continue
        nw = rec["next_weights"]
        if sid in nw and nw[sid] != 0:
            actions[sid] = "tp_enter" if tp else "sl_enter"
    for sid, tp in exited:
        if stop_trading or sid not in actions:
            actions[sid] = "tp_" if tp else "sl_"
    return rec
