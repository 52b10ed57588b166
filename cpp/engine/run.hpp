// The state of one backtest run: its settings, the input views, the position
// map and the per-stock state the bar loop carries from bar to bar. Everything
// a run changes lives here or in the log and book it was given: two runs on
// two threads share nothing.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "host.hpp"
#include "ledger.hpp"
#include "runlog.hpp"
#include "torvex/view.hpp"

namespace torvex::engine {

// The plain settings of a run.
struct Settings {
    double fee_ratio = 0.0;
    double tax_ratio = 0.0;
    double trail_stop = 0.0;
    double trail_stop_activation = 0.0;
    double position_limit = 1.0;
    bool touched_exit = false;
    bool retain_cost_when_rebalance = false;
};

// A stop exit: the stock, and which threshold formed the side of the band it
// left by: the take-profit side, or the stop side formed by the stop loss or,
// once it tightened the band, by the trailing stop. The stock-operations
// record labels the first "tp" and the other two "sl".
struct StopExit {
    int32_t sid;
    ExitReason reason;  // stop_loss, take_profit or trail_stop
    bool take_profit() const noexcept { return reason == ExitReason::take_profit; }
};

// What the bar loop keeps per position column, together so that one held stock
// touches one or two cache lines: its cumulative price ratio since entry and
// the ratio's running maximum and minimum, the trading price it was last
// carried from, its value at this bar's close and its price column.
struct StockState {
    double cr = 1.0;
    double maxcr = 1.0;
    double mincr = 1.0;
    double previous_price = 1.0;
    double close_part = 0.0;
    int32_t pid = -1;
    bool held_before = false;  // scratch of the rebalance step
};

// A position's value at the bar's close; a stock without a price or close keeps
// its carried value.
inline double close_part(double value, double trade_price, double close_price) {
    if (std::isnan(trade_price) || std::isnan(close_price)) return value;
    return value * close_price / trade_price;
}

struct Run {
    Run(const Settings& settings, Host& h, RunLog& run_log, TradeBook& trade_book)
        : cfg(settings), host(h), log(run_log), book(trade_book) {}
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    Settings cfg;
    Host& host;
    RunLog& log;      // the records of this run's trades and rebalances
    TradeBook& book;  // its open trades

    // Inputs: bars x price columns; rows x position columns of weights.
    View2<double> price, close, high, low, open, pos_values;
    View1<int64_t> price_index, pos_index, resample, delisting_bars;
    // Stop tables: thresholds (rows x position columns) and a row per bar.
    View2<double> stop_loss_values, take_profit_values;
    View1<int64_t> stop_loss_rows, take_profit_rows;

    // Column map, flat: the price column of each position column (-1: none).
    std::vector<int32_t> price_col;

    int32_t nstocks = 0;             // position columns
    double* creturn = nullptr;       // one value per bar, owned by the caller
    std::vector<StockState> stocks;  // per position column
    std::vector<uint8_t> date_rebalance;
    bool has_delisting = false;

    PositionMap pos;
    std::vector<int> latest_rebalanced_keys;  // stocks of pos right after the last rebalance
    std::vector<int> keys_before;             // scratch of the rebalance step
    std::vector<StopExit> exit_stocks, exit_stocks_temp, exited_stocks;
    std::vector<int32_t> delisted_stocks;
    // The row of the last executed rebalance: row `current_position_id` of the
    // weights, or the copy with stopped-out stocks zeroed when one was made.
    std::vector<double> latest_rebalanced_row;
    bool latest_row_is_copy = false;

    // Bars before `rows_inside` have a row in every price table the loop reads,
    // and with `columns_inside` every priced column lies inside those tables:
    // such bars read cells unchecked.
    bool columns_inside = false;
    index_t rows_inside = 0;
    std::vector<double> bar_price, bar_close, bar_high, bar_low, bar_open;  // gathered cells
    bool pos_changed = true;  // positions changed after the valuation pass
    double cash = 1.0;
    double balance = 1.0;
    int32_t pos_id = 0;
    int32_t current_position_id = -1;
    bool should_rebalance = false;
    index_t bar = 0;  // the bar being traded
    double trail_stop_abs = 0.0;
    double trail_stop_activation_abs = 0.0;
};

// The run's trading price of `sid` on the bar it is on (NaN where the bar has
// none). Stock ids are below the run's count.
inline double price_now(const Run& r, int sid) {
    const int pid = r.stocks[static_cast<std::size_t>(sid)].pid;
    if (pid < 0 || pid >= r.price.n1 || r.bar >= r.price.n0) return no_price;
    return r.price(r.bar, pid);
}

// The price a held position of `sid` is carried at: its last trading price.
inline double carried_price(const Run& r, int sid) {
    return r.stocks[static_cast<std::size_t>(sid)].previous_price;
}

// A position entered on a bar without a price is first carried at the first
// trading price after its entry: that is its entry price, set here (on the
// trade's slot in the book) when the trade ends on the run's bar.
inline void settle_entry_price(Run& r, int sid) {
    TradeFill& f = r.book.fill(sid);
    if (!std::isnan(f.entry_price)) [[likely]]
        return;
    const int pid = r.stocks[static_cast<std::size_t>(sid)].pid;
    if (pid < 0 || pid >= r.price.n1) return;
    for (int64_t d = std::max<int64_t>(r.book.entry_bar(sid), 0); d <= r.bar && d < r.price.n0;
         ++d) {
        const double p = r.price(d, pid);
        if (!std::isnan(p)) {
            f.entry_price = p;
            return;
        }
    }
}

// Set-up of the plain state, in this order after the inputs are in place:
// the periodic rebalance bars, then the loop's starting point and the bars
// read unchecked.
void mark_rebalance_bars(Run& r);
void reset_loop_state(Run& r);
void find_unchecked_bars(Run& r);

// The bar loop over every bar, then the positions still open recorded as
// open trades (the host's record, then the book's).
void run_bars(Run& r);
void close_open_trades(Run& r);

}  // namespace torvex::engine
