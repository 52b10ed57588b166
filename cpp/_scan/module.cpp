// torvex.core._scan: the front end's checks of the prices a run reads, over NumPy arrays.
//
//   held_prices(grids, exec_bars, rows, cols, ohlc) -> (bad, inverted, outside, outside_count)
//
// grids: a tuple of 2-D float64 arrays of one shape (bars x price columns, any strides); exec_bars:
// the executed bars, ascending; rows, cols: the held cells (row of exec_bars, price column), rows
// non-decreasing; ohlc: (open, high, low, close) indices into grids, or None. Each finding is a
// tuple (frame, bar, column), -1s for none. Every index is checked before the scan, which runs
// without the GIL.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "held_prices.hpp"

namespace {

using torvex::scan::Cell;
using torvex::scan::Findings;
using torvex::scan::Grid;
using torvex::scan::Ohlc;

// A buffer held for the length of a call.
class View {
  public:
    View() = default;
    View(const View&) = delete;
    View& operator=(const View&) = delete;
    ~View() {
        if (held_) PyBuffer_Release(&buf_);
    }
    bool get(PyObject* obj, const char* name, int ndim, const char* format) {
        if (PyObject_GetBuffer(obj, &buf_, PyBUF_STRIDES | PyBUF_FORMAT) < 0) return false;
        held_ = true;
        const char* f = buf_.format ? buf_.format : "B";
        if (*f == '@' || *f == '=' || *f == '<') ++f;
        if (buf_.ndim != ndim || std::string_view(f) != format || buf_.itemsize != 8) {
            PyErr_Format(PyExc_ValueError,
                         "%s: expected a %d-D array of %s; found %d-D of format '%s'", name, ndim,
                         format[0] == 'd' ? "float64" : "int64", buf_.ndim,
                         buf_.format ? buf_.format : "B");
            return false;
        }
        return true;
    }
    const Py_buffer& buf() const { return buf_; }

