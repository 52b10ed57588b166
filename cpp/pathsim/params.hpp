// The parameters of backtest_, in call order: one row per parameter, so a new
// parameter is one new row. From this table come the parser's name list, the
// argument positions, the fields of RunArgs, the conversion of each argument
// and the text signature with its defaults.
#pragma once

#include <array>
#include <cstddef>
#include <string>

#include "torvex/pyref.hpp"

namespace torvex::pathsim {

// How an argument is converted, and the C type it becomes.
//   Array:       required; an ndarray or None, kept as the caller's object.
//   Object:      any object, kept as it is.
//   Double:      float(x) as the host converts it.
//   Bool:        the truth of x.
//   Int32:       an int that fits a C int.
//   Int64Buffer: None or a 1-D int64 buffer.
enum class Kind { Array, Object, Double, Bool, Int32, Int64Buffer };

template <Kind K>
struct KindType {
    using type = PyObject*;
};
template <>
struct KindType<Kind::Double> {
    using type = double;
};
template <>
struct KindType<Kind::Bool> {
    using type = bool;
};
template <>
struct KindType<Kind::Int32> {
    using type = int;
};

// REQ(name): a required array. OPT(name, kind, default, text): an optional
// argument, its default, and how the signature shows that default (nullptr:
// the default's own repr). Defaults may read the module state `g`, which holds
// what was taken from numpy at import.
#define TORVEX_BACKTEST_PARAMS(REQ, OPT)                                \
    REQ(price_values)                                                   \
    REQ(close_values)                                                   \
    REQ(high_values)                                                    \
    REQ(low_values)                                                     \
    REQ(open_values)                                                    \
    REQ(price_index)                                                    \
    REQ(price_columns)                                                  \
    REQ(pos_values)                                                     \
    REQ(pos_index)                                                      \
    REQ(pos_columns)                                                    \
    REQ(resample)                                                       \
    OPT(fee_ratio, Double, 0.001425, nullptr)                           \
    OPT(tax_ratio, Double, 0.003, nullptr)                              \
    OPT(stop_loss, Object, g.default_stop_loss.get(), "1.0")            \
    OPT(take_profit, Object, g.default_take_profit.get(), "org_np.inf") \
    OPT(trail_stop, Double, g.default_trail_stop, "org_np.inf")         \
    OPT(trail_stop_activation, Double, 0.0, nullptr)                    \
    OPT(touched_exit, Bool, false, nullptr)                             \
    OPT(position_limit, Double, 1.0, nullptr)                           \
    OPT(retain_cost_when_rebalance, Bool, false, nullptr)               \
    OPT(stop_trading_next_period, Object, Py_True, "True")              \
    OPT(excursion_window, Int32, 0, nullptr)                            \
    OPT(excursion_window_step, Int32, 1, nullptr)                       \
    OPT(periodically_rebalance, Bool, true, nullptr)                    \
    OPT(delisting_bars, Int64Buffer, Py_None, "None")

// Position of each parameter: param::fee_ratio == 11.
namespace param {
#define TORVEX_REQ(name) name,
#define TORVEX_OPT(name, ...) name,
enum : std::size_t { TORVEX_BACKTEST_PARAMS(TORVEX_REQ, TORVEX_OPT) count };
#undef TORVEX_REQ
#undef TORVEX_OPT
}  // namespace param

inline constexpr std::size_t n_params = param::count;
#define TORVEX_REQ(name) +1
#define TORVEX_OPT(name, ...)
inline constexpr std::size_t n_required = 0 TORVEX_BACKTEST_PARAMS(TORVEX_REQ, TORVEX_OPT);
#undef TORVEX_REQ
#undef TORVEX_OPT

#define TORVEX_REQ(name) #name,
#define TORVEX_OPT(name, ...) #name,
inline constexpr std::array<const char*, n_params> param_names = {
    TORVEX_BACKTEST_PARAMS(TORVEX_REQ, TORVEX_OPT)};
#undef TORVEX_REQ
#undef TORVEX_OPT

// Arguments of backtest_ after matching and conversion. Objects are borrowed
// from the call (or are module-lifetime defaults), which keeps them alive until
// it returns.
struct RunArgs {
#define TORVEX_REQ(name) PyObject* name;
#define TORVEX_OPT(name, kind, ...) KindType<Kind::kind>::type name;
    TORVEX_BACKTEST_PARAMS(TORVEX_REQ, TORVEX_OPT)
#undef TORVEX_REQ
#undef TORVEX_OPT
};

}  // namespace torvex::pathsim
