// The walk of a trade without a sampling window (window 0, the engine's
// default). Only the exit block is written then, and with no window the walk
// ends at the exit bar (or the last bar of the data), so the block holds the
// running statistics as they stand after the last bar: they are carried in
// registers and nothing is stored per bar. Same arithmetic, same order and
// same failures as walk_trade followed by write_blocks with window 0.
#pragma once

#include "analysis.hpp"

namespace torvex::excursion {

// Fills `block` with the exit block (MAE, MFE, MFE before the MAE, drawdown,
// bars in profit, return) and `out_len` with the number of result values, all
// of them -1.0 but the last six. `cfg.window` must be 0.
Failure walk_to_exit(const View2<double>& price, const View2<double>& close, const TradeSpan& t,
                     const Settings& cfg, double block[6], int64_t& out_len);

}  // namespace torvex::excursion
