#include "analysis.hpp"

#include <algorithm>
#include <cmath>

#include "torvex/select.hpp"
#include "walk_steps.hpp"

namespace torvex::excursion {

Failure walk_trade(const View2<double>& price, const View2<double>& close, const TradeSpan& t,
                   const Settings& cfg, Scratch& s, int64_t& exit_offset, int64_t& out_len) {
    Failure f;

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

    // The entry cells are read first: an entry bar outside the data (one
    // written into the trade log's tables through the C-level interface) fails
    // here, before the scratch grows to the length it would give.
    double entry_price, entry_close;
    if (!walk::read(price, t.i_entry, t.pid, entry_price, f)) return f;
    if (!walk::read(close, t.i_entry, t.pid, entry_close, f)) return f;

    const int64_t walk_len = i_exit_max - t.i_entry + 1;
    s.prepare(static_cast<std::size_t>(walk_len));
    double* const returns = s.returns.data();
    double* const cummax = s.cummax.data();
    double* const cummin = s.cummin.data();
    int64_t* const cummin_i = s.cummin_i.data();
    double* const mdd = s.mdd.data();
    double* const profit_period = s.profit_period.data();

    if (entry_price == 0.0) {
        f.fault = Fault::float_division;
        return f;
    }
    double price_ratio = walk::entry_ratio(entry_price, entry_close, t, cfg);

    {
        const double r = price_ratio;
        returns[0] = r;
        cummax[0] = 1.0 > r ? 1.0 : r;
        cummin[0] = r > 1.0 ? 1.0 : r;
        cummin_i[0] = 0;
        mdd[0] = r - 1.0 < 0.0 ? r - 1.0 : 0.0;
        profit_period[0] = r > 1.0 ? 1.0 : 0.0;
    }

    // Each bar of the walk is a different row of the close table, so every read
    // misses the cache; asking for all of them first lets the loads overlap.
    const bool inside = t.i_entry >= 0 && i_exit_max < close.n0 && t.pid >= 0 && t.pid < close.n1;
    if (inside) {
        for (int64_t b = t.i_entry + 1; b <= i_exit_max; ++b)
            __builtin_prefetch(close.data + b * close.s0 + t.pid * close.s1);
    }

    // The running statistics are carried in registers and chosen without
    // branches: whether a bar makes a new high, a new low or a profit is a coin
    // flip from bar to bar.
    double pv = entry_close;  // last valid close
    double cmax = cummax[0], cmin = cummin[0], dd = mdd[0], pp = profit_period[0];
    int64_t cmin_i = 0;
    std::size_t i = 0;
    for (int64_t b = t.i_entry + 1; b <= i_exit_max; ++b, ++i) {
        double v;
        if (inside) {
            v = close(b, t.pid);
        } else if (!walk::read(close, b, t.pid, v, f)) {
            return f;
        }
        const bool has_close = !std::isnan(v);
        if (!walk::carry(v, pv, price_ratio, t.is_long, f)) return f;
        // Element i + 1 follows from element i.
        cmax = pick(price_ratio > cmax, price_ratio, cmax);
        const bool new_min = cmin > price_ratio;
        cmin = pick(new_min, price_ratio, cmin);
        cmin_i = new_min ? static_cast<int64_t>(i) : cmin_i;
        if (cmax == 0.0) {
            f.fault = Fault::float_division;
            return f;
        }
        const double newmdd = price_ratio / cmax - 1.0;
        dd = pick(dd > newmdd, newmdd, dd);
        pp = pick(has_close & (price_ratio > 1.0), pp + 1.0, pp);
        cummax[i + 1] = cmax;
        cummin[i + 1] = cmin;
        cummin_i[i + 1] = cmin_i;
        mdd[i + 1] = dd;
        profit_period[i + 1] = pp;
        returns[i + 1] = price_ratio;
    }

    // The exit block is read at the exit bar, or at the last bar walked when the
    // data ends first.
    const int64_t n = walk_len;
    const int64_t span = t.i_exit - t.i_entry;
    const int64_t e = (span >= 0 && span <= n - 1) ? span : n - 1;

    // Exit costs belong to the exit bar itself, whatever the window, so the exit
    // statistics of a trade do not depend on how far the window reaches.
    if (t.exit_transaction && !walk::exit_costs(price, close, t, cfg, e, returns[e], f)) return f;

    if (cfg.window_step == 0) {
        f.fault = Fault::modulo_by_zero;
        return f;
    }
    out_len = walk::floor_div(cfg.window - 1, cfg.window_step) * 6 + 12;
    if (out_len < 0) {
        f.fault = Fault::negative_dimensions;
        return f;
    }
    exit_offset = e;
    return f;
}

// The six statistics at bar offset x: MAE, MFE, MFE before the MAE, drawdown,
// bars in profit and return.
static void write_block(const Scratch& s, std::size_t x, double* o) {
    const auto mae_i = static_cast<std::size_t>(s.cummin_i[x]);
    o[0] = s.cummin[x] - 1.0;
    o[1] = s.cummax[x] - 1.0;
    o[2] = s.cummax[mae_i] - 1.0;
    o[3] = s.mdd[x];
    o[4] = s.profit_period[x];
    o[5] = s.returns[x] - 1.0;
}

Failure write_blocks(const Scratch& s, const Settings& cfg, int64_t exit_offset, double* out,
                     int64_t out_len) {
    Failure f;
    const auto n = static_cast<uint64_t>(s.n);
    // A negative window compares as a huge unsigned number, so the samples then
    // cover every bar walked; a step below 1 takes only offset 0.
    const uint64_t limit = std::min(n, static_cast<uint64_t>(cfg.window));
    const auto step = static_cast<uint64_t>(std::max<int64_t>(cfg.window_step, 1));
    const uint64_t blocks = limit == 0 ? 0 : (cfg.window_step <= 0 ? 1 : (limit - 1) / step + 1);
    if (blocks * 6 > static_cast<uint64_t>(out_len) || out_len < 6) {
        f.fault = Fault::store_out_of_bounds;
        return f;
    }
    double* o = out;
    for (uint64_t j = 0; j < blocks; ++j, o += 6)
        write_block(s, static_cast<std::size_t>(j * step), o);
    // Sample points the walk did not reach stay at -1.
    for (double* end = out + out_len; o < end; ++o) *o = -1.0;
    write_block(s, static_cast<std::size_t>(exit_offset), out + (out_len - 6));
    return f;
}

}  // namespace torvex::excursion
