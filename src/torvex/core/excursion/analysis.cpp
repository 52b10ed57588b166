#include "analysis.hpp"

#include <algorithm>
#include <cmath>

namespace torvex::excursion {

namespace {

// Python's floor division of integers.
int64_t floor_div(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

// Reads one element the way an array lookup with a negative-index wrap does.
struct Reader {
    const View2<double>& v;
    Failure& f;
    bool get(int64_t row, int64_t col, double& out) const {
        if (row < 0) row += v.n0;
        if (row < 0 || row >= v.n0) return fail(row < 0 ? row - v.n0 : row, v.n0);
        if (col < 0) col += v.n1;
        if (col < 0 || col >= v.n1) return fail(col < 0 ? col - v.n1 : col, v.n1);
        out = v(row, col);
        return true;
    }
    bool fail(int64_t index, int64_t size) const {
        f.fault = Fault::index;
        f.index = index;
        f.size = size;
        return false;
    }
};

}  // namespace

Failure walk_trade(const View2<double>& price, const View2<double>& close, const TradeSpan& t,
                   const Settings& cfg, Scratch& s, int64_t& exit_offset, int64_t& out_len) {
    Failure f;
    Reader rp{price, f}, rc{close, f};

    // The walk runs to the exit, or past it to the end of the window, never past
    // the last bar of the data.
    int64_t i_exit_max = t.i_exit;
    if (t.i_entry + cfg.window > i_exit_max) i_exit_max = t.i_entry + cfg.window;
    const int64_t plength = price.n0;
    if (i_exit_max >= plength) i_exit_max = plength - 1;
    if (i_exit_max - t.i_entry < 0) {
        f.fault = Fault::negative_size;
        return f;
    }

    s.returns.clear();
    s.cummax.clear();
    s.cummin.clear();
    s.cummin_i.clear();
    s.mdd.clear();
    s.profit_period.clear();
    const auto reserve = static_cast<std::size_t>(i_exit_max - t.i_entry + 1);
    s.returns.reserve(reserve);
    s.cummax.reserve(reserve);
    s.cummin.reserve(reserve);
    s.cummin_i.reserve(reserve);
    s.mdd.reserve(reserve);
    s.profit_period.reserve(reserve);

    double entry_price, entry_close;
    if (!rp.get(t.i_entry, t.pid, entry_price)) return f;
    if (!rc.get(t.i_entry, t.pid, entry_close)) return f;
    if (entry_price == 0.0) {
        f.fault = Fault::float_division;
        return f;
    }
    double price_ratio;
    if (t.is_long) {
        price_ratio = entry_close / entry_price;
    } else {
        price_ratio = 2.0 - entry_close / entry_price;
    }
    if (t.entry_transaction) price_ratio = (1.0 - cfg.fee_ratio) * price_ratio;

    {
        const double r = price_ratio;
        s.returns.push_back(r);
        s.cummax.push_back(1.0 > r ? 1.0 : r);
        s.cummin.push_back(r > 1.0 ? 1.0 : r);
        s.cummin_i.push_back(0);
        s.mdd.push_back(r - 1.0 < 0.0 ? r - 1.0 : 0.0);
        s.profit_period.push_back(r > 1.0 ? 1.0 : 0.0);
    }

    double pv = entry_close;  // last valid close
    std::size_t i = 0;
    for (int64_t b = t.i_entry + 1; b <= i_exit_max; ++b, ++i) {
        double v;
        if (!rc.get(b, t.pid, v)) return f;
        const bool has_close = !std::isnan(v);
        if (has_close) {
            if (pv == 0.0) {
                f.fault = Fault::float_division;
                return f;
            }
            const double p = v / pv;
            if (!std::isnan(p)) {
                if (t.is_long) {
                    price_ratio = price_ratio * p;
                } else {
                    price_ratio = 2.0 - p * (2.0 - price_ratio);
                }
            }
            pv = v;
        }
        double cmax = s.cummax[i];
        const double cmin = s.cummin[i];
        if (price_ratio > cmax) {
            s.cummax.push_back(price_ratio);
            cmax = price_ratio;
        } else {
            s.cummax.push_back(cmax);
        }
        if (cmin > price_ratio) {
            s.cummin.push_back(price_ratio);
            s.cummin_i.push_back(static_cast<int64_t>(i));
        } else {
            s.cummin.push_back(cmin);
            s.cummin_i.push_back(s.cummin_i[i]);
        }
        if (cmax == 0.0) {
            f.fault = Fault::float_division;
            return f;
        }
        const double newmdd = price_ratio / cmax - 1.0;
        s.mdd.push_back(s.mdd[i] > newmdd ? newmdd : s.mdd[i]);
        s.profit_period.push_back(has_close && price_ratio > 1.0 ? s.profit_period[i] + 1.0
                                                                 : s.profit_period[i]);
        s.returns.push_back(price_ratio);
    }

    // The exit block is read at the exit bar, or at the last bar walked when the
    // data ends first.
    const int64_t n = static_cast<int64_t>(s.returns.size());
    const int64_t span = t.i_exit - t.i_entry;
    const int64_t e = (span >= 0 && span <= n - 1) ? span : n - 1;

    // Exit costs belong to the exit bar itself, whatever the window, so the exit
    // statistics of a trade do not depend on how far the window reaches.
    if (t.exit_transaction) {
        double& r = s.returns[static_cast<std::size_t>(e)];
        if (e != 0) {
            double p, v;
            if (!rp.get(t.i_entry + e, t.pid, p)) return f;
            if (!rc.get(t.i_entry + e, t.pid, v)) return f;
            if (v == 0.0) {
                f.fault = Fault::float_division;
                return f;
            }
            if (t.is_long) {
                r = p / v * r;
            } else {
                r = 2.0 - (2.0 - r) * p / v;
            }
        }
        r = (1.0 - cfg.fee_ratio - cfg.tax_ratio) * r;
    }

    if (cfg.window_step == 0) {
        f.fault = Fault::modulo_by_zero;
        return f;
    }
    out_len = floor_div(cfg.window - 1, cfg.window_step) * 6 + 12;
    if (out_len < 0) {
        f.fault = Fault::negative_dimensions;
        return f;
    }
    exit_offset = e;
    return f;
}

Failure write_blocks(const Scratch& s, const Settings& cfg, int64_t exit_offset, double* out,
                     int64_t out_len) {
    Failure f;
    const auto n = static_cast<uint64_t>(s.returns.size());
    // A negative window compares as a huge unsigned number, so the samples then
    // cover every bar walked.
    const uint64_t limit = std::min(n, static_cast<uint64_t>(cfg.window));
    int64_t k = 0;
    auto store = [&](double v) {
        if (k < 0 || k >= out_len) {
            f.fault = Fault::store_out_of_bounds;
            return false;
        }
        out[k++] = v;
        return true;
    };
    for (int64_t w = 0; w >= 0 && static_cast<uint64_t>(w) < limit; w += cfg.window_step) {
        const auto wi = static_cast<std::size_t>(w);
        const auto mae_i = static_cast<std::size_t>(s.cummin_i[wi]);
        if (!store(s.cummin[wi] - 1.0) || !store(s.cummax[wi] - 1.0) ||
            !store(s.cummax[mae_i] - 1.0) || !store(s.mdd[wi]) || !store(s.profit_period[wi]) ||
            !store(s.returns[wi] - 1.0))
            return f;
        if (cfg.window_step <= 0) break;
    }
    if (out_len < 6) {
        f.fault = Fault::store_out_of_bounds;
        return f;
    }
    const auto e = static_cast<std::size_t>(exit_offset);
    const auto mae_i = static_cast<std::size_t>(s.cummin_i[e]);
    double* blk = out + (out_len - 6);
    blk[0] = s.cummin[e] - 1.0;
    blk[1] = s.cummax[e] - 1.0;
    blk[2] = s.cummax[mae_i] - 1.0;
    blk[3] = s.mdd[e];
    blk[4] = s.profit_period[e];
    blk[5] = s.returns[e] - 1.0;
    return f;
}

}  // namespace torvex::excursion
