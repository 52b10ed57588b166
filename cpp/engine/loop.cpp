// The bar loop: valuation of held positions, exit bands and stop exits,
// rebalances on marked bars, delisting, and the portfolio value at each close;
// the plain set-up steps before it and the open trades recorded after it.
#include <cfloat>
#include <cmath>
#include <map>
#include <utility>

#include "ledger.hpp"
#include "run.hpp"

namespace torvex::engine {

namespace {

// A missing price (NaN) passes; a present one must be positive and finite.
// The usual case, a positive finite price, takes two comparisons.
inline void validate_trade_price(double value, const Run&, int sid, int row) {
    if (value > 0.0 && value <= DBL_MAX) [[likely]]
        return;
    if (std::isnan(value)) return;
    throw InvalidPrice{sid, row, value};
}

inline void reset_ratios(Run& r, int sid) {
    StockState& st = r.stocks[static_cast<std::size_t>(sid)];
    st.cr = 1.0;
    st.maxcr = 1.0;
    st.mincr = 1.0;
}

// The exit band of one held position on one bar: its value at the entry
// price (the sign gives the side) and the bounds for its cumulative ratio.
struct Band {
    double entry_pos;
    double max_r;
    double min_r;
};

// What the exit band of every position on one bar reads besides the
// position's own state: the rows of the threshold tables and the trailing stop.
struct BandInputs {
    const char* stop_loss_row;
    index_t stop_loss_step;
    const char* take_profit_row;
    index_t take_profit_step;
    double trail_stop_abs;
    double long_activation;   // 1 + |trail_stop_activation|
    double short_activation;  // 1 - |trail_stop_activation|

    BandInputs(const Run& r, int64_t sl_row, int64_t tp_row)
        : stop_loss_row(r.stop_loss_values.data + sl_row * r.stop_loss_values.s0),
          stop_loss_step(r.stop_loss_values.s1),
          take_profit_row(r.take_profit_values.data + tp_row * r.take_profit_values.s0),
          take_profit_step(r.take_profit_values.s1),
          trail_stop_abs(r.trail_stop_abs),
          long_activation(1.0 + r.trail_stop_activation_abs),
          short_activation(1.0 - r.trail_stop_activation_abs) {}
};

// Upper and lower exit bounds for the cumulative ratio of one held position.
// Both sides are computed and chosen between without branches: whether a
// trailing stop tightens the band flips from bar to bar as the ratio moves.
inline Band exit_band(const BandInputs& in, const StockState& st, int sid, double value) {
    Band b;
    b.entry_pos = value / st.cr;
    const double stop_loss_abs =
        std::abs(detail::load<double>(in.stop_loss_row + sid * in.stop_loss_step));
    const double take_profit_abs =
        std::abs(detail::load<double>(in.take_profit_row + sid * in.take_profit_step));
    // Long: take profit above, stop loss (raised by an active trailing stop) below.
    const double long_min = 1.0 - stop_loss_abs;
    const double long_trail = st.maxcr - in.trail_stop_abs;
    const bool raise_min = (st.maxcr >= in.long_activation) & (long_trail > long_min);
    // Short: the mirror image.
    const double short_max = 1.0 + stop_loss_abs;
    const double short_trail = st.mincr + in.trail_stop_abs;
    const bool lower_max = (st.mincr <= in.short_activation) & (short_trail < short_max);
    if (b.entry_pos > 0.0) {
        b.max_r = 1.0 + take_profit_abs;
        b.min_r = raise_min ? long_trail : long_min;
    } else {
        b.max_r = lower_max ? short_trail : short_max;
        b.min_r = 1.0 - take_profit_abs;
    }
    return b;
}

// Whether the trailing stop formed the stop side of the band exit_band gave
// (the same tests). Asked only when a position leaves by that side, so the
// band of every bar carries no flag for it.
inline bool trail_formed_stop(const BandInputs& in, const StockState& st, int sid, bool is_long) {
    const double stop_loss_abs =
        std::abs(detail::load<double>(in.stop_loss_row + sid * in.stop_loss_step));
    if (is_long) {
        return (st.maxcr >= in.long_activation) &
               (st.maxcr - in.trail_stop_abs > 1.0 - stop_loss_abs);
    }
    return (st.mincr <= in.short_activation) & (st.mincr + in.trail_stop_abs < 1.0 + stop_loss_abs);
}

// Why a position leaves its band by one side.
inline ExitReason exit_reason(const BandInputs& in, const StockState& st, int sid, bool is_long,
                              bool take_profit_side) {
    if (take_profit_side) return ExitReason::take_profit;
    return trail_formed_stop(in, st, sid, is_long) ? ExitReason::trail_stop : ExitReason::stop_loss;
}

// The held stocks' cells of one table on one bar. Each held stock is a
// different cache line of every table, so on bars where every priced column
// lies inside every table the cells are first gathered in a tight loop whose
// loads overlap, and the next bar's are asked for while this one is computed;
// otherwise each read is checked where it happens (raising the index error).
template <bool Checked>
struct Cells {
    const View2<double>& v;
    index_t d;
    Cells(const View2<double>& view, std::vector<double>&, index_t bar) : v(view), d(bar) {}
    double get(std::size_t, int pid) const {
        if (pid < 0) out_of_bounds(1);  // a price column, never counted from the end
        return v.at(d, pid);
    }
    void prefetch_next(int) const {}
};

template <>
struct Cells<false> {
    const double* gathered;
    const char* next_row;  // the next bar's row, or null on the last unchecked bar
    index_t step;
    Cells(const View2<double>& v, std::vector<double>& out, index_t)
        : gathered(out.data()), next_row(nullptr), step(v.s1) {}
    double get(std::size_t k, int) const { return gathered[k]; }
    void prefetch_next(int pid) const {
        if (next_row != nullptr) __builtin_prefetch(next_row + pid * step);
    }
};

void gather(const Run& r, const View2<double>& v, index_t d, std::vector<double>& out) {
    const std::vector<int>& keys = r.pos.keys();
    const std::size_t n = keys.size();
    out.resize(n);
    const char* row = v.data + d * v.s0;
    const StockState* stocks = r.stocks.data();
    for (std::size_t k = 0; k < n; ++k)
        out[k] = detail::load<double>(row + stocks[keys[k]].pid * v.s1);
}

// The cells of every table the bar reads, gathered first on unchecked bars,
// with the next bar's rows to prefetch from.
template <bool Checked, bool Touched>
struct BarCells {
    Cells<Checked> price, close, high, low, open;

