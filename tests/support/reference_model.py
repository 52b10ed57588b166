"""A slow, plain-Python model of one backtest run, used to check backtest_.

Every step is written out with Python floats in the same order of operations as
the engine, so the two agree bit for bit.  The model keeps its own copies of
everything the engine keeps between bars (position map, cumulative ratios,
previous trading prices, queued exits, the trade log) and returns what a caller
can observe after a run:

    creturn, trades, trade_positions, excursion_list, stock_operations

``trades`` holds ``[sid, entry_bar, exit_bar]`` (``-1`` for an open trade) as
Python ints, ``trade_positions`` the signed entry share of each trade,
``excursion_list`` one float64 statistics array per trade, and
``stock_operations`` the end-of-run record as get_stock_operations() gives it.

Stop exits are remembered as ``(sid, took_profit)`` pairs: the stock and whether
it left the band through its take-profit side.  That keeps stock 0 apart on the
two sides, which a signed id cannot.
"""

import math

import numpy as np

NAN = math.nan
INF = math.inf


def fdiv(a, b):
    """IEEE division: a zero divisor gives an infinity or NaN, never an error."""
    try:
        return a / b
    except ZeroDivisionError:
        if a != a or a == 0:
            return NAN
        return math.copysign(INF, a) * math.copysign(1.0, b)


def isnan(x):
    return x != x


def is_held(pos, sid):
    """A stock is held when it has a key with a non-zero value (NaN counts)."""
    return sid in pos and pos[sid] != 0.0


# --------------------------------------------------------------------------
# Trade log with excursion statistics
# --------------------------------------------------------------------------


