// Reports of the last run: the trade list and the stock-operations record.
#pragma once

#include "torvex/pyref.hpp"

namespace torvex::pathsim {

void init_report_args();
PyObject* get_trade_stocks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* get_stock_operations(PyObject*, PyObject*);

}  // namespace torvex::pathsim
