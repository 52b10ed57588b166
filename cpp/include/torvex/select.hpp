// Branch-free choice between two doubles, for comparisons whose outcome flips
// unpredictably from one element to the next (a running maximum right after a
// reset, a buy or a sell). The bits are masked, so the compiler cannot turn the
// choice back into a jump; the result is one of the two values, bit for bit.
#pragma once

#include <cstdint>
#include <cstring>

namespace torvex {

inline double pick(bool c, double a, double b) noexcept {
    const uint64_t mask = uint64_t{0} - static_cast<uint64_t>(c);
    uint64_t ua, ub;
    std::memcpy(&ua, &a, sizeof ua);
    std::memcpy(&ub, &b, sizeof ub);
    const uint64_t u = (ua & mask) | (ub & ~mask);
    double out;
    std::memcpy(&out, &u, sizeof out);
    return out;
}

}  // namespace torvex
