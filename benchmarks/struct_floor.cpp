// Plain-struct trade floor: what recording a run's trades costs at the least
// when they are C++ structs appended to a vector, together with the least walk
// each trade's statistics need: every close of its path read once (the
// running maximum and minimum of its ratio kept), and for a sampling window
// its blocks written (`width` values per trade).
//
// Built by benchmarks/typed.py with g++ and called through ctypes on the
// trades of a typed run (their stocks' price columns and their bars).
#include <chrono>
#include <cstdint>
#include <vector>

namespace {

struct Trade {
    int64_t sid, entry, exit;
    double position, entry_price, exit_price, fees, taxes, pnl, committed;
    int8_t reason;
};

}  // namespace

extern "C" double struct_floor(const double* close, int64_t bars, int64_t cols, const int64_t* col,
                               const int64_t* entry, const int64_t* exit, int64_t n, int64_t width,
                               int64_t window, double* sink) {
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<Trade> trades;
    std::vector<double> blocks;
    trades.reserve(static_cast<std::size_t>(n));
    if (width > 6) blocks.reserve(static_cast<std::size_t>(n * width));
    double acc = 0.0;
    for (int64_t k = 0; k < n; ++k) {
        const int64_t c = col[k] < 0 ? 0 : col[k];
        const int64_t last = exit[k] < 0 ? bars - 1 : exit[k];
        const double base = close[entry[k] * cols + c];
        double hi = 1.0, lo = 1.0;
        for (int64_t d = entry[k] + 1; d <= last; ++d) {
            const double r = close[d * cols + c] * (1.0 / base);
            hi = r > hi ? r : hi;
            lo = r < lo ? r : lo;
        }
        if (width > 6) {
            const std::size_t at = blocks.size();
            blocks.resize(at + static_cast<std::size_t>(width));
            double run_hi = 1.0;
            for (int64_t j = 0; j < width; ++j) {
                const int64_t d = entry[k] + 1 + (j < window ? j : window);
                const double r = d <= last ? close[d * cols + c] * (1.0 / base) : -1.0;
                run_hi = r > run_hi ? r : run_hi;
                blocks[at + static_cast<std::size_t>(j)] = run_hi;
            }
        }
        trades.push_back({col[k], entry[k], exit[k], hi, base, lo, 0, 0, hi - lo, 1, 0});
        acc += hi - lo;
    }
    sink[0] = acc + (blocks.empty() ? 0.0 : blocks.back()) + static_cast<double>(trades.size());
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}
