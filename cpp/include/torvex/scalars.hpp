// NumPy scalars made directly from their value (np.int64, np.float64), the same
// objects indexing an array gives, without the generic conversion path. Include
// after numpy/arrayobject.h in a file that has the NumPy API imported.
#pragma once

#include <numpy/arrayscalars.h>

#include <cstdint>

#include "pyref.hpp"

namespace torvex {

inline Ref int64_scalar(int64_t v) {
    Ref o = Ref::steal(PyArrayScalar_New(Int64));
    PyArrayScalar_ASSIGN(o.get(), Int64, v);
    return o;
}

inline Ref float64_scalar(double v) {
    Ref o = Ref::steal(PyArrayScalar_New(Float64));
    PyArrayScalar_ASSIGN(o.get(), Float64, v);
    return o;
}

}  // namespace torvex
