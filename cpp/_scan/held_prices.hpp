// The price checks of a run's held cells: one pass over the cells that held stocks can be read at.
//
// A held cell is a (bar, price column) on which the run may read a stock's prices: from the bar a
// row with a non-zero target for it executes through the bar the next row executes (where it is
// sold or resized). Each cell is read once, even where the segments of consecutive rows meet.
// Plain C++: no Python object, no allocation beyond one int per column.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace torvex::scan {

// A read-only strided 2-D view of float64 values (strides in bytes).
struct Grid {
    const char* data = nullptr;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 0;

    double at(std::int64_t r, std::int64_t c) const noexcept {
        double v;
        std::memcpy(&v, data + r * row_stride + c * col_stride, sizeof v);
        return v;
    }
};

// The first cell of a finding, by bar then column (-1: none).
struct Cell {
    std::int64_t frame = -1;
    std::int64_t row = -1;
    std::int64_t col = -1;

    bool found() const noexcept { return row >= 0; }
    void keep_first(std::int64_t f, std::int64_t r, std::int64_t c) noexcept {
        if (!found() || r < row || (r == row && c < col)) {
            frame = f;
            row = r;
            col = c;
        }
    }
};

struct Findings {
    Cell bad;       // a zero, negative or infinite price (frame = its index among the grids)
    Cell inverted;  // a high below its low
    Cell outside;   // an open (frame 0) or close (frame 1) outside [low, high], all four priced
    std::int64_t outside_count = 0;
};

// The four frames of a bar, by their index among the grids (-1 where not checked).
struct Ohlc {
    int open = -1, high = -1, low = -1, close = -1;
    bool on() const noexcept { return open >= 0 && high >= 0 && low >= 0 && close >= 0; }
};

// The bounds of a bar [low, high] widened by a relative 1e-9, whatever their signs (a plain
// l * (1 - 1e-9) narrows a negative low), so that the plain comparisons of a first pass find every
// case the widened bounds do.
inline double widened_low(double l) noexcept { return l < 0.0 ? l * (1 + 1e-9) : l * (1 - 1e-9); }
inline double widened_high(double h) noexcept { return h < 0.0 ? h * (1 - 1e-9) : h * (1 + 1e-9); }

inline bool bad_price(double v) noexcept {
    return v <= 0.0 || v == std::numeric_limits<double>::infinity();  // NaN is a missing price
}

// Whether any of n values, `stride` bytes apart, is a bad price. The unit-stride case is a
// branch-free loop the compiler vectorises.
inline bool any_bad(const char* p, std::ptrdiff_t stride, std::int64_t n) noexcept {
    constexpr double inf = std::numeric_limits<double>::infinity();
    if (stride == static_cast<std::ptrdiff_t>(sizeof(double))) {
        std::int64_t bad = 0;
        for (std::int64_t i = 0; i < n; ++i) {
            double v;
            std::memcpy(&v, p + i * static_cast<std::int64_t>(sizeof v), sizeof v);
            bad += (v <= 0.0) | (v == inf);
        }
        return bad != 0;
    }
    bool any = false;
    for (std::int64_t i = 0; i < n; ++i) {
        double v;
        std::memcpy(&v, p + i * stride, sizeof v);
        any |= (v <= 0.0) | (v == inf);
    }
    return any;
}

// Checks grids[*] over the rows [r0, r1] of column c.
inline void scan_segment(const Grid* grids, int ngrids, Ohlc ohlc, std::int64_t c, std::int64_t r0,
                         std::int64_t r1, Findings& out) {
    if (ohlc.on() && ngrids == 4) {
        // The four frames of a bar are all there is: one pass of plain comparisons over the four
        // at once (their loads are independent, so their cache misses overlap); a segment where
        // it finds anything is looked at in detail below.
        constexpr double inf = std::numeric_limits<double>::infinity();
        const Grid &go = grids[ohlc.open], &gh = grids[ohlc.high], &gl = grids[ohlc.low],
                   &gc = grids[ohlc.close];
        bool suspect = false;
        for (std::int64_t r = r0; r <= r1; ++r) {
            const double o = go.at(r, c), h = gh.at(r, c), l = gl.at(r, c), cl = gc.at(r, c);
            suspect |= (o <= 0.0) | (h <= 0.0) | (l <= 0.0) | (cl <= 0.0) | (o == inf) |
                       (h == inf) | (l == inf) | (cl == inf) | (h < l) | (o < l) | (o > h) |
                       (cl < l) | (cl > h);
        }
        if (!suspect) return;
    }
    for (int f = 0; f < ngrids; ++f) {
        const Grid& g = grids[f];
        if (!any_bad(g.data + r0 * g.row_stride + c * g.col_stride, g.row_stride, r1 - r0 + 1))
            continue;
        for (std::int64_t r = r0; r <= r1; ++r) {
            if (bad_price(g.at(r, c))) {
                out.bad.keep_first(f, r, c);
                break;
            }
        }
    }
    if (!ohlc.on()) return;
    const Grid &go = grids[ohlc.open], &gh = grids[ohlc.high], &gl = grids[ohlc.low],
               &gc = grids[ohlc.close];
    // A first pass of plain comparisons (NaN compares false); the cases it finds are looked at one
    // by one.
    bool suspect = false;
    for (std::int64_t r = r0; r <= r1; ++r) {
        const double h = gh.at(r, c), l = gl.at(r, c), o = go.at(r, c), cl = gc.at(r, c);
        suspect |= (h < l) | (o < l) | (o > h) | (cl < l) | (cl > h);
    }
    if (!suspect) return;
    for (std::int64_t r = r0; r <= r1; ++r) {
        const double h = gh.at(r, c), l = gl.at(r, c);
        if (h < l) out.inverted.keep_first(0, r, c);
        const double o = go.at(r, c), cl = gc.at(r, c);
        if (std::isnan(o) || std::isnan(cl) || std::isnan(h) || std::isnan(l)) continue;
        const double lo = widened_low(l), hi = widened_high(h);
        const bool o_out = o < lo || o > hi;
        const bool c_out = cl < lo || cl > hi;
        if (o_out | c_out) {
            out.outside_count += std::int64_t{o_out} + std::int64_t{c_out};
            out.outside.keep_first(o_out ? 0 : 1, r, c);
        }
    }
}

