"""The engine's run log: why each trade of the last run ended, what the ledger
did for it (its fills, charges and cash flows), and where its rebalances
executed.

The trade log of :mod:`torvex.core.excursion` says when a trade ended but not
why, and the stock-operations record keeps only the last rebalance. The engine
records both as it runs and hands them out here (through a private export of
the ``pathsim`` shared object, not part of its Python namespace).

Exit reasons, decided on the bar the exit is decided:

``"rebalance"``
    A rebalance ended the trade: its target weight went to 0, or it resized a
    held position and the trade log split the trade there (it does so when
    ``retain_cost_when_rebalance`` is false and ``periodically_rebalance`` is
    true; a resize that keeps the trade whole is no trade end and has no
    entry).
``"take_profit"``
    The position left its exit band through the take-profit side: above the
    band for a long, below it for a short.
``"stop_loss"``
    It left through the stop side, and that side of the band was the stop-loss
    bound (1 - stop loss for a long, 1 + stop loss for a short).
``"trail_stop"``
    It left through the stop side, and on that bar the trailing stop had
    tightened that side beyond the stop-loss bound (armed, and the best ratio
    less the trail above 1 - stop loss for a long; the worst ratio plus the
    trail below 1 + stop loss for a short).
``"delisted"``
    Closed on its stock's delisting bar.
``"open"``
    Still held after the last bar (appended by the end of the run).

With touched exits the side is the bound the fill used (a gap through the band
at the open counts on the side the open lies); with close exits it is the side
the close left by, decided at that close and carried out at the next bar's
trading price. These are the same sides the "tp"/"sl" labels of
``get_stock_operations()`` follow.
"""

import ctypes

import numpy as np

EXIT_REASONS = ("rebalance", "stop_loss", "take_profit", "trail_stop", "delisted", "open")

#: The ledger's figures per trade, in the order the engine stores them.
FILL_FIELDS = ("entry_price", "exit_price", "fees", "taxes", "pnl", "committed")


class _Log(ctypes.Structure):
    _fields_ = [
        ("trades", ctypes.POINTER(ctypes.c_uint8)),
        ("n_trades", ctypes.c_int64),
        ("trade_size", ctypes.c_int64),
        ("rebalance_bars", ctypes.POINTER(ctypes.c_int64)),
        ("rebalance_rows", ctypes.POINTER(ctypes.c_int64)),
        ("n_rebalances", ctypes.c_int64),
        ("unrecorded", ctypes.POINTER(ctypes.c_uint8)),
        ("n_unrecorded", ctypes.c_int64),
        ("matches_trade_log", ctypes.c_int32),
    ]


# One trade's record as the engine stores it.
_TRADE = np.dtype(
    {
        "names": [*FILL_FIELDS, "exit_reason", "touched", "unpriced_exit"],
        "formats": ["<f8"] * 6 + ["i1", "u1", "u1"],
        "offsets": [8 * k for k in range(6)] + [48, 49, 50],
        "itemsize": 56,
    }
)
_UNRECORDED = np.dtype({"names": ["sid", "pnl"], "formats": ["<i4", "<f8"], "offsets": [0, 8], "itemsize": 16})


_export = None


def _last_run_log_export():
    global _export
    if _export is None:
        from torvex.core import pathsim

        # PyDLL: the call keeps the interpreter lock, so no run can start
        # while the log is copied out.
        fn = ctypes.PyDLL(pathsim.__file__).torvex_pathsim_last_run_log
        fn.restype = None
        fn.argtypes = [ctypes.POINTER(_Log)]
        _export = fn
    return _export


def _copy(ptr, n, dtype):
    if n == 0:
        return np.empty(0, dtype=dtype)
    return np.ctypeslib.as_array(ptr, shape=(n,)).astype(dtype, copy=True)


def _records(ptr, n, dtype):
    """A copy of ``n`` records of ``dtype`` at ``ptr``."""
    if n == 0:
        return np.zeros(0, dtype=dtype)
    return np.ctypeslib.as_array(ptr, shape=(n * dtype.itemsize,)).view(dtype).copy()


