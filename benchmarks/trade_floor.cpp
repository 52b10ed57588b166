// Per-trade object floor: the Python objects one trade record of the engine's
// log requires, built and freed with the cheapest C-API calls and nothing else.
//
// A trade is logged as three list elements: a new list [sid, entry, exit] (a
// Python int, a NumPy int64 scalar, a Python int), the position at its entry (a
// NumPy float64 scalar), and its statistics (a new float64 array of `length`
// values). `cycle` plays one run's worth of logging against three lists that
// hold the previous run's records, in one of two orders:
//
//   0  clear the lists (freeing every old record), then build the new ones;
//   1  take the old items out of the lists, then free one old record right
//      before each new one is built (the freed blocks are reused at once), and
//      the rest at the end;
//   2  as 1, asking ahead for the old records about to be freed.
//
// Built by benchmarks/trade_floor.py as an extension module and timed from
// Python; no statistics are computed, so this is the floor of the objects alone.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

#include <vector>

namespace {

PyObject* make_record(long sid, long entry, long exit_bar) {
    PyObject* rec = PyList_New(3);
    if (rec == nullptr) return nullptr;
    PyObject* s = PyLong_FromLong(sid);
    PyObject* e = PyArrayScalar_New(Int64);
    if (e != nullptr) PyArrayScalar_ASSIGN(e, Int64, entry);
    PyObject* x = PyLong_FromLong(exit_bar);
    if (s == nullptr || e == nullptr || x == nullptr) {
        Py_XDECREF(s);
        Py_XDECREF(e);
        Py_XDECREF(x);
        Py_DECREF(rec);
        return nullptr;
    }
    PyList_SET_ITEM(rec, 0, s);
    PyList_SET_ITEM(rec, 1, e);
    PyList_SET_ITEM(rec, 2, x);
    return rec;
}

bool log_one(PyObject* trades, PyObject* positions, PyObject* stats, long i, long nstocks,
             long bars, npy_intp length) {
    const long sid = (i * 7) % nstocks;
    const long entry = i % bars;
    PyObject* rec = make_record(sid, entry, entry + 5);
    if (rec == nullptr) return false;
    int rc = PyList_Append(trades, rec);
    Py_DECREF(rec);
    if (rc < 0) return false;
    PyObject* p = PyArrayScalar_New(Float64);
    if (p == nullptr) return false;
    PyArrayScalar_ASSIGN(p, Float64, 0.05);
    rc = PyList_Append(positions, p);
    Py_DECREF(p);
    if (rc < 0) return false;
    PyObject* a = PyArray_EMPTY(1, &length, NPY_DOUBLE, 0);
    if (a == nullptr) return false;
    double* d = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a)));
    for (npy_intp k = 0; k < length; ++k) d[k] = -1.0;
    rc = PyList_Append(stats, a);
    Py_DECREF(a);
    return rc >= 0;
}

// The items of an exact list, moved out: the list is left empty.
struct Taken {
    PyObject** items = nullptr;
    Py_ssize_t n = 0;
    Py_ssize_t next = 0;
    void take(PyObject* list) {
        PyListObject* l = reinterpret_cast<PyListObject*>(list);
        items = l->ob_item;
        n = Py_SIZE(l);
        l->ob_item = nullptr;
        Py_SET_SIZE(l, 0);
        l->allocated = 0;
    }
    void release_one() {
        if (next < n) Py_DECREF(items[next++]);
    }
    // Asks for the old record `ahead` places on, and for the items of the one
    // half as far, so that freeing them finds them in cache.
    void prefetch(Py_ssize_t ahead) const {
        if (next + ahead < n) __builtin_prefetch(items[next + ahead], 1);
        const Py_ssize_t near = next + ahead / 2;
        if (near < n && PyList_CheckExact(items[near])) {
            PyObject** sub = reinterpret_cast<PyListObject*>(items[near])->ob_item;
            for (Py_ssize_t k = 0; k < 3; ++k) __builtin_prefetch(sub[k], 1);
        } else if (near < n && PyArray_CheckExact(items[near])) {
            __builtin_prefetch(PyArray_DATA(reinterpret_cast<PyArrayObject*>(items[near])), 1);
        }
    }
    void release_all() {
        while (next < n) Py_DECREF(items[next++]);
        PyMem_Free(items);
        items = nullptr;
    }
};

PyObject* cycle(PyObject*, PyObject* args) {
    PyObject *trades, *positions, *stats;
    long n, nstocks, bars, length, order;
    if (!PyArg_ParseTuple(args, "O!O!O!lllll", &PyList_Type, &trades, &PyList_Type, &positions,
                          &PyList_Type, &stats, &n, &nstocks, &bars, &length, &order))
        return nullptr;
    if (nstocks < 1 || bars < 1 || length < 0) {
        PyErr_SetString(PyExc_ValueError, "nstocks and bars must be positive, length >= 0");
        return nullptr;
    }
    const npy_intp len = length;
    if (order == 0) {
        for (PyObject* l : {trades, positions, stats})
            if (PyList_SetSlice(l, 0, PY_SSIZE_T_MAX, nullptr) < 0) return nullptr;
        for (long i = 0; i < n; ++i)
            if (!log_one(trades, positions, stats, i, nstocks, bars, len)) return nullptr;
    } else {
        Taken t, p, s;
        t.take(trades);
        p.take(positions);
        s.take(stats);
        bool ok = true;
        for (long i = 0; i < n && ok; ++i) {
            if (order == 2) {
                t.prefetch(16);
                p.prefetch(16);
                s.prefetch(16);
            }
            t.release_one();
            p.release_one();
            s.release_one();
            ok = log_one(trades, positions, stats, i, nstocks, bars, len);
        }
        t.release_all();
        p.release_all();
        s.release_all();
        if (!ok) return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"cycle", cycle, METH_VARARGS,
     "cycle(trades, positions, stats, n, nstocks, bars, length, order): one run of logging"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "trade_floor", nullptr, -1, methods};

}  // namespace

PyMODINIT_FUNC PyInit_trade_floor(void) {
    if (PyArray_ImportNumPyAPI() < 0) return nullptr;
    return PyModule_Create(&module_def);
}
