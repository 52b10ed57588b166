// A run of backtest_: set-up, the engine's bar loop and end of run.
#pragma once

#include "torvex/pyref.hpp"

namespace torvex::pathsim {

struct RunArgs;

// Set-up, bar loop and end of run; returns creturn.
Ref run_backtest(const RunArgs& a);

}  // namespace torvex::pathsim
