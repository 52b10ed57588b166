// Column map: position columns paired with price columns by label.
#pragma once

#include <map>

#include "torvex/pyref.hpp"

namespace torvex::pathsim {

struct Run;

// Position column -> price column, paired by the labels' UTF-8 bytes; a
// position column without a price column of the same label has no entry.
std::map<int, int> map_columns(PyObject* price_columns, PyObject* pos_columns);

// Builds the run's column map (ordered and flat) and refuses weights on a
// position column that has no price column.
void map_run_columns(Run& r);

}  // namespace torvex::pathsim
