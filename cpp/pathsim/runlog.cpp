// The run log of the module's runs and its private export.
#include "runlog.hpp"

#include <cstddef>

namespace torvex::pathsim {

RunLogs run_log;

}  // namespace torvex::pathsim

// The log of the last completed run, for torvex._runlog (through ctypes on the
// module's shared object; not part of the Python interface). The pointers stay
// valid until the next run completes; the caller copies them at once, holding
// the interpreter lock. `trades` holds one TradeRecord per trade: the six
// doubles of TradeFill, then exit reason, touched and unpriced-exit bytes;
// `unrecorded` an int32 stock id (and 4 bytes of padding), then a double.
struct TorvexRunLog {
    const torvex::engine::TradeRecord* trades;
    int64_t n_trades;
    int64_t trade_size;
    const int64_t* rebalance_bars;
    const int64_t* rebalance_rows;
    int64_t n_rebalances;
    const torvex::engine::UnrecordedTrade* unrecorded;
    int64_t n_unrecorded;
    int32_t matches_trade_log;
};

static_assert(sizeof(torvex::engine::TradeFill) == 6 * sizeof(double));
static_assert(sizeof(torvex::engine::TradeRecord) == 56);
static_assert(offsetof(torvex::engine::TradeRecord, exit_reason) == 48);
static_assert(sizeof(torvex::engine::UnrecordedTrade) == 16);

extern "C" __attribute__((visibility("default"))) void torvex_pathsim_last_run_log(
    TorvexRunLog* out) noexcept {
    const torvex::engine::RunLog& l = torvex::pathsim::run_log.last;
    out->trades = l.trades.data();
    out->n_trades = static_cast<int64_t>(l.trades.size());
    out->trade_size = sizeof(torvex::engine::TradeRecord);
    out->rebalance_bars = l.rebalance_bars.data();
    out->rebalance_rows = l.rebalance_rows.data();
    out->n_rebalances = static_cast<int64_t>(l.rebalance_bars.size());
    out->unrecorded = l.unrecorded.data();
    out->n_unrecorded = static_cast<int64_t>(l.unrecorded.size());
    out->matches_trade_log = torvex::pathsim::run_log.last_matches_trade_log ? 1 : 0;
}
