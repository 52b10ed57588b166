// The run log: what the specified reports do not keep but a caller's report
// needs, recorded as the run goes. Per element of the trade log, why the trade
// ended, whether it was a touched exit (closed at the band on its own bar) and
// what the ledger did for it (fills, charges, cash flows); per executed
// rebalance, its bar and the weight row it traded to.
//
// A few stores per ledger call and per rebalance, into vectors that keep their
// capacity from run to run; nothing per bar. Each run writes the log and book
// it is given.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace torvex::engine {

// Codes are indexes into torvex._runlog.EXIT_REASONS; keep both in one order.
enum class ExitReason : int8_t { rebalance, stop_loss, take_profit, trail_stop, delisted, open };

inline constexpr double no_price = std::numeric_limits<double>::quiet_NaN();

// How a trade ends, as set_position passes it to the log. `price` is the fill
// when the caller knows it (a touched exit's band level or open); NaN asks the
// run for the price the position is carried at.
struct TradeEnd {
    ExitReason reason = ExitReason::rebalance;
    bool touched = false;
    double price = no_price;
};

// What the ledger did for one trade. `pnl` is the sum of the cash flows of
// every ledger call on the stock while the trade is open (a buy counts minus
// its amount, a sale or close its net proceeds), the value carried across a
// split credited to the trade that ends there and debited to the one that
// starts, and for a trade open at the end its value at the last close.
// `committed` is the opening target plus later outlays that grew the holding.
struct TradeFill {
    double entry_price = no_price;
    double exit_price = no_price;
    double fees = 0.0;
    double taxes = 0.0;
    double pnl = 0.0;
    double committed = 0.0;
};

// A trade the ledger opened but the trade log never recorded: its held value
// reached exactly 0.0, which the log counts as no holding, so no exit was
// recorded and the cash it moved belongs to no record.
struct UnrecordedTrade {
    int32_t sid;
    double pnl;
};

// One trade's record in the run log.
struct TradeRecord {
    TradeFill fill;
    int8_t exit_reason;
    uint8_t touched;        // a touched exit filled it at its band inside the bar
    uint8_t unpriced_exit;  // closed on a bar without a price: at its last price
};

struct RunLog {
    std::vector<TradeRecord> trades;  // in the trade log's order
    std::vector<int64_t> rebalance_bars;
    std::vector<int64_t> rebalance_rows;
    std::vector<UnrecordedTrade> unrecorded;

    void clear() noexcept {
        trades.clear();
        rebalance_bars.clear();
        rebalance_rows.clear();
        unrecorded.clear();
    }
    void rebalanced(int64_t bar, int64_t row) {
        rebalance_bars.push_back(bar);
        rebalance_rows.push_back(row);
    }
    void swap(RunLog& o) noexcept {
        trades.swap(o.trades);
        rebalance_bars.swap(o.rebalance_bars);
        rebalance_rows.swap(o.rebalance_rows);
        unrecorded.swap(o.unrecorded);
    }
};

// The trades the ledger has open, one slot per stock (the run sizes it to its
// position columns; callers pass stock ids below that), and the records of
// those that ended, in the trade log's order.
class TradeBook {
  public:
    void reset(std::size_t nstocks) { open_.assign(nstocks, OpenTrade{}); }
    // A trade of `sid` opens at bar `bar` filled at `price`, with the cash flow
    // and charges of the opening call and its target `committed`.
    void opened(RunLog& log, int sid, int64_t bar, double price, double flow, double fee,
                double tax, double committed) {
        OpenTrade& t = open_[static_cast<std::size_t>(sid)];
        if (t.active) [[unlikely]]
            log.unrecorded.push_back({sid, t.fill.pnl});
        t.active = true;
        t.entry_bar = bar;
        t.fill = {price, no_price, fee, tax, flow, committed};
    }
    // A ledger call on an open trade that keeps it open.
    void moved(int sid, double flow, double fee, double tax, double committed) {
        TradeFill& f = open_[static_cast<std::size_t>(sid)].fill;
        f.pnl += flow;
        f.fees += fee;
        f.taxes += tax;
        f.committed += committed;
    }
    // The trade of `sid` ends, filled at `end.price`; its record is appended to the log.
    void closed(RunLog& log, int sid, TradeEnd end, double flow, double fee, double tax,
                bool unpriced) {
        OpenTrade& t = open_[static_cast<std::size_t>(sid)];
        t.fill.pnl += flow;
        t.fill.fees += fee;
        t.fill.taxes += tax;
        t.fill.exit_price = end.price;
        log.trades.push_back({t.fill, static_cast<int8_t>(end.reason),
                              static_cast<uint8_t>(end.touched ? 1 : 0),
                              static_cast<uint8_t>(unpriced ? 1 : 0)});
        t.active = false;
    }
    // A held position resized where the trade log splits it: the trade ends at
    // `price` (`unpriced`: the bar has no price, `price` is the last one)
    // credited with the value `carried` into the resize, and the next
    // opens at `price` debited with it, with the resize's flow and charges.
    void split(RunLog& log, int sid, int64_t bar, double price, bool unpriced, double carried,
               double flow, double fee, double tax, double committed) {
        OpenTrade& t = open_[static_cast<std::size_t>(sid)];
        t.fill.pnl += carried;
        t.fill.exit_price = price;
        log.trades.push_back({t.fill, static_cast<int8_t>(ExitReason::rebalance), 0,
                              static_cast<uint8_t>(unpriced ? 1 : 0)});
        t.entry_bar = bar;
        t.fill = {price, no_price, fee, tax, flow - carried, committed};
    }
    TradeFill& fill(int sid) noexcept { return open_[static_cast<std::size_t>(sid)].fill; }
    int64_t entry_bar(int sid) const noexcept {
        return open_[static_cast<std::size_t>(sid)].entry_bar;
    }
    // Trades still open in the book that the log will not record (their value
    // is 0.0 at the end) go to `unrecorded`; call after the open positions
    // were closed in the log.
    void finish(RunLog& log) {
        for (std::size_t s = 0; s < open_.size(); ++s)
            if (open_[s].active) {
                log.unrecorded.push_back({static_cast<int32_t>(s), open_[s].fill.pnl});
                open_[s].active = false;
            }
    }

  private:
    struct OpenTrade {
        TradeFill fill;
        int64_t entry_bar = 0;
        bool active = false;
    };
    std::vector<OpenTrade> open_;
};

}  // namespace torvex::engine
