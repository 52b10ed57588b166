// The run log of the module's runs: the log of the run in progress, of the
// last run that completed, and the book of open trades. Process-wide, as the
// module's trade log is; the private export torvex_pathsim_last_run_log
// (runlog.cpp) hands out the last completed run's log.
#pragma once

#include "engine/runlog.hpp"

namespace torvex::pathsim {

using engine::RunLog;
using engine::TradeBook;

struct RunLogs {
    RunLog current;  // the run in progress
    RunLog last;     // the last run that completed
    TradeBook book;  // the run in progress's open trades
    // False once a later run has restarted the trade log and then failed: the
    // excursion lists then hold part of that run, not `last`'s trades.
    bool last_matches_trade_log = true;

    void run_started() {
        current.clear();
        book.reset(0);
    }
    void trade_log_restarted() noexcept { last_matches_trade_log = false; }
    void run_completed() noexcept {
        last.swap(current);
        last_matches_trade_log = true;
    }
};

extern RunLogs run_log;

}  // namespace torvex::pathsim
