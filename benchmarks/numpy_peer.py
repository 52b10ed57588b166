"""Plain NumPy rebalancing backtest used as a speed peer.

No stops: positions are carried from bar to bar by the trading-price ratio and,
on the bar after each rebalance row, reset to the target weights of the total
value, paying the fee on the traded amount (and tax on the sold amount).
Vectorised across stocks, looping over bars. It is not meant to reproduce the
engine's numbers exactly, only to do comparable work.
"""

import numpy as np


def numpy_backtest(price, pos_values, reb_bars, fee_ratio=0.001425, tax_ratio=0.003):
    B, N = price.shape
    out = np.empty(B)
    out[0] = 1.0
    hold = np.zeros(N)  # value held per stock
    cash = 1.0
    # a row dated on bar b is traded on bar b+1
    trade_row = np.full(B, -1, dtype=np.int64)
    nxt = reb_bars + 1
    ok = nxt < B
    trade_row[nxt[ok]] = np.nonzero(ok)[0]
    prev = price[0]
    for t in range(1, B):
        cur = price[t]
        hold *= cur / prev
        prev = cur
        r = trade_row[t]
        if r >= 0:
            total = cash + hold.sum()
            target = pos_values[r] * total
            diff = target - hold
            cost = fee_ratio * np.abs(diff).sum() - tax_ratio * diff[diff < 0].sum()
            hold = target
            cash = total - target.sum() - cost
        out[t] = cash + hold.sum()
    return out
