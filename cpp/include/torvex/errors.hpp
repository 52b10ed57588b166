// Every error text of the two modules, and the checks that raise them. Texts
// that copy the host's (CPython's or NumPy's) are kept character for character,
// since callers match on them.
#pragma once

#include <cstdint>

#include "pyref.hpp"

namespace torvex {

namespace msg {
inline constexpr const char* already_running = "backtest_ is already running";
inline constexpr const char* int_overflow = "value too large to convert to int";
inline constexpr const char* position_columns_mismatch =
    "Position values do not match position columns";
inline constexpr const char* stop_mismatch =
    "Stop thresholds do not match the price bars and position columns";
inline constexpr const char* resized_during_run = "Argument '%s' was resized during the run";
inline constexpr const char* unpriced_weights =
    "No price column for position columns with non-zero weights: %s";
inline constexpr const char* invalid_price =
    "Invalid trading price for %U at price row %d: %s. Expected a positive finite price; "
    "check the trading-price dataset.";
inline constexpr const char* none_not_subscriptable = "'NoneType' object is not subscriptable";
inline constexpr const char* none_has_no = "'NoneType' object has no attribute '%s'";
inline constexpr const char* out_of_bounds = "Out of bounds on buffer access (axis %d)";
inline constexpr const char* numpy_index = "index %lld is out of bounds for axis 0 with size %lld";
inline constexpr const char* wrong_ndim =
    "Buffer has wrong number of dimensions (expected %d, got %d)";
inline constexpr const char* dtype_mismatch = "Buffer dtype mismatch, expected '%s' but got '%s'";
inline constexpr const char* argument_type =
    "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";
}  // namespace msg

[[noreturn]] inline void raise_int_overflow() { raise(PyExc_OverflowError, msg::int_overflow); }

// A count or index as a C int, or the host's OverflowError.
inline int to_int32(int64_t v) {
    if (v < INT32_MIN || v > INT32_MAX) raise_int_overflow();
    return static_cast<int>(v);
}

[[noreturn]] inline void raise_out_of_bounds(int axis) {
    raise_format(PyExc_IndexError, msg::out_of_bounds, axis);
}

// NumPy's IndexError for element `index` of an axis of `size` elements.
[[noreturn]] inline void raise_numpy_index(int64_t index, int64_t size) {
    raise_format(PyExc_IndexError, msg::numpy_index, static_cast<long long>(index),
                 static_cast<long long>(size));
}

[[noreturn]] inline void raise_wrong_ndim(int expected, int got) {
    raise_format(PyExc_ValueError, msg::wrong_ndim, expected, got);
}

[[noreturn]] inline void raise_dtype_mismatch(const char* expected, const char* got) {
    raise_format(PyExc_ValueError, msg::dtype_mismatch, expected, got);
}

[[noreturn]] inline void raise_none_not_subscriptable() {
    raise(PyExc_TypeError, msg::none_not_subscriptable);
}

[[noreturn]] inline void raise_none_has_no(const char* attribute) {
    raise_format(PyExc_AttributeError, msg::none_has_no, attribute);
}

[[noreturn]] inline void raise_argument_type(const char* name, const char* expected,
                                             PyObject* got) {
    raise_format(PyExc_TypeError, msg::argument_type, name, expected, Py_TYPE(got)->tp_name);
}

}  // namespace torvex
