// The bar loop, and the whole run around it.
#pragma once

#include <cstdint>

#include "torvex/pyref.hpp"

namespace torvex::pathsim {

struct RunArgs;

// Set-up, bar loop and end of run; returns creturn.
Ref run_backtest(const RunArgs& a);

}  // namespace torvex::pathsim
