// Arithmetic on Python floats and float64 scalars done in C where it provably
// gives what the host's operators give: the same IEEE operation on the same
// doubles, with a float64 scalar as the result whenever either operand is one
// (a Python float is the weaker type). NumPy reports a floating-point exception
// raised by scalar arithmetic (a RuntimeWarning, or an error under
// numpy.errstate), so a computation watched by an FpWatch counts only when
// no exception flag was raised; otherwise the caller redoes it through the
// host's operators, which report it as NaN-free arithmetic never needs to.
// Include after numpy/arrayobject.h in a file that has the NumPy API imported.
#pragma once

#include <cfenv>
#include <cmath>

#include "torvex/pyref.hpp"
#include "torvex/scalars.hpp"

namespace torvex::pathsim {

// A number the host would compute with: a Python float or a float64 scalar.
struct HostFloat {
    double v;
    bool scalar;  // a float64 scalar, else a Python float
};

// Reads `o` when it is an exact Python float or float64 scalar holding no NaN
// (a NaN is left to the host's operators, which may report it).
inline bool read_host_float(PyObject* o, HostFloat& out) {
    if (PyFloat_CheckExact(o)) {
        out = {PyFloat_AS_DOUBLE(o), false};
    } else if (Py_IS_TYPE(o, &PyDoubleArrType_Type)) {
        out = {PyArrayScalar_VAL(o, Double), true};
    } else {
        return false;
    }
    return !std::isnan(out.v);
}

// The result of one operation, computed where this stands: the empty volatile
// asm keeps the compiler from moving it past the flag test of an FpWatch.
inline double pinned(double x) {
    asm volatile("" : "+x"(x));
    return x;
}

inline HostFloat host_add(HostFloat a, HostFloat b) {
    return {pinned(a.v + b.v), a.scalar || b.scalar};
}
inline HostFloat host_mul(HostFloat a, HostFloat b) {
    return {pinned(a.v * b.v), a.scalar || b.scalar};
}
inline HostFloat host_div(HostFloat a, HostFloat b) {
    return {pinned(a.v / b.v), a.scalar || b.scalar};
}
inline HostFloat host_abs(HostFloat a) { return {std::fabs(a.v), a.scalar}; }

inline Ref host_object(HostFloat h) { return h.scalar ? float64_scalar(h.v) : py_float(h.v); }

// Clears the exception flags when made; clean() tells whether any operation
// since raised one NumPy would report.
class FpWatch {
  public:
    FpWatch() noexcept { std::feclearexcept(FE_ALL_EXCEPT); }
    bool clean() const noexcept {
        return std::fetestexcept(FE_DIVBYZERO | FE_OVERFLOW | FE_UNDERFLOW | FE_INVALID) == 0;
    }
};

}  // namespace torvex::pathsim
