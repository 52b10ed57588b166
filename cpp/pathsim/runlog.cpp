// The run log's state and its private export.
#include "runlog.hpp"

#include <cstddef>

namespace torvex::pathsim {

RunLogs run_log;

}  // namespace torvex::pathsim

// The log of the last completed run, for torvex._runlog (through ctypes on the
// module's shared object; not part of the Python interface). The pointers stay
// valid until the next run completes; the caller copies them at once, holding
// the interpreter lock. `fills` holds six doubles per trade in TradeFill's
// order; `unrecorded` two 8-byte fields per entry (stock id, then pnl).
struct TorvexRunLog {
    const int8_t* exit_reason;
    const uint8_t* touched;
    int64_t n_trades;
    const int64_t* rebalance_bars;
    const int64_t* rebalance_rows;
    int64_t n_rebalances;
    int32_t matches_trade_log;
    const double* fills;
    const uint8_t* unpriced_exit;
    const torvex::pathsim::UnrecordedTrade* unrecorded;
    int64_t n_unrecorded;
};

static_assert(sizeof(torvex::pathsim::TradeFill) == 6 * sizeof(double));
static_assert(sizeof(torvex::pathsim::UnrecordedTrade) == 16);

extern "C" __attribute__((visibility("default"))) void torvex_pathsim_last_run_log(
    TorvexRunLog* out) noexcept {
    const torvex::pathsim::RunLog& l = torvex::pathsim::run_log.last;
    out->exit_reason = l.exit_reason.data();
    out->touched = l.touched.data();
    out->n_trades = static_cast<int64_t>(l.exit_reason.size());
    out->rebalance_bars = l.rebalance_bars.data();
    out->rebalance_rows = l.rebalance_rows.data();
    out->n_rebalances = static_cast<int64_t>(l.rebalance_bars.size());
    out->matches_trade_log = torvex::pathsim::run_log.last_matches_trade_log ? 1 : 0;
    out->fills = reinterpret_cast<const double*>(l.fills.data());
    out->unpriced_exit = l.unpriced_exit.data();
    out->unrecorded = l.unrecorded.data();
    out->n_unrecorded = static_cast<int64_t>(l.unrecorded.size());
}