// Checks one cell of grids[*] (bar r, column c).
inline void scan_cell(const Grid* grids, int ngrids, Ohlc ohlc, std::int64_t r, std::int64_t c,
                      Findings& out) {
    for (int f = 0; f < ngrids; ++f) {
        if (bad_price(grids[f].at(r, c))) out.bad.keep_first(f, r, c);
    }
    if (!ohlc.on()) return;
    const double h = grids[ohlc.high].at(r, c), l = grids[ohlc.low].at(r, c);
    if (h < l) out.inverted.keep_first(0, r, c);
    const double o = grids[ohlc.open].at(r, c), cl = grids[ohlc.close].at(r, c);
    if (std::isnan(o) || std::isnan(cl) || std::isnan(h) || std::isnan(l)) return;
    const double lo = widened_low(l), hi = widened_high(h);
    const bool o_out = o < lo || o > hi;
    const bool c_out = cl < lo || cl > hi;
    if (o_out | c_out) {
        out.outside_count += std::int64_t{o_out} + std::int64_t{c_out};
        out.outside.keep_first(o_out ? 0 : 1, r, c);
    }
}

// Held cells: cell k holds price column cols[k] from exec_bars[rows[k]] through the next executed
// bar (the last bar for the last row). `rows` must be non-decreasing; the caller checked every
// index.
//
// Grids laid out by column (pandas' usual layout) are read column segment by column segment, the
// others bar by bar over the columns held on that bar, so that reads stay within a page.
constexpr std::int64_t kAhead = 8;  // segments fetched ahead

inline Findings held_prices(const Grid* grids, int ngrids, Ohlc ohlc, std::int64_t nbars,
                            std::int64_t ncols, const std::int64_t* exec_bars, std::int64_t nexec,
                            const std::int64_t* rows, const std::int64_t* cols,
                            std::int64_t ncells) {
    Findings out;
    std::vector<std::int64_t> covered(static_cast<std::size_t>(ncols),
                                      -1);  // last bar taken per column
    auto stop_of = [&](std::int64_t row) {
        return row + 1 < nexec ? exec_bars[row + 1] : nbars - 1;
    };
    bool by_column = true;
    for (int f = 0; f < ngrids; ++f) {
        const auto rs = grids[f].row_stride, cs = grids[f].col_stride;
        if ((rs < 0 ? -rs : rs) > (cs < 0 ? -cs : cs)) by_column = false;
    }
    if (by_column) {
        for (std::int64_t k = 0; k < ncells; ++k) {
            // The segments lie at scattered columns: fetching a later one's first lines now
            // overlaps its cache misses with this one's reads.
            if (k + kAhead < ncells) {
                const std::int64_t ahead = rows[k + kAhead], pc = cols[k + kAhead];
                const std::int64_t pr = exec_bars[ahead], bytes = (stop_of(ahead) - pr + 1) * 8;
                for (int f = 0; f < ngrids; ++f) {
                    const char* q =
                        grids[f].data + pr * grids[f].row_stride + pc * grids[f].col_stride;
                    for (std::int64_t b = 0; b < bytes && b < 512; b += 64)
                        __builtin_prefetch(q + b);
                }
            }
            const std::int64_t row = rows[k], c = cols[k];
            const std::int64_t start = exec_bars[row], stop = stop_of(row);
            std::int64_t& seen = covered[static_cast<std::size_t>(c)];
            const std::int64_t from = start > seen ? start : seen + 1;
            if (from > stop) continue;
            scan_segment(grids, ngrids, ohlc, c, from, stop, out);
            seen = stop;
        }
        return out;
    }
    struct Span {
        std::int64_t col, from, stop;
    };
    std::vector<Span> active;
    std::int64_t k = 0;
    std::int64_t r = ncells ? exec_bars[rows[0]] : nbars;
    while (r < nbars) {
        // Segments that start by this bar join (rows ascend, so their starts do too).
        for (; k < ncells && exec_bars[rows[k]] <= r; ++k) {
            const std::int64_t c = cols[k], start = exec_bars[rows[k]], stop = stop_of(rows[k]);
            std::int64_t& seen = covered[static_cast<std::size_t>(c)];
            const std::int64_t from = start > seen ? start : seen + 1;
            if (from > stop) continue;
            active.push_back(Span{c, from, stop});
            seen = stop;
        }
        for (std::size_t i = 0; i < active.size();) {
            const Span& s = active[i];
            if (s.from <= r) scan_cell(grids, ngrids, ohlc, r, s.col, out);
            if (s.stop <= r) {
                active[i] = active.back();
                active.pop_back();
            } else {
                ++i;
            }
        }
        ++r;
        if (active.empty()) {
            if (k >= ncells) break;
            const std::int64_t next = exec_bars[rows[k]];
            if (next > r) r = next;
        }
    }
    return out;
}

}  // namespace torvex::scan
