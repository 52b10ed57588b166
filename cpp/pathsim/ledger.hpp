// The ledger: one position changed against cash (set_position) and the whole
// position map moved to a row of target weights (rebalance).
#pragma once

#include <cstdint>
#include <algorithm>
#include <map>
#include <vector>

#include "runlog.hpp"
#include "torvex/buffer.hpp"

namespace torvex::pathsim {

// The position map: stock id -> signed money value, iterated in ascending id.
// Values live in a dense array indexed by stock id and the ids present are kept
// as a sorted vector, so the bar loop walks contiguous memory and a lookup is
// one load. The ordered map the trade log takes is built only where it is
// handed over.
class PositionMap {
public:
    void reset(std::size_t nstocks) {
        value_.assign(nstocks, 0.0);
        present_.assign(nstocks, 0);
        keys_.clear();
    }

    bool contains(int sid) const noexcept {
        return sid >= 0 && static_cast<std::size_t>(sid) < present_.size() &&
               present_[static_cast<std::size_t>(sid)] != 0;
    }
    // Value of a present stock.
    double& operator[](int sid) noexcept { return value_[static_cast<std::size_t>(sid)]; }
    double at(int sid) const noexcept { return value_[static_cast<std::size_t>(sid)]; }

    // Inserts `sid` with 0.0 when absent; returns its slot.
    double& slot(int sid) {
        const auto s = static_cast<std::size_t>(sid);
        if (!present_[s]) {
            present_[s] = 1;
            value_[s] = 0.0;
            keys_.insert(std::lower_bound(keys_.begin(), keys_.end(), sid), sid);
        }
        return value_[s];
    }
    void erase(int sid) {
        const auto s = static_cast<std::size_t>(sid);
        if (!present_[s]) return;
        present_[s] = 0;
        keys_.erase(std::lower_bound(keys_.begin(), keys_.end(), sid));
    }

    // Ids present, ascending. Stable while no key is inserted or erased.
    const std::vector<int>& keys() const noexcept { return keys_; }
    bool empty() const noexcept { return keys_.empty(); }
    std::size_t capacity() const noexcept { return present_.size(); }
    // Values by stock id; capacity() of them. Stable while no key is inserted.
    double* value_data() noexcept { return value_.data(); }
    // One flag per stock id (1 = in the map); capacity() of them.
    const uint8_t* present_data() const noexcept { return present_.data(); }

    std::map<int, double> to_map() const {
        std::map<int, double> m;
        for (int sid : keys_) m.emplace_hint(m.end(), sid, value_[static_cast<std::size_t>(sid)]);
        return m;
    }

private:
    std::vector<double> value_;
    std::vector<uint8_t> present_;
    std::vector<int> keys_;
};

// A stock is held when the map has it with a value other than 0.0 (NaN counts);
// a key left at 0.0 by a touched exit is not a holding.
inline bool held(const PositionMap& p, int sid) { return p.contains(sid) && p.at(sid) != 0.0; }

// Changes `p[sid]` to the money value `position`, charging the fee (and, when
// the trade reduces a holding, the tax), tells the trade log about an entry,
// an exit or a resize, and returns the new cash. `balance` turns the target into
// the position reported to the trade log (a share of equity).
// `end` tells the run log why a trade that closes here ends.
double set_position(PositionMap& p, int sid, double position, double cash, double fee_ratio,
                    double tax_ratio, bool check_null = true, bool set_null = false,
                    double balance = 1.0, TradeEnd end = {});

// Moves `p` to the target weights `newp` (one per position column), each capped
// at `position_limit` of equity, and returns the new cash.
double rebalance(PositionMap& p, const View1<double>& newp, double cash, double fee_ratio,
                 double tax_ratio, double position_limit);

// Sum of the absolute values in the order NumPy's pairwise summation adds them,
// so that gross weights match what `numpy.sum(numpy.abs(row))` gives.
double pairwise_abs_sum(const View1<double>& a, int64_t begin, int64_t n);

}  // namespace torvex::pathsim
