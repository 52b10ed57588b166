// Small Python-callable utilities of pathsim: normalize_weight and ioft.
#pragma once

#include "torvex/pyref.hpp"

namespace torvex::pathsim {

void init_small_args();
PyObject* normalize_weight(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* ioft(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace torvex::pathsim
