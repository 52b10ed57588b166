// The steps both walks of a trade share (analysis.cpp with a window,
// exit_walk.cpp without): reading a cell, the entry ratio, carrying the ratio
// across one bar's close and applying the exit's price, fee and tax.
#pragma once

#include <cmath>
#include <cstdint>

#include "analysis.hpp"

namespace torvex::excursion::walk {

// Python's floor division of integers.
inline int64_t floor_div(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

// One element read the way an array lookup with a negative-index wrap does.
inline bool read(const View2<double>& v, int64_t row, int64_t col, double& out, Failure& f) {
    if (row < 0) row += v.n0;
    if (row < 0 || row >= v.n0) {
        f = {Fault::index, row < 0 ? row - v.n0 : row, v.n0};
        return false;
    }
    if (col < 0) col += v.n1;
    if (col < 0 || col >= v.n1) {
        f = {Fault::index, col < 0 ? col - v.n1 : col, v.n1};
        return false;
    }
    out = v(row, col);
    return true;
}

// The ratio at the entry bar, after its fee when the entry traded.
// `entry_price` is not 0.
inline double entry_ratio(double entry_price, double entry_close, const TradeSpan& t,
                          const Settings& cfg) {
    double r = t.is_long ? entry_close / entry_price : 2.0 - entry_close / entry_price;
    if (t.entry_transaction) r = (1.0 - cfg.fee_ratio) * r;
    return r;
}

// Carries `ratio` across a bar whose close is `v` (NaN: no close, nothing
// moves) from the last valid close `pv`. False, with the fault set, on a last
// close of 0.
[[gnu::always_inline]] inline bool carry(double v, double& pv, double& ratio, bool is_long,
                                         Failure& f) {
    if (std::isnan(v)) return true;
    if (pv == 0.0) {
        f.fault = Fault::float_division;
        return false;
    }
    const double p = v / pv;
    if (!std::isnan(p)) ratio = is_long ? ratio * p : 2.0 - p * (2.0 - ratio);
    pv = v;
    return true;
}

// The return at exit offset `e` when the exit traded: the ratio moved from the
// close to the exit's trading price (unless the trade exits on its entry bar),
// then charged the fee and tax.
inline bool exit_costs(const View2<double>& price, const View2<double>& close, const TradeSpan& t,
                       const Settings& cfg, int64_t e, double& r, Failure& f) {
    if (e != 0) {
        double p, v;
        if (!read(price, t.i_entry + e, t.pid, p, f)) return false;
        if (!read(close, t.i_entry + e, t.pid, v, f)) return false;
        if (v == 0.0) {
            f.fault = Fault::float_division;
            return false;
        }
        r = t.is_long ? p / v * r : 2.0 - (2.0 - r) * p / v;
    }
    r = (1.0 - cfg.fee_ratio - cfg.tax_ratio) * r;
    return true;
}

}  // namespace torvex::excursion::walk