  private:
    Py_buffer buf_{};
    bool held_ = false;
};

PyObject* cell(const Cell& c) {
    return Py_BuildValue("(LLL)", (long long)c.frame, (long long)c.row, (long long)c.col);
}

// A 1-D int64 array as a contiguous copy (the index arrays are small next to the grids).
bool int_vector(PyObject* obj, const char* name, std::vector<std::int64_t>& out) {
    if (PyObject_CheckBuffer(obj) == 0) {
        PyErr_Format(PyExc_TypeError, "%s: expected an int64 array; found %s", name,
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    Py_buffer probe;
    if (PyObject_GetBuffer(obj, &probe, PyBUF_STRIDES | PyBUF_FORMAT) < 0) return false;
    const char* f = probe.format ? probe.format : "B";
    if (*f == '@' || *f == '=' || *f == '<') ++f;
    const bool ok =
        probe.ndim == 1 && probe.itemsize == 8 && (*f == 'q' || *f == 'l') && f[1] == '\0';
    if (!ok) {
        PyErr_Format(PyExc_ValueError, "%s: expected a 1-D int64 array; found %d-D of format '%s'",
                     name, probe.ndim, probe.format ? probe.format : "B");
        PyBuffer_Release(&probe);
        return false;
    }
    out.resize(static_cast<std::size_t>(probe.shape[0]));
    const char* p = static_cast<const char*>(probe.buf);
    for (Py_ssize_t i = 0; i < probe.shape[0]; ++i) {
        std::memcpy(&out[static_cast<std::size_t>(i)], p + i * probe.strides[0], 8);
    }
    PyBuffer_Release(&probe);
    return true;
}

PyObject* held_prices(PyObject*, PyObject* args) {
    PyObject *grids_obj, *exec_obj, *rows_obj, *cols_obj, *ohlc_obj;
    if (!PyArg_ParseTuple(args, "O!OOOO:held_prices", &PyTuple_Type, &grids_obj, &exec_obj,
                          &rows_obj, &cols_obj, &ohlc_obj)) {
        return nullptr;
    }
    const Py_ssize_t ngrids = PyTuple_GET_SIZE(grids_obj);
    if (ngrids < 1 || ngrids > 8) {
        PyErr_Format(PyExc_ValueError, "grids: expected 1 to 8 arrays; found %zd", ngrids);
        return nullptr;
    }
    std::vector<View> views(static_cast<std::size_t>(ngrids));
    std::vector<Grid> grids(static_cast<std::size_t>(ngrids));
    Py_ssize_t nbars = 0, ncols = 0;
    for (Py_ssize_t i = 0; i < ngrids; ++i) {
        View& v = views[static_cast<std::size_t>(i)];
        if (!v.get(PyTuple_GET_ITEM(grids_obj, i), "grids", 2, "d")) return nullptr;
        const Py_buffer& b = v.buf();
        if (i == 0) {
            nbars = b.shape[0];
            ncols = b.shape[1];
        } else if (b.shape[0] != nbars || b.shape[1] != ncols) {
            PyErr_Format(PyExc_ValueError,
                         "grids: expected arrays of one shape (%zd, %zd); found (%zd, %zd)", nbars,
                         ncols, b.shape[0], b.shape[1]);
            return nullptr;
        }
        grids[static_cast<std::size_t>(i)] =
            Grid{static_cast<const char*>(b.buf), b.strides[0], b.strides[1]};
    }
    std::vector<std::int64_t> exec_bars, rows, cols;
    if (!int_vector(exec_obj, "exec_bars", exec_bars) || !int_vector(rows_obj, "rows", rows) ||
        !int_vector(cols_obj, "cols", cols)) {
        return nullptr;
    }
    if (rows.size() != cols.size()) {
        PyErr_Format(PyExc_ValueError, "cols: expected one column per row (%zu); found %zu",
                     rows.size(), cols.size());
        return nullptr;
    }
    for (std::size_t i = 0; i < exec_bars.size(); ++i) {
        if (exec_bars[i] < 0 || exec_bars[i] >= nbars || (i && exec_bars[i] <= exec_bars[i - 1])) {
            PyErr_Format(PyExc_ValueError,
                         "exec_bars: expected ascending bars in [0, %zd); found %lld at %zu", nbars,
                         (long long)exec_bars[i], i);
            return nullptr;
        }
    }
    const auto nexec = static_cast<std::int64_t>(exec_bars.size());
    for (std::size_t k = 0; k < rows.size(); ++k) {
        if (rows[k] < 0 || rows[k] >= nexec || (k && rows[k] < rows[k - 1])) {
            PyErr_Format(PyExc_ValueError,
                         "rows: expected non-decreasing rows in [0, %lld); found %lld at %zu",
                         (long long)nexec, (long long)rows[k], k);
            return nullptr;
        }
        if (cols[k] < 0 || cols[k] >= ncols) {
            PyErr_Format(PyExc_ValueError, "cols: expected columns in [0, %zd); found %lld at %zu",
                         ncols, (long long)cols[k], k);
            return nullptr;
        }
    }
    Ohlc ohlc;
    if (ohlc_obj != Py_None) {
        // PyArg_ParseTuple takes only a tuple (anything else is a SystemError there).
        if (!PyTuple_Check(ohlc_obj)) {
            PyErr_Format(PyExc_TypeError, "ohlc: expected None or four grid indices; found %s",
                         Py_TYPE(ohlc_obj)->tp_name);
            return nullptr;
        }
        int o, h, l, c;
        if (!PyArg_ParseTuple(ohlc_obj, "iiii;ohlc: expected None or four grid indices", &o, &h, &l,
                              &c)) {
            if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
                PyErr_Format(PyExc_ValueError,
                             "ohlc: expected grid indices in [0, %zd); found an index beyond int",
                             ngrids);
            }
            return nullptr;
        }
        for (int idx : {o, h, l, c}) {
            if (idx < 0 || idx >= ngrids) {
                PyErr_Format(PyExc_ValueError, "ohlc: expected grid indices in [0, %zd); found %d",
                             ngrids, idx);
                return nullptr;
            }
        }
        ohlc = Ohlc{o, h, l, c};
    }
    Findings found;
    Py_BEGIN_ALLOW_THREADS;
    found = torvex::scan::held_prices(grids.data(), static_cast<int>(ngrids), ohlc, nbars, ncols,
                                      exec_bars.data(), nexec, rows.data(), cols.data(),
                                      static_cast<std::int64_t>(rows.size()));
    Py_END_ALLOW_THREADS;
    return Py_BuildValue("(NNNL)", cell(found.bad), cell(found.inverted), cell(found.outside),
                         (long long)found.outside_count);
}

PyMethodDef methods[] = {
    {"held_prices", held_prices, METH_VARARGS,
     "held_prices(grids, exec_bars, rows, cols, ohlc) -> (bad, inverted, outside, "
     "outside_count)\n\n"
     "The first zero, negative or infinite price, high below low and open or close outside the "
     "bar's\n"
     "range among the held cells, each as (frame, bar, column) or (-1, -1, -1)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_scan", "Checks of the prices a run reads.", 0,
                          methods};

}  // namespace

PyMODINIT_FUNC PyInit__scan(void) { return PyModule_Create(&module_def); }
