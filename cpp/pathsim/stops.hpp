// Stop tables of a run: the per-bar, per-stock stop-loss and take-profit
// thresholds, built by torvex._stops and checked before the bar loop reads
// them unchecked.
#pragma once

#include "torvex/pyref.hpp"

namespace torvex::pathsim {

struct Run;

// Stop table of one threshold argument (a StopTable as it is, anything else
// through `stop_table`), checked against bars and columns.
Ref stop_thresholds(PyObject* threshold, PyObject* price_index, PyObject* pos_columns);

// Builds both tables of the run and opens their buffers.
void open_stop_tables(Run& r);

}  // namespace torvex::pathsim
