// The ledger: one position changed against cash (set_position) and the whole
// position map moved to a row of target weights (rebalance).
#pragma once

#include <cstdint>
#include <map>

#include "common/buffer.hpp"

namespace torvex::pathsim {

using PositionMap = std::map<int, double>;

// A stock is held when the map has it with a value other than 0.0 (NaN counts);
// a key left at 0.0 by a touched exit is not a holding.
inline bool held(const PositionMap& p, int sid) {
    auto it = p.find(sid);
    return it != p.end() && it->second != 0.0;
}

// Changes `p[sid]` to the money value `position`, charging the fee (and, when
// the trade reduces a holding, the tax), tells the trade log about an entry,
// an exit or a resize, and returns the new cash. `balance` turns the target into
// the position reported to the trade log (a share of equity).
double set_position(PositionMap& p, int sid, double position, double cash, double fee_ratio,
                    double tax_ratio, bool check_null = true, bool set_null = false,
                    double balance = 1.0);

// Moves `p` to the target weights `newp` (one per position column), each capped
// at `position_limit` of equity, and returns the new cash.
double rebalance(PositionMap& p, const View1<double>& newp, double cash, double fee_ratio,
                 double tax_ratio, double position_limit);

// Sum of the absolute values in the order NumPy's pairwise summation adds them,
// so that gross weights match what `numpy.sum(numpy.abs(row))` gives.
double pairwise_abs_sum(const View1<double>& a, int64_t begin, int64_t n);

}  // namespace torvex::pathsim
