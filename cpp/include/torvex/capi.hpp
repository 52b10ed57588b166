// The C-level table that torvex.core.excursion exports and torvex.core.pathsim
// binds at import. Both modules include this header, so the names, the
// signature texts (the capsule names) and the pointer types are declared once.
//
// Every function reports failure by leaving a Python exception set (and
// end_analysis by returning NULL); callers test the error indicator after each
// call. None of them lets a C++ exception escape.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <map>

#ifndef NPY_NO_DEPRECATED_API
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#endif
#include <numpy/ndarraytypes.h>

namespace torvex::capi {

inline constexpr const char* module_name = "torvex.core.excursion";
inline constexpr const char* table_name = "__pyx_capi__";

using StartAnalysis = void (*)(PyArrayObject*, PyArrayObject*, std::map<int, int>, int, double,
                               double, int, int) noexcept;
using RecordDate = void (*)(int) noexcept;
using RecordEntry = void (*)(int, double, int) noexcept;
using RecordExit = void (*)(int, int) noexcept;
using EndAnalysis = PyObject* (*)(std::map<int, double>&) noexcept;

// Exported variables: the capsule holds the address of the module variable, so a
// holder always sees the array installed by the latest start_analysis.
using ArrayVar = PyArrayObject**;

inline constexpr const char* sig_array_var = "PyArrayObject *";
inline constexpr const char* sig_start_analysis =
    "void (PyArrayObject *, PyArrayObject *, std::map<int,int> , int, double, double, int, int)";
inline constexpr const char* sig_record_date = "void (int)";
inline constexpr const char* sig_record_entry = "void (int, double, int)";
inline constexpr const char* sig_record_exit = "void (int, int)";
inline constexpr const char* sig_end_analysis = "PyObject *(std::map<int,double>  &)";

struct Export {
    const char* name;
    const char* signature;
    bool is_function;
};

// Table order: the two variables, then the five functions.
inline constexpr Export exports[] = {
    {"entry", sig_array_var, false},
    {"position", sig_array_var, false},
    {"start_analysis", sig_start_analysis, true},
    {"record_date", sig_record_date, true},
    {"record_entry", sig_record_entry, true},
    {"record_exit", sig_record_exit, true},
    {"end_analysis", sig_end_analysis, true},
};

// What pathsim holds after binding the table.
struct Table {
    ArrayVar entry = nullptr;
    ArrayVar position = nullptr;
    StartAnalysis start_analysis = nullptr;
    RecordDate record_date = nullptr;
    RecordEntry record_entry = nullptr;
    RecordExit record_exit = nullptr;
    EndAnalysis end_analysis = nullptr;
};

}  // namespace torvex::capi
