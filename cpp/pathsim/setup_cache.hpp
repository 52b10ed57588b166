// Set-up work a sweep repeats on every call with the same inputs: the column
// map and the stop tables of a plain number. Each is reused or built directly
// only while identity checks prove that doing it the general way would give
// the same result; otherwise the general way runs.
#pragma once

#include <cstdint>
#include <map>

#include "torvex/buffer.hpp"
#include "torvex/pyref.hpp"

namespace torvex::pathsim {

// build(price_columns, pos_columns) (the column map), reused while both
// sequences hold the very str labels (exact str objects, by identity) they held
// when it was last computed.
using ColumnMapBuilder = std::map<int, int> (*)(PyObject* price_columns, PyObject* pos_columns);
std::map<int, int> cached_map_columns(PyObject* price_columns, PyObject* pos_columns,
                                      ColumnMapBuilder build);

// Called once at import with torvex._stops and the two names taken from it.
void remember_stop_builders(PyObject* stops_module, PyObject* type, PyObject* builder);

// The stop table of `threshold` without calling into Python, when `threshold`
// is an exact float, `StopTable` and `stop_table` in the module namespace are
// still the objects bound at import, and nothing `stop_table` uses to build a
// table from a number has changed since: then its table is one row holding
// `threshold` for every position column, used on every bar. `slot` (0 or 1)
// owns the storage the views point into until its next use. False when the
// general way must run.
bool constant_stop_table(PyObject* threshold, PyObject* price_index, PyObject* pos_columns,
                         int slot, View2<double>& values, View1<int64_t>& rows);

}  // namespace torvex::pathsim
