// The run log: what the specified reports do not keep but a caller's report
// needs, recorded as the run goes. Per element of the trade log, why the trade
// ended and whether it was a touched exit (closed at the band on its own bar);
// per executed rebalance, its bar and the weight row it traded to.
//
// A few stores per trade end and per rebalance, into vectors that keep their
// capacity from run to run. The log of a run is published when the run
// completes; the private export torvex_pathsim_last_run_log hands it out.
#pragma once

#include <cstdint>
#include <vector>

namespace torvex::pathsim {

// Codes are indexes into torvex._runlog.EXIT_REASONS; keep both in one order.
enum class ExitReason : int8_t { rebalance, stop_loss, take_profit, trail_stop, delisted, open };

// How a trade ends, as set_position passes it to the log.
struct TradeEnd {
    ExitReason reason = ExitReason::rebalance;
    bool touched = false;
};

struct RunLog {
    std::vector<int8_t> exit_reason;
    std::vector<uint8_t> touched;
    std::vector<int64_t> rebalance_bars;
    std::vector<int64_t> rebalance_rows;

    void clear() noexcept {
        exit_reason.clear();
        touched.clear();
        rebalance_bars.clear();
        rebalance_rows.clear();
    }
    void trade_ended(TradeEnd e) {
        exit_reason.push_back(static_cast<int8_t>(e.reason));
        touched.push_back(e.touched ? 1 : 0);
    }
    void rebalanced(int64_t bar, int64_t row) {
        rebalance_bars.push_back(bar);
        rebalance_rows.push_back(row);
    }
};

struct RunLogs {
    RunLog current;  // the run in progress
    RunLog last;     // the last run that completed
    // False once a later run has restarted the trade log and then failed: the
    // excursion lists then hold part of that run, not `last`'s trades.
    bool last_matches_trade_log = true;

    void run_started() noexcept { current.clear(); }
    void trade_log_restarted() noexcept { last_matches_trade_log = false; }
    void run_completed() noexcept {
        last.exit_reason.swap(current.exit_reason);
        last.touched.swap(current.touched);
        last.rebalance_bars.swap(current.rebalance_bars);
        last.rebalance_rows.swap(current.rebalance_rows);
        last_matches_trade_log = true;
    }
};

extern RunLogs run_log;

}  // namespace torvex::pathsim
