// The input arrays of a run of backtest_, one row each: the argument (or, for
// a stop table's arrays, the argument it came from), the buffer the run holds,
// the view the engine reads and the buffer's element type and dimensions.
// From this table come the run's buffer members, the opening of the
// arguments in order and the list the input watch checks.
#pragma once

// ARG(argument, buffer, view, element, ndim): an argument opened by set-up.
// TABLE(argument, buffer, view, element, ndim): an array of a stop table,
// opened where the table is built (stops.cpp).
#define TORVEX_RUN_INPUTS(ARG, TABLE)                             \
    ARG(price_values, b_price, price, f64, 2)                     \
    ARG(close_values, b_close, close, f64, 2)                     \
    ARG(high_values, b_high, high, f64, 2)                        \
    ARG(low_values, b_low, low, f64, 2)                           \
    ARG(open_values, b_open, open, f64, 2)                        \
    ARG(price_index, b_price_index, price_index, i64, 1)          \
    ARG(price_columns, b_price_columns, price_columns, object, 1) \
    ARG(pos_values, b_pos_values, pos_values, f64, 2)             \
    ARG(pos_index, b_pos_index, pos_index, i64, 1)                \
    ARG(pos_columns, b_pos_columns, pos_columns, object, 1)       \
    ARG(resample, b_resample, resample, i64, 1)                   \
    ARG(delisting_bars, b_delisting, delisting_bars, i64, 1)      \
    TABLE(stop_loss, b_sl_values, stop_loss_values, f64, 2)       \
    TABLE(stop_loss, b_sl_rows, stop_loss_rows, intp, 1)          \
    TABLE(take_profit, b_tp_values, take_profit_values, f64, 2)   \
    TABLE(take_profit, b_tp_rows, take_profit_rows, intp, 1)

#include <cstdint>

#include "torvex/buffer.hpp"

namespace torvex::pathsim::inputs {

enum Kind { f64, i64, intp, object };

// The C type of an element kind, for the views.
template <int Kind>
struct element;
template <>
struct element<f64> {
    using type = double;
};
template <>
struct element<i64> {
    using type = int64_t;
};
template <>
struct element<intp> {
    using type = int64_t;
};
template <>
struct element<object> {
    using type = PyObject*;
};

// The view of an open buffer of `Ndim` dimensions and element kind `Kind`.
template <int Kind, int Ndim>
auto view(const Buffer& b) {
    using T = typename element<Kind>::type;
    if constexpr (Ndim == 2) {
        return view2<T>(b);
    } else {
        return view1<T>(b);
    }
}

}  // namespace torvex::pathsim::inputs
