// The engine's host for the typed entry: plain settings, and a trade log kept
// as columns (stock, entry bar, exit bar, position at entry, the excursion
// blocks) filled by the excursion walks linked in directly. No Python: a run
// with this host runs without the interpreter lock.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "engine/host.hpp"
#include "engine/ledger.hpp"
#include "excursion/analysis.hpp"
#include "excursion/exit_walk.hpp"
#include "torvex/faults.hpp"
#include "torvex/view.hpp"

namespace torvex::typed {

// Buffers of statistics that runs have finished with, kept for the next runs:
// a windowed run of 100,000 trades writes about 100 MB, and memory fresh from
// the system costs more to fault in and zero than the walk that fills it.
// Shared by the threads that run (a lock per run); at most `kept` buffers and
// `kept_bytes` in all are held.
class SpareBuffers {
  public:
    static SpareBuffers& instance() {
        static SpareBuffers pool;
        return pool;
    }
    // A spare buffer (the largest), or null; `cap` receives its capacity.
    double* take(std::size_t& cap) {
        const std::lock_guard<std::mutex> lock(m_);
        if (held_.empty()) return nullptr;
        auto best = held_.begin();
        for (auto it = held_.begin(); it != held_.end(); ++it)
            if (it->second > best->second) best = it;
        double* p = best->first;
        cap = best->second;
        bytes_ -= cap * sizeof(double);
        held_.erase(best);
        return p;
    }
    // Keeps `p` for a later run, or frees it.
    void give(double* p, std::size_t cap) {
        if (p == nullptr) return;
        {
            const std::lock_guard<std::mutex> lock(m_);
            const std::size_t bytes = cap * sizeof(double);
            if (held_.size() < kept && bytes_ + bytes <= kept_bytes) {
                held_.emplace_back(p, cap);
                bytes_ += bytes;
                return;
            }
        }
        std::free(p);
    }

  private:
    static constexpr std::size_t kept = 4;
    static constexpr std::size_t kept_bytes = std::size_t{1} << 30;
    std::mutex m_;
    std::vector<std::pair<double*, std::size_t>> held_;
    std::size_t bytes_ = 0;
};

// Doubles appended in blocks; the result's array of the statistics is a view
// of them. Starts from a spare buffer when there is one and grows by realloc.
class GrowingDoubles {
  public:
    GrowingDoubles() = default;
    GrowingDoubles(const GrowingDoubles&) = delete;
    GrowingDoubles& operator=(const GrowingDoubles&) = delete;
    GrowingDoubles(GrowingDoubles&& o) noexcept : p_(o.p_), n_(o.n_), cap_(o.cap_) {
        o.p_ = nullptr;
        o.n_ = o.cap_ = 0;
    }
    GrowingDoubles& operator=(GrowingDoubles&& o) noexcept {
        std::swap(p_, o.p_);
        std::swap(n_, o.n_);
        std::swap(cap_, o.cap_);
        return *this;
    }
    ~GrowingDoubles() { SpareBuffers::instance().give(p_, cap_); }

    // Room for `k` more values at the end, which the caller fills; returns them.
    double* extend(std::size_t k) {
        if (n_ + k > cap_) [[unlikely]]
            grow(n_ + k);
        double* at = p_ + n_;
        n_ += k;
        return at;
    }
    const double* data() const noexcept { return p_; }
    std::size_t size() const noexcept { return n_; }

  private:
    void grow(std::size_t need) {
        if (p_ == nullptr) {
            std::size_t cap = 0;
            p_ = SpareBuffers::instance().take(cap);
            cap_ = cap;
            if (need <= cap_) return;
        }
        std::size_t cap = cap_ ? cap_ : 1024;
        while (cap < need) cap *= 2;
        void* q = std::realloc(p_, cap * sizeof(double));
        if (q == nullptr) throw std::bad_alloc();
        p_ = static_cast<double*>(q);
        cap_ = cap;
    }

