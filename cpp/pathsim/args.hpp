// Argument layer of backtest_, the engine's Python entry point.
#pragma once

#include <string>

#include "torvex/pyref.hpp"

namespace torvex::pathsim {

void init_backtest_args();
// backtest_'s text signature, from the parameter table, with the defaults as
// taken at initialisation.
std::string backtest_signature();
PyObject* backtest_(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace torvex::pathsim
