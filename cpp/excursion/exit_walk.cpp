#include "exit_walk.hpp"

#include <immintrin.h>

#include <cmath>

#include "torvex/select.hpp"
#include "walk_steps.hpp"

namespace torvex::excursion {
namespace {

using walk::read;

// a > b ? a : b and a < b ? a : b exactly as written (NaN in either gives b):
// the semantics of the scalar max and min instructions with `a` first.
inline double greater_or(double a, double b) noexcept {
    return _mm_cvtsd_f64(_mm_max_sd(_mm_set_sd(a), _mm_set_sd(b)));
}
inline double less_or(double a, double b) noexcept {
    return _mm_cvtsd_f64(_mm_min_sd(_mm_set_sd(a), _mm_set_sd(b)));
}

}  // namespace

Failure walk_to_exit(const View2<double>& price, const View2<double>& close, const TradeSpan& t,
                     const Settings& cfg, double block[6], int64_t& out_len) {
    Failure f;
    int64_t i_exit_max = t.i_exit;
    if (t.i_entry > i_exit_max) i_exit_max = t.i_entry;
    if (i_exit_max >= price.n0) i_exit_max = price.n0 - 1;
    if (i_exit_max - t.i_entry < 0) {
        f.fault = Fault::negative_size;
        return f;
    }

    double entry_price, entry_close;
    if (!read(price, t.i_entry, t.pid, entry_price, f)) return f;
    if (!read(close, t.i_entry, t.pid, entry_close, f)) return f;
    if (entry_price == 0.0) {
        f.fault = Fault::float_division;
        return f;
    }
    double price_ratio = walk::entry_ratio(entry_price, entry_close, t, cfg);

    const double r0 = price_ratio;
    double cmax = 1.0 > r0 ? 1.0 : r0;
    double cmin = r0 > 1.0 ? 1.0 : r0;
    double dd = r0 - 1.0 < 0.0 ? r0 - 1.0 : 0.0;
    double pp = r0 > 1.0 ? 1.0 : 0.0;
    // The running maximum as it stood on the bar before the minimum was last
    // lowered (the bar the walk's cummin_i names).
    double cmax_at_min = cmax;

    const bool inside = t.i_entry >= 0 && i_exit_max < close.n0 && t.pid >= 0 && t.pid < close.n1;
    if (inside) {
        for (int64_t b = t.i_entry + 1; b <= i_exit_max; ++b)
            __builtin_prefetch(close.data + b * close.s0 + t.pid * close.s1);
    }
    double pv = entry_close;
    for (int64_t b = t.i_entry + 1; b <= i_exit_max; ++b) {
        double v;
        if (inside) {
            v = close(b, t.pid);
        } else if (!read(close, b, t.pid, v, f)) {
            return f;
        }
        const bool has_close = !std::isnan(v);
        if (!walk::carry(v, pv, price_ratio, t.is_long, f)) return f;
        const double cmax_before = cmax;
        cmax = greater_or(price_ratio, cmax);
        const bool new_min = cmin > price_ratio;
        cmin = less_or(price_ratio, cmin);
        cmax_at_min = pick(new_min, cmax_before, cmax_at_min);
        if (cmax == 0.0) {
            f.fault = Fault::float_division;
            return f;
        }
        const double newmdd = price_ratio / cmax - 1.0;
        dd = less_or(newmdd, dd);
        // A count: adding 0.0 leaves it as it is.
        pp += (has_close & (price_ratio > 1.0)) ? 1.0 : 0.0;
    }

    // Without a window the exit block is the last bar walked.
    const int64_t e = i_exit_max - t.i_entry;
    double r = price_ratio;
    if (t.exit_transaction && !walk::exit_costs(price, close, t, cfg, e, r, f)) return f;

    if (cfg.window_step == 0) {
        f.fault = Fault::modulo_by_zero;
        return f;
    }
    out_len = walk::floor_div(-1, cfg.window_step) * 6 + 12;
    block[0] = cmin - 1.0;
    block[1] = cmax - 1.0;
    block[2] = cmax_at_min - 1.0;
    block[3] = dd;
    block[4] = pp;
    block[5] = r - 1.0;
    return f;
}

}  // namespace torvex::excursion