    double* p_ = nullptr;
    std::size_t n_ = 0, cap_ = 0;
};

// The trade log of a run, one element per trade in the order trades end
// (open trades last, by stock id).
struct TradeColumns {
    std::vector<int64_t> sid, entry_bar, exit_bar;  // exit -1 while open
    std::vector<double> position;                   // signed share of equity at entry
    GrowingDoubles blocks;                          // `width` statistics per trade
    int64_t width = 6;
};

class PlainHost final : public engine::Host {
  public:
    struct Config {
        View2<double> price, close;
        const int32_t* price_col;  // per position column, -1: none
        int32_t nstocks;
        excursion::Settings walk;
        bool split_on_resize;
        bool stop_trading_next_period;
    };

    explicit PlainHost(const Config& c)
        : c_(c),
          entry_(static_cast<std::size_t>(c.nstocks), 0),
          position_(static_cast<std::size_t>(c.nstocks), 0.0),
          entry_charged_(static_cast<std::size_t>(c.nstocks), 0) {}

    TradeColumns trades;

    void record_date(int bar) override { date_ = bar; }
    void record_entry(int sid, double share, int charged) override {
        const auto s = static_cast<std::size_t>(sid);
        entry_[s] = date_;
        position_[s] = share;
        entry_charged_[s] = static_cast<uint8_t>(charged != 0);
    }
    void record_exit(int sid, int charged) override { log_trade(sid, date_, date_, charged); }
    bool split_on_resize() override { return c_.split_on_resize; }
    bool stop_trading_next_period() override { return c_.stop_trading_next_period; }
    void record_open(const engine::PositionMap& pos) override {
        for (int sid : pos.keys()) {
            if (pos.at(sid) == 0.0) continue;  // NaN counts as held
            log_trade(sid, -1, date_, 0);
        }
    }

  private:
    void log_trade(int sid, int64_t exit_bar, int exit_date, int exit_charged) {
        const auto s = static_cast<std::size_t>(sid);
        const double pos_value = position_[s];
        // An unmapped stock reads price column 0, as the trade log does.
        const int32_t mapped = c_.price_col[s];
        const excursion::TradeSpan t{entry_[s],
                                     exit_date,
                                     mapped < 0 ? 0 : mapped,
                                     pos_value > 0.0,
                                     entry_charged_[s] != 0,
                                     exit_charged != 0};
        int64_t out_len = 0;
        excursion::Failure f;
        if (c_.walk.window == 0) {
            double block[6];
            f = excursion::walk_to_exit(c_.price, c_.close, t, c_.walk, block, out_len);
            if (f.fault == excursion::Fault::none) {
                trades.width = out_len;
                double* o = trades.blocks.extend(static_cast<std::size_t>(out_len));
                for (int64_t k = 0; k < out_len - 6; ++k) o[k] = -1.0;
                for (int k = 0; k < 6; ++k) o[out_len - 6 + k] = block[k];
            }
        } else {
            int64_t exit_offset = 0;
            f = excursion::walk_trade(c_.price, c_.close, t, c_.walk, scratch_, exit_offset,
                                      out_len);
            if (f.fault == excursion::Fault::none) {
                trades.width = out_len;
                double* o = trades.blocks.extend(static_cast<std::size_t>(out_len));
                f = excursion::write_blocks(scratch_, c_.walk, exit_offset, o, out_len);
            }
        }
        if (f.fault != excursion::Fault::none)
            throw WalkFailed{static_cast<int>(f.fault), f.index, f.size};
        trades.sid.push_back(sid);
        trades.entry_bar.push_back(entry_[s]);
        trades.exit_bar.push_back(exit_bar);
        trades.position.push_back(pos_value);
    }

    Config c_;
    int date_ = 0;
    std::vector<int64_t> entry_;
    std::vector<double> position_;
    std::vector<uint8_t> entry_charged_;
    excursion::Scratch scratch_;
};

}  // namespace torvex::typed
