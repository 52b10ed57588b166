// The ledger: one position changed against cash (set_position) and the whole
// position map moved to a row of target weights (rebalance).
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <vector>

#include "runlog.hpp"
#include "torvex/view.hpp"

namespace torvex::engine {

struct Run;

// The position map: stock id -> signed money value, iterated in ascending id.
// Values live in a dense array indexed by stock id and the ids present are kept
// as a sorted vector, so the bar loop walks contiguous memory and a lookup is
// one load. The ordered map the trade log takes is built only where it is
// handed over.
// A stock without a price column could be neither valued nor traded: such a
// stock never enters the map (see `set_priced`).
struct UnpricedColumn {
    int sid;
};

class PositionMap {
  public:
    void reset(std::size_t nstocks) {
        value_.assign(nstocks, 0.0);
        present_.assign(nstocks, 0);
        priced_.assign(nstocks, 1);
        keys_.clear();
        // Room for every id, so that closing a batch never allocates.
        keys_.reserve(nstocks);
        added_.clear();
        added_.reserve(nstocks);
        merged_.clear();
        merged_.reserve(nstocks);
        batch_ = false;
    }
    // Which stocks have a price column (`price_col[sid] >= 0`); until it is
    // called every stock has one.
    void set_priced(const std::vector<int32_t>& price_col) {
        for (std::size_t s = 0; s < priced_.size(); ++s)
            priced_[s] = s < price_col.size() && price_col[s] >= 0 ? 1 : 0;
    }
    // (A stock id outside the map counts as priced: set_position refuses it.)
    bool priced(int sid) const noexcept {
        const auto s = static_cast<std::size_t>(sid);
        return s >= priced_.size() || priced_[s] != 0;
    }

    bool contains(int sid) const noexcept {
        return sid >= 0 && static_cast<std::size_t>(sid) < present_.size() &&
               present_[static_cast<std::size_t>(sid)] != 0;
    }
    // Value of a present stock.
    double& operator[](int sid) noexcept { return value_[static_cast<std::size_t>(sid)]; }
    double at(int sid) const noexcept { return value_[static_cast<std::size_t>(sid)]; }

    // Inserts `sid` with 0.0 when absent; returns its slot. A stock without a
    // price column is refused (UnpricedColumn).
    double& slot(int sid) {
        const auto s = static_cast<std::size_t>(sid);
        if (!present_[s]) {
            if (!priced_[s]) throw UnpricedColumn{sid};
            present_[s] = 1;
            value_[s] = 0.0;
            if (batch_) {
                added_.push_back(sid);
            } else {
                keys_.insert(std::lower_bound(keys_.begin(), keys_.end(), sid), sid);
            }
        }
        return value_[s];
    }
    void erase(int sid) {
        const auto s = static_cast<std::size_t>(sid);
        if (!present_[s]) return;
        present_[s] = 0;
        if (batch_) {
            erased_ = true;
        } else {
            keys_.erase(std::lower_bound(keys_.begin(), keys_.end(), sid));
        }
    }

    // Between begin_batch() and end_batch() insertions and erasures only set
    // the flags, and keys() is stale; end_batch() brings the id list up to date
    // in one pass. A rebalance, which may change every key, runs as one batch.
    void begin_batch() noexcept {
        batch_ = true;
        erased_ = false;
        added_.clear();
    }
    void end_batch() noexcept {
        batch_ = false;
        if (!erased_ && added_.empty()) return;
        auto gone = [this](int sid) { return present_[static_cast<std::size_t>(sid)] == 0; };
        if (erased_) {
            keys_.erase(std::remove_if(keys_.begin(), keys_.end(), gone), keys_.end());
            added_.erase(std::remove_if(added_.begin(), added_.end(), gone), added_.end());
        }
        // A pass over the stocks in id order adds them ascending.
        if (!std::is_sorted(added_.begin(), added_.end())) std::sort(added_.begin(), added_.end());
        // An id erased and added again within the batch is in both lists: the
        // union lists it once. Both have room for every id, so nothing allocates.
        merged_.clear();
        std::set_union(keys_.begin(), keys_.end(), added_.begin(), added_.end(),
                       std::back_inserter(merged_));
        keys_.swap(merged_);
        added_.clear();
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
    std::vector<uint8_t> priced_;
    std::vector<int> keys_;
    std::vector<int> added_;   // ids inserted in the open batch
    std::vector<int> merged_;  // scratch of end_batch
    bool batch_ = false;
    bool erased_ = false;  // an id was erased in the open batch
};

// Runs a batch over `p` for its lifetime; the id list is whole again when it
// ends, also by an exception.
class KeyBatch {
  public:
    explicit KeyBatch(PositionMap& p) noexcept : p_(p) { p_.begin_batch(); }
    ~KeyBatch() { p_.end_batch(); }
    KeyBatch(const KeyBatch&) = delete;
    KeyBatch& operator=(const KeyBatch&) = delete;

  private:
    PositionMap& p_;
};

// A stock is held when the map has it with a value other than 0.0 (NaN counts);
// a key left at 0.0 by a touched exit is not a holding.
inline bool held(const PositionMap& p, int sid) { return p.contains(sid) && p.at(sid) != 0.0; }

// Changes `p[sid]` to the money value `position`, charging the fee (and, when
// the trade reduces a holding, the tax), tells the trade log about an entry,
// an exit or a resize, and returns the new cash. `balance` turns the target into
// the position reported to the trade log (a share of equity).
// `end` tells the run log why a trade that closes here ends.
double set_position(Run& r, PositionMap& p, int sid, double position, double cash, double fee_ratio,
                    double tax_ratio, bool check_null = true, bool set_null = false,
                    double balance = 1.0, TradeEnd end = {});

// Moves `p` to the target weights `newp` (one per position column), each capped
// at `position_limit` of equity, and returns the new cash. A stock without a
// price column is passed over when its weight is 0 (whatever its target: an
// infinite equity makes it NaN) and throws UnpricedColumn otherwise.
double rebalance(Run& r, PositionMap& p, const View1<double>& newp, double cash, double fee_ratio,
                 double tax_ratio, double position_limit);

// Sum of the absolute values in the order NumPy's pairwise summation adds them,
// so that gross weights match what `numpy.sum(numpy.abs(row))` gives.
double pairwise_abs_sum(const View1<double>& a, int64_t begin, int64_t n);

}  // namespace torvex::engine
