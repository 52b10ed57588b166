// Excursion statistics of one trade, in plain C++ over strided price views.
//
// A trade's value relative to its entry is tracked as a price ratio (1.0 is
// break-even). A long ratio starts at entry close / entry price and follows the
// close-to-close ratios; a short ratio is kept mirrored as 2 - L of the long ratio
// L. From the path of that ratio the walk records, per bar after the entry, the
// running maximum and minimum, the bar at which the maximum stood when the minimum
// was last lowered, the deepest drawdown from the running maximum, and the bars
// spent in profit. The result is one block of six values per sample point of the
// window and a final block at the exit bar.
#pragma once

#include <cstdint>
#include <vector>

#include "torvex/view.hpp"

namespace torvex::excursion {

struct TradeSpan {
    int64_t i_entry;
    int64_t i_exit;
    int64_t pid;  // price column
    bool is_long;
    bool entry_transaction;  // the entry fee is charged
    bool exit_transaction;   // the exit price, fee and tax are applied
};

struct Settings {
    double fee_ratio;
    double tax_ratio;
    int64_t window;
    int64_t window_step;
};

// How a computation failed; the glue turns it into the matching Python exception.
enum class Fault {
    none,
    float_division,       // ZeroDivisionError "float division"
    modulo_by_zero,       // ZeroDivisionError "integer division or modulo by zero"
    negative_size,        // OverflowError "can't convert negative value to size_t"
    index,                // IndexError of an array read (numpy's message)
    negative_dimensions,  // ValueError of the result allocation
    store_out_of_bounds,  // IndexError "Out of bounds on buffer access (axis 0)"
};

struct Failure {
    Fault fault = Fault::none;
    int64_t index = 0;  // for Fault::index
    int64_t size = 0;
};

// Working sequences, kept between trades so that the walk allocates nothing once
// they have grown to the longest trade seen.
struct Scratch {
    std::vector<double> returns, cummax, cummin, mdd, profit_period;
    std::vector<int64_t> cummin_i;
    std::size_t n = 0;  // elements of the current trade

    void prepare(std::size_t len) {
        if (returns.size() < len) {
            returns.resize(len);
            cummax.resize(len);
            cummin.resize(len);
            mdd.resize(len);
            profit_period.resize(len);
            cummin_i.resize(len);
        }
        n = len;
    }
};

// Walks the trade and fills `s`; on success returns the offset of the exit block.
// `out_len` receives the number of result values.
Failure walk_trade(const View2<double>& price, const View2<double>& close, const TradeSpan& t,
                   const Settings& cfg, Scratch& s, int64_t& exit_offset, int64_t& out_len);

// Writes the result blocks into `out` (`out_len` values); sample points past the
// walk are -1.0.
Failure write_blocks(const Scratch& s, const Settings& cfg, int64_t exit_offset, double* out,
                     int64_t out_len);

}  // namespace torvex::excursion
