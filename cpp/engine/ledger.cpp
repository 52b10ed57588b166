#include "ledger.hpp"

#include <cmath>
#include <cstring>

#include "run.hpp"
#include "torvex/select.hpp"

namespace torvex::engine {
namespace {

double share(double position, double balance) {
    if (balance == 0.0) throw FloatDivisionByZero{};
    return position / balance;
}

// Whether the eight columns from `i` all have a zero weight and no entry.
inline bool block_is_empty(const View1<double>& w, const uint8_t* present, index_t i) {
    uint64_t flags;
    std::memcpy(&flags, present + i, sizeof flags);
    if (flags != 0) return false;
    bool zero = true;
    for (int k = 0; k < 8; ++k) zero &= w(i + k) == 0.0;
    return zero;
}

}  // namespace

namespace {

// The run log's side of a ledger call, made once the arithmetic is done: the
// cash the call moved (`flow`; a buy's charge stays inside the position), its
// charges, and which trade they belong to. `fill` is the price an entry or a
// split filled at; `before` the value held before the call.
[[gnu::noinline]] void log_trade(Run& r, int sid, double position, double before, double amount,
                                 bool is_entry, bool prev_has_position, bool split, double fill,
                                 double flow, double fee_ratio, double tax_ratio) {
    const double fee = std::abs(amount) * fee_ratio;
    const double tax = is_entry ? 0.0 : std::abs(amount) * tax_ratio;
    TradeBook& book = r.book;
    if (!prev_has_position) {
        book.opened(r.log, sid, r.bar, fill, flow, fee, tax, std::abs(position));
    } else if (split) {
        settle_entry_price(r, sid);
        book.split(r.log, sid, r.bar, fill, std::isnan(price_now(r, sid)), before, flow, fee, tax,
                   std::abs(position));
    } else {
        // Kept open: outlays that grow the holding on its side count as committed
        // (a flip commits the new side's target).
        const bool flip = (before > 0.0 && position < 0.0) || (before < 0.0 && position > 0.0);
        book.moved(sid, flow, fee, tax,
                   flip ? std::abs(position) : (is_entry ? std::abs(amount) : 0.0));
    }
}

}  // namespace

double set_position(Run& r, PositionMap& p, int sid, double position, double cash, double fee_ratio,
                    double tax_ratio, bool check_null, bool set_null, double balance,
                    TradeEnd end) {
    if (sid < 0 || static_cast<std::size_t>(sid) >= p.capacity()) out_of_bounds(0);
    const bool found = p.contains(sid);
    const bool exist = check_null ? found : true;
    const bool prev_has_position = found && p.at(sid) != 0.0;
    const bool next_has_position = position != 0.0;

    // A stock without a price column is never opened: it could not be valued.
    if (next_has_position && !found && !p.priced(sid)) throw UnpricedColumn{sid};

    // The trade log hears of the change before the ledger moves. Recording an
    // exit may run the host's code, and so may reading the settings of a
    // resize: the host checks its inputs after either.
    Host& host = r.host;
    bool split = false;
    if (!prev_has_position && next_has_position) {
        host.record_entry(sid, share(position, balance), 1);
    } else if (prev_has_position && !next_has_position) {
        host.record_exit(sid, 1);
        host.after_host_code();
    } else if (prev_has_position && next_has_position) {
        if (host.split_on_resize()) {
            // The trade log splits the trade at the resize: one trade ends here.
            host.record_exit(sid, 0);
            host.record_entry(sid, share(position, balance), 0);
            host.after_host_code();
            split = true;
        }
    }

    if (position == 0.0) {
        if (!exist) return cash;
        double& slot = p.slot(sid);  // inserted with 0.0 when not looked up before
        const double v = slot;
        const double charges = std::abs(v) * (fee_ratio + tax_ratio);
        if (prev_has_position) {
            // Before the map changes: the fill is the price the position is carried at
            // unless the caller knows it.
            const bool unpriced = std::isnan(end.price) && std::isnan(price_now(r, sid));
            const double fill = std::isnan(end.price) ? carried_price(r, sid) : end.price;
            settle_entry_price(r, sid);
            r.book.closed(r.log, sid, {end.reason, end.touched, fill}, v - charges,
                          std::abs(v) * fee_ratio, std::abs(v) * tax_ratio, unpriced);
        }
        if (set_null) {
            p.erase(sid);
        } else {
            slot = 0.0;
        }
        return (v - charges) + cash;
    }

    // An entry fills at the bar's trading price, a split at the price the position
    // is carried at; both read before the map changes.
    const double fill = !prev_has_position ? price_now(r, sid) : carried_price(r, sid);
    double& held = p.slot(sid);
    const double before = held;
    const double amount = position - held;
    // A resize buys or sells as the prices moved since the last rebalance: both
    // outcomes are computed and one is picked without a branch.
    const bool buy = amount > 0.0;
    const bool is_entry = (buy & (position >= 0.0)) | (!buy & (position <= 0.0) & (amount < 0.0));
    const double rate = pick(is_entry, fee_ratio, fee_ratio + tax_ratio);
    const double cost = std::abs(amount) * rate;
    const double new_cash = pick(buy, cash - amount, ((-amount) - cost) + cash);
    held = pick(buy, (amount - cost) + held, amount + held);

    log_trade(r, sid, position, before, amount, is_entry, prev_has_position, split, fill,
              pick(buy, -amount, (-amount) - cost), fee_ratio, tax_ratio);
    if (set_null && held == 0.0) p.erase(sid);
    return new_cash;
}

namespace {

// NumPy's pairwise summation of |x| over elements [0, n) of `at`: eight running
// sums over blocks of at most 128, combined in a fixed tree, and larger runs
// split in two at a multiple of eight.
template <class At>
double pairwise_abs(const At& at, int64_t begin, int64_t n) {
    if (n < 8) {
        double res = 0.0;
        for (int64_t i = 0; i < n; ++i) res += std::abs(at(begin + i));
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (int k = 0; k < 8; ++k) r[k] = std::abs(at(begin + k));
        int64_t i = 8;
        for (; i < n - (n % 8); i += 8)
            for (int k = 0; k < 8; ++k) r[k] += std::abs(at(begin + i + k));
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += std::abs(at(begin + i));
        return res;
    }
    int64_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_abs(at, begin, n2) + pairwise_abs(at, begin + n2, n - n2);
}

}  // namespace

double pairwise_abs_sum(const View1<double>& a, int64_t begin, int64_t n) {
    // A contiguous row is read with a constant stride, which the compiler
    // turns into vector loads.
    if (a.stride == static_cast<index_t>(sizeof(double))) {
        const char* p = a.data;
        return pairwise_abs([p](int64_t i) { return detail::load<double>(p + 8 * i); }, begin, n);
    }
    return pairwise_abs(a, begin, n);
}

double rebalance(Run& r, PositionMap& p, const View1<double>& newp, double cash, double fee_ratio,
                 double tax_ratio, double position_limit) {
    double balance = cash;
    for (int sid : p.keys()) balance += p.at(sid);

    // The reduction starts from its identity 0.0, as numpy.sum does.
    const double gross = 0.0 + pairwise_abs_sum(newp, 0, newp.n);
    const double divisor = 1.0 > gross ? 1.0 : gross;
    double ratio = balance / divisor;
    if (std::isnan(ratio)) ratio = 1.0;

    // The cap limits a target's magnitude and keeps its side, also when equity
    // (or the limit) is negative.
    const double cap = position_limit * balance;
    const double cap_abs = std::abs(cap);
    // With a finite ratio a zero weight gives a zero target, so a column with
    // a zero weight and no entry in the map is passed over; blocks of eight
    // such columns are skipped at once.
    const bool skip_zeros =
        std::isfinite(ratio) && static_cast<std::size_t>(newp.n) <= p.capacity();
    const uint8_t* present = p.present_data();
    const KeyBatch batch(p);
    for (index_t sid = 0; sid < newp.n; ++sid) {
        if (skip_zeros) {
            while (sid + 8 <= newp.n && block_is_empty(newp, present, sid)) sid += 8;
            if (sid >= newp.n) break;
            if (newp(sid) == 0.0 && present[sid] == 0) continue;
        }
        // The weight is read once: code run by an earlier trade of this pass may
        // have rewritten the row.
        const double weight = newp(sid);
        if (!p.priced(static_cast<int>(sid))) {
            if (weight != 0.0) throw UnpricedColumn{static_cast<int>(sid)};  // NaN counts
            continue;
        }
        double v2 = weight * ratio;
        if (std::abs(v2) > cap_abs) {
            const double sign = v2 > 0.0 ? 1.0 : -1.0;
            v2 = cap_abs * sign;
        }
        // A zero target for a stock not in the map changes nothing.
        if (v2 == 0.0 && !p.contains(static_cast<int>(sid))) continue;
        cash = set_position(r, p, static_cast<int>(sid), v2, cash, fee_ratio, tax_ratio, true, true,
                            balance);
    }
    return cash;
}

}  // namespace torvex::engine
