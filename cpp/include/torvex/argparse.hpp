// Matching of vectorcall arguments (positional array plus keyword names) to a
// function's parameter list, with the host's standard error texts.
//
// Keyword names are interned once, at module initialisation, and matched by
// identity first and by comparison second. The order of the checks follows the
// host's: too many positional arguments, then the first required parameter
// that is still missing, then a keyword that repeats a positional argument or
// names no parameter.
#pragma once

#include <array>
#include <cstddef>

#include "pyref.hpp"

namespace torvex {

template <std::size_t N>
class ArgParser {
  public:
    // `names` must outlive the parser (string literals).
    ArgParser(const char* fname, const std::array<const char*, N>& names, std::size_t required)
        : fname_(fname), cnames_(names), required_(required) {}

    // Interns the keyword names; call once at module initialisation.
    void init() {
        for (std::size_t i = 0; i < N; ++i) names_[i] = intern(cnames_[i]);
    }

    // Fills `out` with borrowed references (NULL for parameters not given).
    void parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               std::array<PyObject*, N>& out) const {
        out.fill(nullptr);
        const Py_ssize_t nparams = static_cast<Py_ssize_t>(N);
        if (nargs > nparams) invalid_count(nargs);
        for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];

        const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        if (nkw == 0) {
            if (nargs < static_cast<Py_ssize_t>(required_)) invalid_count(nargs);
            return;
        }
        PyObject* const* kwvalues = args + nargs;
        Py_ssize_t used = 0;
        for (std::size_t p = static_cast<std::size_t>(nargs); p < N; ++p) {
            Py_ssize_t k = find_keyword(kwnames, names_[p]);
            if (k >= 0) {
                out[p] = kwvalues[k];
                ++used;
            } else if (p < required_) {
                invalid_count(static_cast<Py_ssize_t>(p));
            }
        }
        if (used == nkw) return;
        // Some keyword was not consumed: report the first one in call order.
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t p = param_index(key);
            if (p < 0) {
                raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             fname_, key);
            }
            if (p < nargs) {
                raise_format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             fname_, key);
            }
        }
    }

  private:
    [[noreturn]] void invalid_count(Py_ssize_t found) const {
        const Py_ssize_t min = static_cast<Py_ssize_t>(required_);
        const Py_ssize_t max = static_cast<Py_ssize_t>(N);
        const bool exact = min == max;
        const char* more_or_less = exact ? "exactly" : (found < min ? "at least" : "at most");
        const Py_ssize_t expected = found < min ? min : max;
        raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                     fname_, more_or_less, expected, expected == 1 ? "" : "s", found);
    }

    static bool same_name(PyObject* a, PyObject* b) {
        if (a == b) return true;
        int r = PyUnicode_Check(a) ? PyUnicode_Compare(a, b) : -1;
        if (r == -1 && PyErr_Occurred()) throw PyErrSet{};
        return r == 0;
    }

    static Py_ssize_t find_keyword(PyObject* kwnames, PyObject* name) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (PyTuple_GET_ITEM(kwnames, k) == name) return k;
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (same_name(PyTuple_GET_ITEM(kwnames, k), name)) return k;
        return -1;
    }

    Py_ssize_t param_index(PyObject* key) const {
        for (std::size_t p = 0; p < N; ++p)
            if (names_[p] == key) return static_cast<Py_ssize_t>(p);
        for (std::size_t p = 0; p < N; ++p)
            if (same_name(key, names_[p])) return static_cast<Py_ssize_t>(p);
        return -1;
    }

    const char* fname_;
    std::array<const char*, N> cnames_;
    std::size_t required_;
    std::array<PyObject*, N> names_{};
};

}  // namespace torvex
