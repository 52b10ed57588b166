// The state of one backtest run: its arguments, the input views, the position
// map and the per-stock state the bar loop carries from bar to bar.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <vector>

#include "ledger.hpp"
#include "params.hpp"
#include "runlog.hpp"
#include "torvex/buffer.hpp"
#include "torvex/pyref.hpp"

namespace torvex::pathsim {

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

// A float64 array made by the run, with a pointer to its (contiguous) data.
struct OwnedArray {
    Ref obj;
    double* data = nullptr;
    Py_ssize_t n = 0;
};

// An input array held for the run with the memory and shape its buffer
// recorded, checked after the caller's code may have run.
struct WatchedInput {
    PyObject* array;  // a NumPy array
    const void* data;
    int ndim;
    Py_ssize_t dims[2];
    const char* name;
};

// A position's value at the bar's close; a stock without a price or close keeps
// its carried value.
inline double close_part(double value, double trade_price, double close_price) {
    if (std::isnan(trade_price) || std::isnan(close_price)) return value;
    return value * close_price / trade_price;
}

struct Run {
    const RunArgs& a;
    explicit Run(const RunArgs& args) : a(args) {}

    // Input buffers, held for the whole run.
    Buffer b_price, b_close, b_high, b_low, b_open, b_price_index, b_price_columns, b_pos_values,
        b_pos_index, b_pos_columns, b_resample, b_delisting;
    View2<double> price, close, high, low, open, pos_values;
    View1<int64_t> price_index, pos_index, resample, delisting_bars;
    View1<PyObject*> price_columns, pos_columns;

    // Stop tables and the buffers of their thresholds and row numbers.
    Ref stop_loss_table, take_profit_table;
    Buffer b_sl_values, b_sl_rows, b_tp_values, b_tp_rows;
    View2<double> stop_loss_values, take_profit_values;
    View1<int64_t> stop_loss_rows, take_profit_rows;

    // Column map: ordered for the excursion module, flat (-1 = no price column)
    // for the bar loop.
    std::map<int, int> pos2price;
    std::vector<int32_t> price_col;

    int32_t nstocks = 0;  // position columns
    OwnedArray creturn;
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
    Py_ssize_t rows_inside = 0;
    std::vector<double> bar_price, bar_close, bar_high, bar_low, bar_open;  // gathered cells
    bool pos_changed = true;  // positions changed after the valuation pass
    double cash = 1.0;
    double balance = 1.0;
    int32_t pos_id = 0;
    int32_t current_position_id = -1;
    bool should_rebalance = false;
    Py_ssize_t bar = 0;  // the bar being traded
    double trail_stop_abs = 0.0;
    double trail_stop_activation_abs = 0.0;

    // The NumPy arrays among the input buffers, listed once set-up has opened
    // them all (watch_inputs()); until then every buffer is looked at.
    std::vector<WatchedInput> watched;
    bool watching = false;
};

// The run in progress (null between runs): what check_run_inputs watches and
// where the ledger reads the prices it fills at.
extern const Run* running_run;

// The running run's trading price of `sid` on the bar it is on (NaN where the
// bar has none, or outside the run). Stock ids are below the run's count.
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
// trade's slot in the run log's book) when the trade ends on the run's bar.
inline void settle_entry_price(const Run& r, int sid) {
    TradeFill& f = run_log.book.fill(sid);
    if (!std::isnan(f.entry_price)) [[likely]]
        return;
    const int pid = r.stocks[static_cast<std::size_t>(sid)].pid;
    if (pid < 0 || pid >= r.price.n1) return;
    for (int64_t d = std::max<int64_t>(run_log.book.entry_bar(sid), 0);
         d <= r.bar && d < r.price.n0; ++d) {
        const double p = r.price(d, pid);
        if (!std::isnan(p)) {
            f.entry_price = p;
            return;
        }
    }
}

}  // namespace torvex::pathsim
