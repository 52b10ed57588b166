// The faults of the engine, as plain C++ exceptions: the engine has no
// Python in it, so it throws these and the Python boundary of each module
// turns them into the exceptions its callers see (pyref.hpp's guard for those
// that need no context, the run's glue for those that name a stock).
#pragma once

#include <cstdint>

namespace torvex {

// A checked read outside a view on axis `axis`: IndexError
// "Out of bounds on buffer access (axis N)".
struct OutOfBounds {
    int axis;
};

// A share of equity taken when equity is exactly 0: ZeroDivisionError
// "float division by zero".
struct FloatDivisionByZero {};

// A trading price that is present but not positive and finite, of stock `sid`
// on bar `bar`.
struct InvalidPrice {
    int32_t sid;
    int32_t bar;
    double value;
};

// A non-zero weight on a position column without a price column.
struct UnpricedWeights {
    int32_t sid;
};

// An excursion walk that failed (its Fault code and figures, analysis.hpp).
struct WalkFailed {
    int fault;
    int64_t index;
    int64_t size;
};

[[noreturn]] inline void out_of_bounds(int axis) { throw OutOfBounds{axis}; }

}  // namespace torvex
