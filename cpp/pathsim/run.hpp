// A run of backtest_: the engine's run (engine/run.hpp) and what the module
// holds around it: the arguments as the caller passed them, the input buffers
// the engine's views point into, the label arrays, the stop tables, the
// column map handed to the trade log and the watch on the input arrays.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "engine/run.hpp"
#include "inputs.hpp"
#include "params.hpp"
#include "runlog.hpp"
#include "torvex/buffer.hpp"
#include "torvex/pyref.hpp"

namespace torvex::pathsim {

using engine::carried_price;
using engine::close_part;
using engine::ExitReason;
using engine::held;
using engine::PositionMap;
using engine::price_now;
using engine::StockState;
using engine::StopExit;

// A float64 array made by the run, with a pointer to its (contiguous) data.
struct OwnedArray {
    Ref obj;
    double* data = nullptr;
    Py_ssize_t n = 0;
};

// An input array held for the run with the memory and shape its buffer
// recorded, checked after the caller's code may have run.
struct WatchedInput {
    PyObject* array;  // a NumPy array
    const void* data;
    int ndim;
    Py_ssize_t dims[2];
    const char* name;
};

struct Run : engine::Run {
    const RunArgs& a;
    Run(const RunArgs& args, engine::Host& host)
        : engine::Run(settings_of(args), host, run_log.current, run_log.book), a(args) {}

    static engine::Settings settings_of(const RunArgs& a) {
        engine::Settings s;
        s.fee_ratio = a.fee_ratio;
        s.tax_ratio = a.tax_ratio;
        s.trail_stop = a.trail_stop;
        s.trail_stop_activation = a.trail_stop_activation;
        s.position_limit = a.position_limit;
        s.touched_exit = a.touched_exit;
        s.retain_cost_when_rebalance = a.retain_cost_when_rebalance;
        return s;
    }

    // The buffers of the input arrays (inputs.hpp), held for the whole run.
#define TORVEX_BUFFER(arg, buffer, ...) Buffer buffer;
    TORVEX_RUN_INPUTS(TORVEX_BUFFER, TORVEX_BUFFER)
#undef TORVEX_BUFFER
    View1<PyObject*> price_columns, pos_columns;  // labels (the engine reads none)
    Ref stop_loss_table, take_profit_table;

    // Column map, ordered, as the trade log takes it.
    std::map<int, int> pos2price;
    OwnedArray creturn_array;

    // The NumPy arrays among the input buffers, listed once set-up has opened
    // them all (watch_inputs()); until then every buffer is looked at.
    std::vector<WatchedInput> watched;
    bool watching = false;
};

// The run in progress (null between runs): what check_run_inputs watches.
extern const Run* running_run;

}  // namespace torvex::pathsim