def last_run_log() -> dict:
    """The run log of the last ``backtest_`` call that completed.

    Returns
    -------
    dict
        ``"exit_reason"``: int8 array, one code (an index into
        :data:`EXIT_REASONS`) per element of ``excursion.trades`` of that run,
        in the trade log's order.
        ``"touched"``: bool array per trade, True when a touched exit closed it
        at its band on the bar itself (False for every other end).
        ``"rebalance_bars"``: int64 array, the bars at which a rebalance
        executed, in order.
        ``"rebalance_rows"``: int64 array, the row of ``pos_values`` each of
        those rebalances traded to.
        ``"entry_price"``, ``"exit_price"``: float64 arrays per trade, the
        prices the ledger filled at: a rebalance or a close exit at the bar's
        trading price, a touched exit at its band's level (at the open when
        the bar opened through the band), a stock without a price on its exit
        bar at the last price it was carried at; the exit is NaN for a trade
        still open, and an entry on a bar without a price is the first price
        the position was carried at.
        ``"fees"``, ``"taxes"``: float64 arrays per trade, the charges the
        ledger made for it, in units of the starting capital.
        ``"pnl"``: float64 array per trade, the sum of the cash flows of the
        ledger's calls on the stock while the trade was open (a buy counts
        minus its amount, a sale or close its net proceeds); where the trade
        log splits a held position at a resize, the value carried into the
        resize is credited to the trade that ends there and debited to the
        next; a trade open at the end adds its value at the last close. Over
        all trades it sums to the last portfolio value less 1, to rounding.
        ``"committed"``: float64 array per trade, the money value of its
        opening target plus later outlays that grew the holding.
        ``"unpriced_exit"``: bool array per trade, True when the exit bar had
        no trading price for the stock (it was closed at its last price).
        ``"unrecorded_sids"``, ``"unrecorded_pnl"``: trades the ledger opened
        whose held value reached exactly 0.0, which the trade log records as
        no holding: their stock ids and cash flows (they belong to no record).
        ``"matches_trade_log"``: bool, False when a later call restarted the
        trade log and then raised: the excursion lists then hold part of that
        failed run, while this log is still the completed run's.

        Before any run every array is empty and ``"matches_trade_log"`` is True.

    Examples
    --------
    >>> import numpy as np
    >>> from torvex.core import pathsim
    >>> from torvex._runlog import EXIT_REASONS, last_run_log
    >>> day = 86_400 * 10**9
    >>> index = day * np.arange(4, dtype=np.int64)
    >>> price = np.array([[10.0], [10.0], [8.0], [8.0]])
    >>> creturn = pathsim.backtest_(
    ...     price, price, None, None, None, index, np.array(["a"], dtype=object),
    ...     np.array([[1.0]]), index[:1], np.array(["a"], dtype=object), index[:1],
    ...     stop_loss=0.1)
    >>> log = last_run_log()  # bought at bar 1, stopped at the close of bar 2
    >>> [EXIT_REASONS[c] for c in log["exit_reason"]], log["rebalance_bars"].tolist()
    (['stop_loss'], [1])
    """
    out = _Log()
    _last_run_log_export()(ctypes.byref(out))
    if out.n_trades and out.trade_size != _TRADE.itemsize:
        raise RuntimeError(
            f"torvex: the engine's trade record is {out.trade_size} bytes, this module reads "
            f"{_TRADE.itemsize}; reinstall torvex"
        )
    trades = _records(out.trades, out.n_trades, _TRADE)
    unrecorded = _records(out.unrecorded, out.n_unrecorded, _UNRECORDED)
    return {
        "exit_reason": trades["exit_reason"].astype(np.int8),
        "touched": trades["touched"].astype(bool),
        **{name: np.ascontiguousarray(trades[name]) for name in FILL_FIELDS},
        "unpriced_exit": trades["unpriced_exit"].astype(bool),
        "unrecorded_sids": unrecorded["sid"].astype(np.int64),
        "unrecorded_pnl": np.ascontiguousarray(unrecorded["pnl"]),
        "rebalance_bars": _copy(out.rebalance_bars, out.n_rebalances, np.int64),
        "rebalance_rows": _copy(out.rebalance_rows, out.n_rebalances, np.int64),
        "matches_trade_log": bool(out.matches_trade_log),
    }
