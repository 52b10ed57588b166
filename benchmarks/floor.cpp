// Memory floor of a rebalancing run: the least a backtest over the same data
// has to do. For every bar it reads each held stock's value from each table the
// run uses (trading price and close; high, low and open too when exits are
// tested against them), carries the held value by the trading-price ratio and
// folds everything read into a checksum. At each rebalance bar the held set is
// replaced by the next row's stocks, starting from equal values.
//
// Tables are row-major float64, bars x stocks. `held` is rows x nheld stock
// indexes and `trade_bar` the bar each row is traded on (ascending).
//
// Built by benchmarks/run.py at run time and called through ctypes.

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" double floor_run(const double* price, const double* close, const double* high,
                            const double* low, const double* open, std::int64_t bars,
                            std::int64_t stocks, const std::int64_t* held,
                            const std::int64_t* trade_bar, std::int64_t rows, std::int64_t nheld) {
    std::vector<std::int64_t> ids(static_cast<std::size_t>(nheld), 0);
    std::vector<double> value(static_cast<std::size_t>(nheld), 0.0);
    std::vector<double> prev(static_cast<std::size_t>(nheld), 1.0);
    const bool touched = high != nullptr && low != nullptr && open != nullptr;
    const double start = nheld > 0 ? 1.0 / static_cast<double>(nheld) : 0.0;

    double sum = 0.0;
    std::int64_t n = 0;  // stocks held now
    std::int64_t r = 0;  // next row to trade
    for (std::int64_t b = 0; b < bars; ++b) {
        const std::int64_t off = b * stocks;
        const double* p = price + off;
        const double* c = close + off;
        if (touched) {
            const double* hi = high + off;
            const double* lo = low + off;
            const double* op = open + off;
            for (std::int64_t k = 0; k < n; ++k) {
                const std::int64_t s = ids[k];
                const double px = p[s];
                const double base = value[k] / prev[k];
                sum += base * (hi[s] - lo[s] + op[s]);
                value[k] *= px / prev[k];
                prev[k] = px;
                sum += value[k] * (c[s] / px);
            }
        } else {
            for (std::int64_t k = 0; k < n; ++k) {
                const std::int64_t s = ids[k];
                const double px = p[s];
                value[k] *= px / prev[k];
                prev[k] = px;
                sum += value[k] * (c[s] / px);
            }
        }
        if (r < rows && trade_bar[r] == b) {
            const std::int64_t* row = held + r * nheld;
            for (std::int64_t k = 0; k < nheld; ++k) {
                ids[k] = row[k];
                value[k] = start;
                prev[k] = p[row[k]];
            }
            n = nheld;
            ++r;
        }
    }
    return sum;
}
