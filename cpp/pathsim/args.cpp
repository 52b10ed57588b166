// Argument layer of backtest_: matching, conversion of the typed arguments and
// the array type test, with the host's error texts. The run itself starts in
// run_backtest.
#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL torvex_pathsim_ARRAY_API
#include "args.hpp"

#include <numpy/arrayobject.h>

#include <climits>

#include "torvex/argparse.hpp"
#include "run.hpp"
#include "state.hpp"

namespace torvex::pathsim {
namespace {

constexpr std::size_t n_params = 25;
constexpr std::size_t n_required = 11;

ArgParser<n_params> parser("backtest_",
                           {"price_values", "close_values", "high_values", "low_values",
                            "open_values", "price_index", "price_columns", "pos_values",
                            "pos_index", "pos_columns", "resample", "fee_ratio", "tax_ratio",
                            "stop_loss", "take_profit", "trail_stop", "trail_stop_activation",
                            "touched_exit", "position_limit", "retain_cost_when_rebalance",
                            "stop_trading_next_period", "excursion_window",
                            "excursion_window_step", "periodically_rebalance", "delisting_bars"},
                           n_required);

constexpr const char* array_names[n_required] = {
    "price_values", "close_values", "high_values", "low_values",  "open_values", "price_index",
    "price_columns", "pos_values",  "pos_index",   "pos_columns", "resample"};

double as_double(PyObject* o, double dflt) {
    if (o == nullptr) return dflt;
    double v = PyFloat_CheckExact(o) ? PyFloat_AS_DOUBLE(o) : PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) throw PyErrSet{};
    return v;
}

bool as_bool(PyObject* o, bool dflt) { return o == nullptr ? dflt : truth(o); }

int as_int32(PyObject* o, int dflt) {
    if (o == nullptr) return dflt;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (v == -1 && PyErr_Occurred()) throw PyErrSet{};
    if (overflow != 0 || v < INT_MIN || v > INT_MAX)
        raise(PyExc_OverflowError, "value too large to convert to int");
    return static_cast<int>(v);
}

}  // namespace

void init_backtest_args() { parser.init(); }

PyObject* backtest_(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* result = nullptr;
    guard([&] {
        if (g.running) raise(PyExc_RuntimeError, "backtest_ is already running");
        std::array<PyObject*, n_params> v;
        parser.parse(args, nargs, kwnames, v);

        RunArgs a{};
        a.price_values = v[0];
        a.close_values = v[1];
        a.high_values = v[2];
        a.low_values = v[3];
        a.open_values = v[4];
        a.price_index = v[5];
        a.price_columns = v[6];
        a.pos_values = v[7];
        a.pos_index = v[8];
        a.pos_columns = v[9];
        a.resample = v[10];
        a.stop_loss = v[13] ? v[13] : g.default_stop_loss;
        a.take_profit = v[14] ? v[14] : g.default_take_profit;
        a.stop_trading_next_period = v[20] ? v[20] : Py_True;

        // Typed optionals, in parameter order; the first failure ends the call.
        a.fee_ratio = as_double(v[11], 0.001425);
        a.tax_ratio = as_double(v[12], 0.003);
        a.trail_stop = as_double(v[15], g.default_trail_stop);
        a.trail_stop_activation = as_double(v[16], 0.0);
        a.touched_exit = as_bool(v[17], false);
        a.position_limit = as_double(v[18], 1.0);
        a.retain_cost_when_rebalance = as_bool(v[19], false);
        a.excursion_window = as_int32(v[21], 0);
        a.excursion_window_step = as_int32(v[22], 1);
        a.periodically_rebalance = as_bool(v[23], true);

        // delisting_bars: None, or a 1-D int64 buffer (checked here, opened again
        // by the run, which holds it for as long as it reads it).
        a.delisting_bars = v[24] ? v[24] : Py_None;
        if (a.delisting_bars != Py_None) {
            Buffer probe;
            probe.open(a.delisting_bars, Elem::i64, 1);
        }

        for (std::size_t i = 0; i < n_required; ++i) {
            PyObject* o = v[i];
            if (o != Py_None && !PyArray_Check(o)) {
                raise_format(PyExc_TypeError,
                             "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                             array_names[i], PyArray_Type.tp_name, Py_TYPE(o)->tp_name);
            }
        }

        // The trade log creates a few small acyclic objects per trade; cyclic
        // collections triggered by them would traverse the growing log again and
        // again, so the collector pauses for the run (and resumes as it was).
        g.running = true;
        struct RunScope {
            int gc_was_enabled = PyGC_Disable();
            ~RunScope() {
                if (gc_was_enabled) PyGC_Enable();
                g.running = false;
            }
        } scope;
        result = run_backtest(a).release();
    });
    return result;
}

}  // namespace torvex::pathsim
