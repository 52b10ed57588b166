// Python-callable entry points of torvex.core.pathsim.
#pragma once

#include <string>

#include "torvex/pyref.hpp"

namespace torvex::pathsim {

void init_backtest_args();
// backtest_'s text signature, from the parameter table, with the defaults as
// taken at initialisation.
std::string backtest_signature();
PyObject* backtest_(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* normalize_weight(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* ioft(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* get_trade_stocks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
void init_small_args();
void init_report_args();

}  // namespace torvex::pathsim