class TradeLog:
    """Per-stock entry slots and the three parallel lists of finished trades."""

    def __init__(self, price, close, pos2price, nstocks, fee_ratio, tax_ratio, window, window_step):
        self.price = price
        self.close = close
        self.pos2price = dict(pos2price)
        self.fee_ratio = fee_ratio
        self.tax_ratio = tax_ratio
        self.window = window
        self.window_step = window_step
        self.entry = [0] * nstocks
        self.position = [0.0] * nstocks
        self.entry_transaction = [0] * nstocks
        self.date = 0
        self.trades = []
        self.trade_positions = []
        self.excursion = []

    def record_date(self, d):
        self.date = d

    def record_entry(self, sid, position_sid, has_transaction):
        self.entry[sid] = self.date
        self.position[sid] = position_sid
        self.entry_transaction[sid] = has_transaction

    def record_exit(self, sid, has_transaction):
        self.trades.append([sid, self.entry[sid], self.date])
        self.trade_positions.append(self.position[sid])
        self.excursion.append(
            self.excursion_analysis(
                sid, self.entry[sid], self.date, self.position[sid] > 0, self.entry_transaction[sid], has_transaction
            )
        )

    def end_analysis(self, pos):
        for sid in sorted(pos):
            if pos[sid] != 0:
                self.trades.append([sid, self.entry[sid], -1])
                self.trade_positions.append(self.position[sid])
                self.excursion.append(
                    self.excursion_analysis(
                        sid, self.entry[sid], self.date, self.position[sid] > 0, self.entry_transaction[sid], 0
                    )
                )

    def excursion_analysis(self, sid, i_entry, i_exit, is_long, entry_tx, exit_tx):
        """Statistics of one trade: sample blocks over the window, then the exit block.

        A short trade's ratio is kept mirrored as 2 - L, L being the long ratio.
        """
        price, close = self.price, self.close
        fee, tax = self.fee_ratio, self.tax_ratio
        window, step = self.window, self.window_step
        pid = self.pos2price.setdefault(sid, 0)

        i_exit_max = i_exit
        if i_entry + window > i_exit_max:
            i_exit_max = i_entry + window
        if i_exit_max >= price.shape[0]:
            i_exit_max = price.shape[0] - 1

        entry_price = float(price[i_entry, pid])
        entry_close = float(close[i_entry, pid])
        if is_long:
            ratio = entry_close / entry_price
        else:
            ratio = 2 - entry_close / entry_price
        if entry_tx:
            ratio = (1 - fee) * ratio

        r = ratio
        returns = [r]
        cummax = [1 if 1 > r else r]
        cummin = [1 if r > 1 else r]
        cummin_i = [0]
        mdd = [r - 1 if r - 1 < 0 else 0]
        profit_period = [1 if r > 1 else 0]

        pv = entry_close
        for i, b in enumerate(range(i_entry + 1, i_exit_max + 1)):
            v = float(close[b, pid])
            if not isnan(v):
                p = v / pv
                if not isnan(p):
                    if is_long:
                        ratio = ratio * p
                    else:
                        ratio = 2 - p * (2 - ratio)
                pv = v
            cmax, cmin = cummax[i], cummin[i]
            if ratio > cmax:
                cummax.append(ratio)
                cmax = ratio
            else:
                cummax.append(cmax)
            if cmin > ratio:
                cummin.append(ratio)
                cummin_i.append(i)
            else:
                cummin.append(cmin)
                cummin_i.append(cummin_i[i])
            newmdd = ratio / cmax - 1
            mdd.append(newmdd if mdd[i] > newmdd else mdd[i])
            if not isnan(v) and ratio > 1:
                profit_period.append(profit_period[i] + 1)
            else:
                profit_period.append(profit_period[i])
            returns.append(ratio)

        n = len(returns)
        e = min(i_exit - i_entry, n - 1)

        # Exit costs land on the exit bar itself: move it from the close to the
        # trading price (not needed when entry and exit share a bar), then take
        # off the fee and the tax.
        if exit_tx:
            if e != 0:
                p = float(price[i_entry + e, pid])
                v = float(close[i_entry + e, pid])
                if is_long:
                    returns[e] = p / v * returns[e]
                else:
                    returns[e] = 2 - (2 - returns[e]) * p / v
            returns[e] = (1 - fee - tax) * returns[e]

        arsize = ((window - 1) // step) * 6 + 12
        ret = np.empty(arsize)
        ret.fill(-1)
        k = 0
        w = 0
        while w < min(n, window):
            mae_i = cummin_i[w]
            for value in (cummin[w] - 1, cummax[w] - 1, cummax[mae_i] - 1, mdd[w], profit_period[w], returns[w] - 1):
                ret[k] = value
                k += 1
            w += step
        ret[arsize - 6] = cummin[e] - 1
        ret[arsize - 5] = cummax[e] - 1
        ret[arsize - 4] = cummax[cummin_i[e]] - 1
        ret[arsize - 3] = mdd[e]
        ret[arsize - 2] = profit_period[e]
        ret[arsize - 1] = returns[e] - 1
        return ret


# --------------------------------------------------------------------------
# Ledger
# --------------------------------------------------------------------------


def set_position(run, p, sid, position, cash, check_null=True, set_null=False, balance=1):
    """Move one stock to the money value `position`; returns the new cash."""
    fee, tax = run.fee_ratio, run.tax_ratio
    log = run.log
    exist = (sid in p) if check_null else True
    prev_has_position = sid in p and p[sid] != 0.0
    next_has_position = position != 0.0

    if not prev_has_position and next_has_position:
        log.record_entry(sid, position / balance, 1)
    elif prev_has_position and not next_has_position:
        log.record_exit(sid, 1)
    elif prev_has_position and next_has_position:
        if run.retain_cost_when_rebalance:
            pass
        elif run.periodically_rebalance:
            log.record_exit(sid, 0)
            log.record_entry(sid, position / balance, 0)

    if position == 0.0:
        if exist:
            v = p.setdefault(sid, 0.0)
            if set_null:
                del p[sid]
            else:
                p[sid] = 0.0
            cash = (v - abs(v) * (fee + tax)) + cash
        return cash

    if not exist or sid not in p:
        p[sid] = 0.0
    amount = position - p[sid]
    buy = amount > 0
    if buy:
        is_entry = position >= 0
    else:
        is_entry = position <= 0 and amount < 0
    if is_entry:
        cost = abs(amount) * fee
    else:
        cost = abs(amount) * (fee + tax)
    if buy:
        cash = cash - amount
        p[sid] = (amount - cost) + p[sid]
    else:
        cash = ((-amount) - cost) + cash
        p[sid] = amount + p[sid]
    if set_null and p[sid] == 0.0:
        del p[sid]
    return cash


def rebalance(run, p, newp, cash):
    """Move the whole map to the weights `newp` (a float64 array)."""
    balance = cash
    for sid in sorted(p):
        balance += p[sid]

    gross = np.sum(np.abs(newp))
    divisor = 1 if 1 > gross else gross
    ratio = float(balance / divisor)
    if isnan(ratio):
        ratio = 1.0

    limit = abs(run.position_limit * balance)
    for sid, weight in enumerate(newp.tolist()):
        v2 = weight * ratio
        if abs(v2) > limit:
            v2 = limit * (1 if v2 > 0 else -1)
        cash = set_position(run, p, sid, v2, cash, check_null=True, set_null=True, balance=balance)
    return cash


def normalize_weight(weights, position_limit):
    weight_sum = 0.0
    for key in weights:
        weight_sum += abs(weights[key])
    for key in weights:
        if weight_sum > 1:
            weights[key] = weights[key] * (1 / weight_sum)
    for key in weights:
        if weights[key] > position_limit:
            weights[key] = position_limit
        elif weights[key] < -position_limit:
            weights[key] = -position_limit
    return weights


def validate_trade_price(value, symbol, row):
    if isnan(value):
        return
    if value > 0 and abs(value) <= 1.7976931348623157e308:
        return
    raise ValueError(
        f"Invalid trading price for {symbol} at price row {row}: {float(value)!r}. "
        "Expected a positive finite price; check the trading-price dataset."
    )


# --------------------------------------------------------------------------
# Inputs
# --------------------------------------------------------------------------


def map_columns(price_columns, pos_columns):
    index = {}
    for i, name in enumerate(price_columns):
        index[name.encode("UTF-8")] = i
    return {i: index[name.encode("UTF-8")] for i, name in enumerate(pos_columns) if name.encode("UTF-8") in index}


def threshold_lookup(threshold, nbars, ncols):
    """Thresholds as a (bars x position columns) array of floats."""
    if hasattr(threshold, "values") and hasattr(threshold, "rows"):
        values, rows = np.asarray(threshold.values), np.asarray(threshold.rows)
        return values[rows]
    arr = np.asarray(threshold, dtype=float)
    if arr.ndim == 0:
        return np.full((nbars, ncols), float(arr))
    if arr.ndim == 1:
        return np.tile(arr, (nbars, 1))
    return arr.copy()


def rebalance_marks(price_index, resample):
    marks = [0] * len(price_index)
    ptr = 0
    for t in resample:
        while ptr + 1 < len(price_index) and price_index[ptr + 1] <= t:
            ptr += 1
        marks[ptr] = 1
    return marks


# --------------------------------------------------------------------------
# One run
# --------------------------------------------------------------------------


class Run:
    """Everything one run keeps between bars."""

    def __init__(self, args):
        a = args
        self.price = a["price_values"]
        self.close = a["close_values"]
        self.high = a["high_values"]
        self.low = a["low_values"]
        self.open = a["open_values"]
        self.price_index = [int(x) for x in a["price_index"]]
        self.pos_values = a["pos_values"]
        self.pos_index = [int(x) for x in a["pos_index"]]
        self.pos_columns = a["pos_columns"]
        self.fee_ratio = float(a["fee_ratio"])
        self.tax_ratio = float(a["tax_ratio"])
        self.trail_stop_abs = abs(float(a["trail_stop"]))
        self.trail_stop_activation_abs = abs(float(a["trail_stop_activation"]))
        self.touched_exit = bool(a["touched_exit"])
        self.position_limit = float(a["position_limit"])
        self.retain_cost_when_rebalance = bool(a["retain_cost_when_rebalance"])
        self.stop_trading_next_period = bool(a["stop_trading_next_period"])
        self.periodically_rebalance = bool(a["periodically_rebalance"])
        delisting = a["delisting_bars"]
        self.delisting_bars = None if delisting is None else np.asarray(delisting)
        self.has_delisting = delisting is not None and bool((self.delisting_bars >= 0).any())

        nbars = len(self.price_index)
        npos = self.pos_values.shape[1]
        self.npos = npos
        self.pos2price = map_columns(a["price_columns"], a["pos_columns"])
        self.stop_loss = threshold_lookup(a["stop_loss"], nbars, npos)
        self.take_profit = threshold_lookup(a["take_profit"], nbars, npos)
        self.date_rebalance = rebalance_marks(self.price_index, [int(x) for x in a["resample"]])
        self.log = TradeLog(
            self.price,
            self.close,
            self.pos2price,
            npos,
            self.fee_ratio,
            self.tax_ratio,
            int(a["excursion_window"]),
            int(a["excursion_window_step"]),
        )

        self.pos = {}
        self.latest_rebalanced_pos = {}
        self.latest_rebalanced_row = None
        self.creturn = np.empty(nbars)
        self.cr = [1.0] * npos
        self.maxcr = [1.0] * npos
        self.mincr = [1.0] * npos
        # Trading price each position column was last carried from.
        self.previous_price = [1.0] * npos
        self.exit_stocks = []  # (sid, took_profit) detected at the previous close
        self.exit_stocks_temp = []  # detections of this bar's close
        self.exited_stocks = []  # stop exits since the last executed rebalance
        self.cash = 1.0
        self.balance = 1.0
        self.pos_id = 0
        self.current_position_id = -1
        self.should_rebalance = False

    def reset_cost_basis(self, sid):
        self.cr[sid] = self.maxcr[sid] = self.mincr[sid] = 1.0

    # ---- per held position -------------------------------------------------

    def carry_position(self, d, sid):
        """Carry one held stock to this bar's trading price; returns the ratio r."""
        pid = self.pos2price[sid]
        price = float(self.price[d, pid])
        validate_trade_price(price, self.pos_columns[sid], d)
        if isnan(self.previous_price[sid]):
            self.previous_price[sid] = price
        r = fdiv(price, self.previous_price[sid])
        if isnan(r):
            r = 1
        self.pos[sid] = self.pos[sid] * r
        self.cr[sid] = self.cr[sid] * r
        if self.cr[sid] > self.maxcr[sid]:
            self.maxcr[sid] = self.cr[sid]
        if self.cr[sid] < self.mincr[sid]:
            self.mincr[sid] = self.cr[sid]
        return r

    def exit_band(self, d, sid):
        """(entry_pos, max_r, min_r) of one held stock on bar d."""
        entry_pos = fdiv(self.pos[sid], self.cr[sid])
        stop_loss_abs = abs(float(self.stop_loss[d, sid]))
        take_profit_abs = abs(float(self.take_profit[d, sid]))
        if entry_pos > 0:
            trail_active = self.maxcr[sid] >= 1 + self.trail_stop_activation_abs
            max_r = 1 + take_profit_abs
            min_r = 1 - stop_loss_abs
            if trail_active and self.maxcr[sid] - self.trail_stop_abs > min_r:
                min_r = self.maxcr[sid] - self.trail_stop_abs
        else:
            trail_active = self.mincr[sid] <= 1 - self.trail_stop_activation_abs
            max_r = 1 + stop_loss_abs
            if trail_active and self.mincr[sid] + self.trail_stop_abs < max_r:
                max_r = self.mincr[sid] + self.trail_stop_abs
            min_r = 1 - take_profit_abs
        return entry_pos, max_r, min_r

    def touched_exit_test(self, d, sid, r, entry_pos, max_r, min_r):
        """Close the stock on this bar when its high, low or open crosses the band."""
        pid = self.pos2price[sid]
        base = fdiv(self.cr[sid], r)
        prev = self.previous_price[sid]
        high_r = base * fdiv(float(self.high[d, pid]), prev)
        low_r = base * fdiv(float(self.low[d, pid]), prev)
        open_r = base * fdiv(float(self.open[d, pid]), prev)

        touch_low = low_r <= min_r
        touch_high = high_r >= max_r
        touch_open = open_r >= max_r or open_r <= min_r
        if touch_open:
            self.pos[sid] = entry_pos * open_r
        elif touch_high:
            self.pos[sid] = entry_pos * max_r
        elif touch_low:
            self.pos[sid] = entry_pos * min_r
        if touch_low or touch_high or touch_open:
            if touch_open:
                upper = open_r >= max_r
            else:
                upper = touch_high
            took_profit = upper if entry_pos > 0 else not upper
            self.exited_stocks.append((sid, took_profit))
            self.cash = set_position(self, self.pos, sid, 0.0, self.cash, check_null=False, set_null=False)

    def close_exit_test(self, d, sid, entry_pos, max_r, min_r):
        """Queue an exit for the next bar when the close leaves the band."""
        pid = self.pos2price[sid]
        cr_at_close = fdiv(self.cr[sid] * float(self.close[d, pid]), float(self.price[d, pid]))
        if cr_at_close >= max_r:
            self.exit_stocks_temp.append((sid, entry_pos > 0))
        elif cr_at_close < min_r:
            self.exit_stocks_temp.append((sid, not entry_pos > 0))

    def process_position(self, d, sid):
        r = self.carry_position(d, sid)
        entry_pos, max_r, min_r = self.exit_band(d, sid)
        if self.touched_exit:
            self.touched_exit_test(d, sid, r, entry_pos, max_r, min_r)
        else:
            self.close_exit_test(d, sid, entry_pos, max_r, min_r)
        price = float(self.price[d, self.pos2price[sid]])
        if not isnan(price):
            self.previous_price[sid] = price

    # ---- after the positions ------------------------------------------------

    def execute_queued_exits(self):
        for sid, took_profit in self.exit_stocks:
            will_be_set_by_rebalance = (
                self.should_rebalance and not self.stop_trading_next_period and self.pos_values[self.pos_id, sid] != 0
            )
            if is_held(self.pos, sid) and not will_be_set_by_rebalance:
                self.cash = set_position(self, self.pos, sid, 0.0, self.cash, check_null=False, set_null=True)
                self.exited_stocks.append((sid, took_profit))
                self.reset_cost_basis(sid)
                for k, (other, _) in enumerate(self.exit_stocks_temp):
                    if other == sid:
                        del self.exit_stocks_temp[k]
                        break
        self.exit_stocks = list(self.exit_stocks_temp)
        self.exit_stocks_temp = []

    def rebalance_step(self, d):
        held_before = {sid for sid in self.pos if is_held(self.pos, sid)}
        row = self.pos_values[self.pos_id]
        if self.retain_cost_when_rebalance:
            for sid in range(self.npos):
                pv = float(row[sid])
                if pv != 0 and (sid not in self.pos or self.pos[sid] * pv <= 0):
                    self.reset_cost_basis(sid)
        else:
            for sid in range(self.npos):
                self.reset_cost_basis(sid)

        rebalance_row = row.copy()
        if self.stop_trading_next_period and self.exited_stocks:
            for sid, _ in self.exited_stocks:
                rebalance_row[sid] = 0
        self.cash = rebalance(self, self.pos, rebalance_row, self.cash)
        self.exited_stocks = []
        self.latest_rebalanced_pos = dict(self.pos)

        # New previous prices: the bar's price; a held stock without a price on
        # this bar keeps the price it was last carried from.
        for sid, pid in self.pos2price.items():
            price = float(self.price[d, pid])
            if not isnan(price):
                self.previous_price[sid] = price
            elif sid not in held_before:
                self.previous_price[sid] = NAN
        self.latest_rebalanced_row = rebalance_row
        self.current_position_id = self.pos_id

    def delisting_step(self, d):
        delisted = [sid for sid in sorted(self.pos) if self.delisting_bars[sid] == d and self.pos[sid] != 0]
        for sid in delisted:
            self.cash = set_position(self, self.pos, sid, 0.0, self.cash, check_null=False, set_null=True)
            self.reset_cost_basis(sid)

    def value_at_close(self, d):
        balance = self.cash
        for sid in sorted(self.pos):
            value = self.pos[sid]
            if value == 0.0:
                continue
            pid = self.pos2price[sid]
            trade_price = float(self.price[d, pid])
            validate_trade_price(trade_price, self.pos_columns[sid], d)
            close_price = float(self.close[d, pid])
            if isnan(trade_price) or isnan(close_price):
                balance += value
            else:
                balance += fdiv(value * close_price, trade_price)
        self.balance = balance
        self.creturn[d] = balance

    def choose_next_row(self, d):
        n = len(self.price_index)
        next_bar = self.price_index[d + 1] if d < n - 1 else INF
        while self.pos_id < len(self.pos_index) - 1 and self.pos_index[self.pos_id + 1] < next_bar:
            self.pos_id += 1
        self.should_rebalance = self.pos_id != self.current_position_id and self.date_rebalance[d] != 0

    # ---- the bar loop ---------------------------------------------------------

    def run_bars(self):
        n = len(self.price_index)
        for d, date in enumerate(self.price_index):
            if date < self.pos_index[0]:
                self.creturn[d] = 1.0
                # The first row dated between this bar and the next is taken at
                # this bar's end, like any later row.
                if d + 1 < n and self.pos_index[0] < self.price_index[d + 1]:
                    self.choose_next_row(d)
                continue
            self.log.record_date(d)
            for sid in sorted(self.pos):
                if self.pos[sid] == 0.0:
                    continue
                self.process_position(d, sid)
            self.execute_queued_exits()
            if self.should_rebalance:
                self.rebalance_step(d)
            if self.has_delisting:
                self.delisting_step(d)
            self.value_at_close(d)
            self.choose_next_row(d)

    # ---- end of run -------------------------------------------------------------

    def stock_operations(self):
        pos = self.pos
        stop_next = self.stop_trading_next_period
        record = {"actions": {}, "weights": {}, "next_weights": {}}
        actions, weights, next_weights = record["actions"], record["weights"], record["next_weights"]

        latest_weight_sum = 0
        for sid in sorted(self.latest_rebalanced_pos):
            weight = self.pos_values[self.current_position_id, sid]
            weights[sid] = weight if is_held(pos, sid) else 0
            latest_weight_sum += abs(weight)
        for sid in weights:
            weights[sid] = weights[sid] / max(1, latest_weight_sum)

        if self.pos_id != self.current_position_id:
            next_row = self.pos_values[self.pos_id]
        else:
            next_row = self.latest_rebalanced_row
        total_next_weight_sum = 0
        for sid in range(len(next_row)):
            val1 = next_row[sid]
            skip, dropped = 0, False
            if stop_next:
                if any(s == sid for s, _ in self.exited_stocks):
                    skip, dropped = 1, True
                elif any(s == sid for s, _ in self.exit_stocks):
                    skip, dropped = 1, is_held(pos, sid)
            if not (dropped and self.should_rebalance):
                total_next_weight_sum += abs(val1)
            if skip == 0 and val1 != 0:
                next_weights[sid] = val1
        record["weight_time"] = self.current_position_id
        record["next_weight_time"] = self.pos_id
        for sid in next_weights:
            next_weights[sid] = next_weights[sid] / max(1, total_next_weight_sum)
        record["weights"] = normalize_weight(record["weights"], self.position_limit)
        record["next_weights"] = normalize_weight(record["next_weights"], self.position_limit)

        if self.should_rebalance:
            for sid in range(self.npos):
                val0 = self.pos_values[self.pos_id, sid]
                if not is_held(pos, sid):
                    if val0 != 0:
                        actions[sid] = "enter"
                elif val0 == 0:
                    actions[sid] = "exit"
                else:
                    actions[sid] = "hold"

        date = self.price_index[-1]
        for sid, took_profit in self.exit_stocks:
            label = "tp" if took_profit else "sl"
            if stop_next:
                actions[sid] = label
            elif date > self.pos_index[self.pos_id]:
                actions[sid] = label
            elif sid in next_weights and next_weights[sid] != 0:
                actions[sid] = label + "_enter"

        for sid, took_profit in self.exited_stocks:
            if stop_next or sid not in actions:
                actions[sid] = "tp_" if took_profit else "sl_"
        return record


DEFAULTS = dict(
    fee_ratio=0.001425,
    tax_ratio=0.003,
    stop_loss=1.0,
    take_profit=np.inf,
    trail_stop=np.inf,
    trail_stop_activation=0.0,
    touched_exit=False,
    position_limit=1.0,
    retain_cost_when_rebalance=False,
    stop_trading_next_period=True,
    excursion_window=0,
    excursion_window_step=1,
    periodically_rebalance=True,
    delisting_bars=None,
)


def reference_backtest(**kwargs):
    """Run the model; same arguments as backtest_ (given by keyword)."""
    args = dict(DEFAULTS)
    args.update(kwargs)
    run = Run(args)
    run.run_bars()
    run.log.end_analysis(run.pos)
    ops = run.stock_operations()
    return run.creturn, run.log.trades, run.log.trade_positions, run.log.excursion, ops


# --------------------------------------------------------------------------
# Inputs for small hand-written runs
# --------------------------------------------------------------------------

DAY = 86_400 * 10**9  # one day in nanoseconds
T0 = 1_577_836_800 * 10**9  # 2020-01-01 00:00 UTC


def bar_date(x):
    """Date of bar `x` on daily bars from T0; a fractional x lies between bars."""
    return T0 + int(round(x * DAY))


def run_inputs(
    prices, rows, closes=None, resample=None, names=None, pos_columns=None, high=None, low=None, open_=None, **settings
):
    """Keyword arguments of backtest_ for a small run on daily bars.

    `prices` and `closes` are bars x columns (a flat list means one column;
    `closes` defaults to the prices), `rows` a list of (bar, weights) with a
    fractional bar for a date between bars, `resample` a list of bars (default:
    every bar).  Fees and taxes are 0 unless given.
    """

    def table(x):
        if x is None:
            return None
        arr = np.array(x, dtype=float)
        return arr.reshape(-1, 1) if arr.ndim == 1 else arr

    price = table(prices)
    nbars, ncols = price.shape
    close = price.copy() if closes is None else table(closes)
    names = [chr(ord("A") + i) for i in range(ncols)] if names is None else list(names)
    pos_columns = names if pos_columns is None else list(pos_columns)
    args = dict(
        price_values=price,
        close_values=close,
        high_values=table(high),
        low_values=table(low),
        open_values=table(open_),
        price_index=np.array([bar_date(i) for i in range(nbars)], dtype=np.int64),
        price_columns=np.array(names, dtype=object),
        pos_values=np.array([w for _, w in rows], dtype=float).reshape(len(rows), len(pos_columns)),
        pos_index=np.array([bar_date(b) for b, _ in rows], dtype=np.int64),
        pos_columns=np.array(pos_columns, dtype=object),
        resample=np.array([bar_date(b) for b in (range(nbars) if resample is None else resample)], dtype=np.int64),
        fee_ratio=0.0,
        tax_ratio=0.0,
    )
    args.update(settings)
    return args