    // The cells are gathered before the members point at them.
    static Run& gathered(Run& r, index_t d) {
        if constexpr (!Checked) {
            gather(r, r.price, d, r.bar_price);
            gather(r, r.close, d, r.bar_close);
            if constexpr (Touched) {
                gather(r, r.high, d, r.bar_high);
                gather(r, r.low, d, r.bar_low);
                gather(r, r.open, d, r.bar_open);
            }
        }
        return r;
    }

    BarCells(Run& r, index_t d)
        : price(gathered(r, d).price, r.bar_price, d),
          close(r.close, r.bar_close, d),
          high(r.high, r.bar_high, d),
          low(r.low, r.bar_low, d),
          open(r.open, r.bar_open, d) {
        if constexpr (!Checked) {
            if (d + 1 < r.rows_inside) {
                price.next_row = r.price.data + (d + 1) * r.price.s0;
                close.next_row = r.close.data + (d + 1) * r.close.s0;
                if constexpr (Touched) {
                    high.next_row = r.high.data + (d + 1) * r.high.s0;
                    low.next_row = r.low.data + (d + 1) * r.low.s0;
                    open.next_row = r.open.data + (d + 1) * r.open.s0;
                }
            }
        }
    }

    void prefetch_next(int pid) const {
        price.prefetch_next(pid);
        close.prefetch_next(pid);
        if constexpr (Touched) {
            high.prefetch_next(pid);
            low.prefetch_next(pid);
            open.prefetch_next(pid);
        }
    }
};

// Carries a held position to the bar's trading price and updates its ratios;
// returns the bar's price ratio (1 where either price is missing).
[[gnu::always_inline]] inline double carry(StockState& st, double& value, double price) {
    double& prev = st.previous_price;
    if (std::isnan(prev)) prev = price;
    double ratio = price / prev;
    if (std::isnan(ratio)) ratio = 1.0;
    value = value * ratio;
    double& cr = st.cr;
    cr = cr * ratio;
    // Stored unconditionally (a max and a min instruction, no branch): right
    // after a rebalance resets the ratios these are coin flips.
    st.maxcr = cr > st.maxcr ? cr : st.maxcr;
    st.mincr = cr < st.mincr ? cr : st.mincr;
    return ratio;
}

// The close of a position whose band was touched inside the bar, at the
// crossing level: the open on a gap through the band, else the bound touched
// (the upper one when both were). The key stays in the map at 0.0. Out of the
// per-position loop's way: touches are rare next to the bars a position is
// simply carried through.
[[gnu::noinline, gnu::cold]] void close_touched(Run& r, const BandInputs& in, const StockState& st,
                                                int sid, double& value, const Band& band,
                                                double base, bool touch_open, bool touch_high,
                                                double open_r, double open) {
    bool upper = false;  // the bound the fill used
    double fill = open;  // the fill's price: the open on a gap, else the bound's level
    if (touch_open) {
        value = band.entry_pos * open_r;
        upper = open_r >= band.max_r;
    } else if (touch_high) {
        value = band.entry_pos * band.max_r;
        upper = true;
        fill = st.previous_price * (band.max_r / base);
    } else {
        value = band.entry_pos * band.min_r;
        fill = st.previous_price * (band.min_r / base);
    }
    const bool is_long = band.entry_pos > 0.0;
    const ExitReason reason = exit_reason(in, st, sid, is_long, upper == is_long);
    r.exited_stocks.push_back({sid, reason});
    r.cash = set_position(r, r.pos, sid, 0.0, r.cash, r.cfg.fee_ratio, r.cfg.tax_ratio, false,
                          false, 1.0, {reason, true, fill});
}

// Touched exits: a band crossed inside the bar (by its open, high or low, in
// that order of precedence) closes the position at once at the crossing level.
[[gnu::always_inline]] inline void exit_on_touch(Run& r, const BandInputs& in, const StockState& st,
                                                 int sid, double& value, const Band& band,
                                                 double ratio, double high, double low,
                                                 double open) {
    const double prev = st.previous_price;
    const double base = st.cr / ratio;
    const double high_r = base * (high / prev);
    const double low_r = base * (low / prev);
    const double open_r = base * (open / prev);
    const bool touch_low = low_r <= band.min_r;
    const bool touch_high = high_r >= band.max_r;
    const bool touch_open = open_r >= band.max_r || open_r <= band.min_r;
    if (!(touch_low || touch_high || touch_open)) [[likely]]
        return;
    close_touched(r, in, st, sid, value, band, base, touch_open, touch_high, open_r, open);
}

// Out of the per-position loop's way: exits are rare next to the bars a
// position is simply carried through.
[[gnu::noinline, gnu::cold]] void queue_exit(Run& r, const BandInputs& in, const StockState& st,
                                             int sid, bool is_long, bool take_profit_side) {
    r.exit_stocks_temp.push_back({sid, exit_reason(in, st, sid, is_long, take_profit_side)});
}

// Close exits: a close outside the band queues the position to be closed on
// the next bar at that bar's trading price.
[[gnu::always_inline]] inline void queue_close_exit(Run& r, const BandInputs& in,
                                                    const StockState& st, int sid, const Band& band,
                                                    double price, double close_price) {
    const double cr_at_close = st.cr * close_price / price;
    const bool is_long = band.entry_pos > 0.0;
    if (cr_at_close >= band.max_r) [[unlikely]] {
        queue_exit(r, in, st, sid, is_long, is_long);
    } else if (cr_at_close < band.min_r) [[unlikely]] {
        queue_exit(r, in, st, sid, is_long, !is_long);
    }
}

// Per held position: carry to the bar's trading price, update the ratios, test
// the exit band (closing at once on a touch, or queueing a close exit), then move
// the previous price forward. On unchecked bars the position's value at the
// close is kept too, so the bar's valuation can reuse it when nothing changes
// the positions in between. Everything the loop reads of the run is taken into
// locals first: the loop's stores and calls would otherwise make the compiler
// load it again for every position.
template <bool Checked, bool Touched>
void value_positions(Run& r, index_t d, int64_t sl_row, int64_t tp_row) {
    const BarCells<Checked, Touched> cells(r, d);
    const BandInputs band_inputs(r, sl_row, tp_row);
    const int* const keys = r.pos.keys().data();
    const std::size_t n = r.pos.keys().size();  // a touched exit keeps its key
    StockState* const stocks = r.stocks.data();
    double* const values = r.pos.value_data();
    const int row = static_cast<int>(d);

    for (std::size_t k = 0; k < n; ++k) {
        const int sid = keys[k];
        StockState& st = stocks[sid];
        const int sidprice = st.pid;
        cells.prefetch_next(sidprice);
        double& value = values[sid];
        if (value == 0.0) continue;  // closed by a touched exit, no longer held
        const double price = cells.price.get(k, sidprice);
        validate_trade_price(price, r, sid, row);
        const double ratio = carry(st, value, price);
        const Band band = exit_band(band_inputs, st, sid, value);
        if constexpr (Touched) {
            exit_on_touch(r, band_inputs, st, sid, value, band, ratio, cells.high.get(k, sidprice),
                          cells.low.get(k, sidprice), cells.open.get(k, sidprice));
            if constexpr (!Checked)
                st.close_part = close_part(value, price, cells.close.get(k, sidprice));
        } else {
            const double close_price = cells.close.get(k, sidprice);
            if constexpr (!Checked) st.close_part = close_part(value, price, close_price);
            queue_close_exit(r, band_inputs, st, sid, band, price, close_price);
        }
        if (!std::isnan(price)) st.previous_price = price;
    }
}

// Close exits detected at the previous close run at this bar's trading price,
// unless the stock is gone or the due rebalance is about to set it.
void run_queued_exits(Run& r) {
    const Settings& a = r.cfg;
    for (const StopExit& e : r.exit_stocks) {
        const int sid = e.sid;
        const bool will_be_set_by_rebalance = r.should_rebalance &&
                                              !r.host.stop_trading_next_period() &&
                                              r.pos_values.at(r.pos_id, sid) != 0.0;
        if (!held(r.pos, sid) || will_be_set_by_rebalance) continue;
        r.cash = set_position(r, r.pos, sid, 0.0, r.cash, a.fee_ratio, a.tax_ratio, false, true,
                              1.0, {e.reason, false});
        r.pos_changed = true;
        r.exited_stocks.push_back(e);
        reset_ratios(r, sid);
        // A detection of the same stock at this bar's close is void: it is gone.
        for (auto it = r.exit_stocks_temp.begin(); it != r.exit_stocks_temp.end(); ++it) {
            if (it->sid == sid) {
                r.exit_stocks_temp.erase(it);
                break;
            }
        }
    }
    r.exit_stocks = r.exit_stocks_temp;
    r.exit_stocks_temp.clear();
}

void rebalance_step(Run& r, int d) {
    const Settings& a = r.cfg;
    const View1<double> target = r.pos_values.row_at(r.pos_id);
    if (a.retain_cost_when_rebalance) {
        for (int sid = 0; sid < target.n; ++sid) {
            const double pv = target(sid);
            if (pv == 0.0) continue;
            if (!r.pos.contains(sid) || r.pos.at(sid) * pv <= 0.0) reset_ratios(r, sid);
        }
    }

    // Stocks stopped out since the last rebalance stay out of this one.
    // The row itself is used unless stocks must be zeroed, which a copy takes.
    View1<double> row = target;
    r.latest_row_is_copy = false;
    if (r.host.stop_trading_next_period() && !r.exited_stocks.empty()) {
        r.latest_rebalanced_row.resize(static_cast<std::size_t>(target.n));
        for (index_t i = 0; i < target.n; ++i)
            r.latest_rebalanced_row[static_cast<std::size_t>(i)] = target(i);
        for (const StopExit& e : r.exited_stocks) {
            const auto s = static_cast<std::size_t>(e.sid);
            if (s < r.latest_rebalanced_row.size()) r.latest_rebalanced_row[s] = 0.0;
        }
        row = View1<double>(r.latest_rebalanced_row.data(), target.n);
        r.latest_row_is_copy = true;
    }

    r.keys_before = r.pos.keys();
    for (int sid : r.keys_before)
        if (r.pos.at(sid) != 0.0) r.stocks[static_cast<std::size_t>(sid)].held_before = true;

    r.log.rebalanced(d, r.pos_id);
    try {
        r.cash = rebalance(r, r.pos, row, r.cash, a.fee_ratio, a.tax_ratio, a.position_limit);
    } catch (const UnpricedColumn& u) {
        // Set-up refused weights on such columns; this one was written since.
        throw UnpricedWeights{u.sid};
    }
    r.exited_stocks.clear();
    r.latest_rebalanced_keys = r.pos.keys();

    // Every position starts afresh from this bar's prices: its ratios at 1 (unless
    // the cost basis is kept) and its previous price the bar's price. A stock
    // held through a bar without a price keeps its last price, so its move
    // across the gap counts. Only stocks in the map after the rebalance are
    // touched: any other stock is set again by the rebalance that next buys it
    // before anything reads these values. A column without a cell in the price
    // table is left alone; the bar loop raises where it would read it.
    if (d >= r.price.n0) out_of_bounds(0);
    for (int sid : r.pos.keys()) {
        StockState& st = r.stocks[static_cast<std::size_t>(sid)];
        if (!a.retain_cost_when_rebalance) {
            st.cr = 1.0;
            st.maxcr = 1.0;
            st.mincr = 1.0;
        }
        if (st.pid < 0 || st.pid >= r.price.n1) continue;
        const double p = r.price(d, st.pid);
        if (!std::isnan(p) || !st.held_before) st.previous_price = p;
    }
    for (int sid : r.keys_before) r.stocks[static_cast<std::size_t>(sid)].held_before = false;
    r.current_position_id = r.pos_id;
}

void delisting_step(Run& r, int d) {
    const Settings& a = r.cfg;
    r.delisted_stocks.clear();
    for (int sid : r.pos.keys()) {
        if (r.delisting_bars.at(sid) == d && r.pos.at(sid) != 0.0) r.delisted_stocks.push_back(sid);
    }
    if (!r.delisted_stocks.empty()) r.pos_changed = true;
    for (int sid : r.delisted_stocks) {
        r.cash = set_position(r, r.pos, sid, 0.0, r.cash, a.fee_ratio, a.tax_ratio, false, true,
                              1.0, {ExitReason::delisted, false});
        reset_ratios(r, sid);
    }
}

// Portfolio value at the bar's close. When the positions are still those the
// valuation pass carried (and it read them unchecked), their close values are
// reused: same prices, same arithmetic, same order.
double close_value(const Run& r, int d) {
    double balance = r.cash;
    for (int sid : r.pos.keys()) {
        const double value = r.pos.at(sid);
        if (value == 0.0) continue;
        const auto s = static_cast<std::size_t>(sid);
        if (!r.pos_changed) {
            balance += r.stocks[s].close_part;
            continue;
        }
        const int sidprice = r.price_col[s];
        if (sidprice < 0) out_of_bounds(1);
        const double trade_price = r.price.at(d, sidprice);
        validate_trade_price(trade_price, r, sid, d);
        balance += close_part(value, trade_price, r.close.at(d, sidprice));
    }
    return balance;
}

// The row in force for the next bar is the newest one dated strictly before it;
// a new row is executed only on a bar marked for rebalancing.
void choose_next_row(Run& r, index_t d) {
    const index_t nbars = r.price_index.n;
    const bool last = d >= nbars - 1;
    const int64_t next_bar = last ? 0 : r.price_index.at(d + 1);
    while (r.pos_id < r.pos_index.n - 1 && (last || r.pos_index.at(r.pos_id + 1) < next_bar))
        ++r.pos_id;
    r.should_rebalance =
        r.pos_id != r.current_position_id && r.date_rebalance[static_cast<std::size_t>(d)] != 0;
}

}  // namespace

void run_bars(Run& r) {
    const Settings& a = r.cfg;
    const index_t nbars = r.price_index.n;
    for (index_t d = 0; d < nbars; ++d) {
        const int64_t date = r.price_index(d);
        const int64_t first_row_date = r.pos_index.at(0);
        if (date < first_row_date) {
            r.creturn[d] = 1.0;
            // The last bar before a first row dated between two bars acts on its
            // own rebalance mark, so that row is traded on the next bar.
            if (d + 1 < nbars && r.price_index(d + 1) > first_row_date) choose_next_row(r, d);
            continue;
        }
        const int di = static_cast<int>(d);
        r.bar = d;
        r.host.record_date(di);
        const int64_t sl_row = r.stop_loss_rows.at(d);
        const int64_t tp_row = r.take_profit_rows.at(d);
        // The row numbers are read from the tables' own memory, which code the
        // host runs (a truth test, a replaced setting) may have rewritten since
        // set-up looked at them: each is tested here, where it is used.
        if (sl_row < 0 || sl_row >= r.stop_loss_values.n0 || tp_row < 0 ||
            tp_row >= r.take_profit_values.n0)
            out_of_bounds(0);

        // Every priced column inside every table, on a bar all of them have:
        // the cells are read unchecked.
        const bool unchecked = r.columns_inside && d < r.rows_inside;
        r.pos_changed = !unchecked;
        if (unchecked) {
            if (a.touched_exit) {
                value_positions<false, true>(r, d, sl_row, tp_row);
            } else {
                value_positions<false, false>(r, d, sl_row, tp_row);
            }
        } else if (a.touched_exit) {
            value_positions<true, true>(r, d, sl_row, tp_row);
        } else {
            value_positions<true, false>(r, d, sl_row, tp_row);
        }
        run_queued_exits(r);
        if (r.should_rebalance) {
            rebalance_step(r, di);
            r.pos_changed = true;
        }
        if (r.has_delisting) delisting_step(r, di);
        r.balance = close_value(r, di);
        r.creturn[d] = r.balance;
        choose_next_row(r, d);
    }
}

void close_open_trades(Run& r) {
    r.host.record_open(r.pos);
    // Each open trade is marked at the last close as that bar's valuation marked it.
    for (int sid : r.pos.keys()) {
        const double value = r.pos.at(sid);
        if (value == 0.0) continue;  // NaN is held
        const int pid = r.price_col[static_cast<std::size_t>(sid)];
        double mark = value;
        if (pid >= 0 && r.bar < r.price.n0 && pid < r.price.n1 && r.bar < r.close.n0 &&
            pid < r.close.n1)
            mark = close_part(value, r.price(r.bar, pid), r.close(r.bar, pid));
        settle_entry_price(r, sid);
        r.book.closed(r.log, sid, {ExitReason::open, false}, mark, 0.0, 0.0, false);
    }
    r.book.finish(r.log);
}

// Each resample date marks the last bar dated on or before it (bar 0 when it
// precedes every bar).
void mark_rebalance_bars(Run& r) {
    const index_t nbars = r.price_index.n;
    r.date_rebalance.assign(static_cast<std::size_t>(nbars), 0);
    if (nbars == 0) return;
    index_t ptr = 0;
    for (index_t k = 0; k < r.resample.n; ++k) {
        const int64_t t = r.resample(k);
        while (ptr + 1 < nbars && r.price_index(ptr + 1) <= t) ++ptr;
        r.date_rebalance[static_cast<std::size_t>(ptr)] = 1;
    }
}

// The loop's starting point: all cash, no position, no row executed yet.
void reset_loop_state(Run& r) {
    const Settings& a = r.cfg;
    r.trail_stop_abs = std::abs(a.trail_stop);
    r.trail_stop_activation_abs = std::abs(a.trail_stop_activation);
    r.should_rebalance = false;
    r.current_position_id = -1;
    r.pos_id = 0;
    r.cash = 1.0;
    r.balance = 1.0;
    r.pos.reset(static_cast<std::size_t>(r.nstocks));
    for (std::size_t sid = 0; sid < r.stocks.size() && sid < r.price_col.size(); ++sid)
        r.stocks[sid].pid = r.price_col[sid];
}

// Bars before `rows_inside` have a row in every price table the loop reads;
// with `columns_inside` every priced column lies inside those tables too, and
// such bars read cells without a check per read.
void find_unchecked_bars(Run& r) {
    const View2<double>* tables[] = {&r.price, &r.close, &r.high, &r.low, &r.open};
    const int ntables = r.cfg.touched_exit ? 5 : 2;
    r.rows_inside = PTRDIFF_MAX;
    index_t cols = PTRDIFF_MAX;
    for (int k = 0; k < ntables; ++k) {
        r.rows_inside = std::min(r.rows_inside, tables[k]->n0);
        cols = std::min(cols, tables[k]->n1);
    }
    r.columns_inside = true;
    for (int32_t pid : r.price_col)
        if (pid >= cols) r.columns_inside = false;
}

}  // namespace torvex::engine
