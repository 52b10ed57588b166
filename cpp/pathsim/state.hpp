// Module-wide state of torvex.core.pathsim: the module namespace, the bound
// excursion table, the stock-operations record and the names interned once at
// initialisation.
#pragma once

#include <cstdint>

#include "torvex/capi.hpp"
#include "torvex/pyref.hpp"

namespace torvex::pathsim {

struct Names {
    PyObject* RETAIN_COST_WHEN_REBALANCE;
    PyObject* RESAMPLE;
    PyObject* StopTable;
    PyObject* stop_table;
    PyObject* normalize_weight;
    PyObject* excursion;
    PyObject* datetime;
    PyObject* fromtimestamp;
    PyObject* trades;
    PyObject* trade_positions;
    PyObject* encode;
    PyObject* utf8;
    PyObject* values;
    PyObject* rows;
    PyObject* shape;
    PyObject* size;
    PyObject* min;
    PyObject* max;
    PyObject* items;
    PyObject* actions;
    PyObject* weights;
    PyObject* next_weights;
    PyObject* weight_time;
    PyObject* next_weight_time;
};

struct Module {
    PyObject* dict = nullptr;         // borrowed: the module lives for the process
    ModuleRef<> stock_operations;     // replaced at the end of every run
    ModuleRef<> default_stop_loss;    // the float 1.0
    ModuleRef<> default_take_profit;  // `org_np.inf` as found at import
    double default_trail_stop = 0.0;
    capi::Table xc;
    Names s{};
    bool running = false;  // a run is in progress on this process
    // Truth of RETAIN_COST_WHEN_REBALANCE and RESAMPLE as last read (-1: not
    // known). Valid while the module dict is unchanged: a dict watcher resets
    // both on any change to it. Without a watcher (none left to register)
    // they stay -1 and every read looks the names up.
    int watcher = -1;
    int8_t retain_cost_truth = -1;
    int8_t resample_truth = -1;
};

extern Module g;

}  // namespace torvex::pathsim
