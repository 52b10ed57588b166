// The watch on the run's input arrays: after code of the caller may have run (a truth test, a
// replaced setting, a record list's append), an input whose memory or shape moved under its held
// buffer ends the run with a ValueError.
#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL torvex_pathsim_ARRAY_API
#define PY_SSIZE_T_CLEAN
#include "watch.hpp"

#include <Python.h>
#include <numpy/arrayobject.h>

#include "run.hpp"
#include "torvex/errors.hpp"

namespace torvex::pathsim {

namespace {

// Whether the NumPy array `obj` no longer has the memory and shape recorded.
bool moved(PyObject* obj, const void* data, int ndim, const Py_ssize_t* dims) {
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    bool same = PyArray_DATA(arr) == data && PyArray_NDIM(arr) == ndim;
    for (int i = 0; same && i < ndim; ++i) same = PyArray_DIM(arr, i) == dims[i];
    return !same;
}

}  // namespace

void check_unmoved(const Buffer& b, const char* name) {
    if (!b.is_open()) return;
    const Py_buffer& v = b.view();
    if (v.obj == nullptr || !PyArray_Check(v.obj)) return;  // other exporters refuse to move
    if (moved(v.obj, v.buf, v.ndim, v.shape))
        raise_format(PyExc_ValueError, msg::resized_during_run, name);
}

namespace {

template <class F>
void for_each_input(const Run& r, F&& fn) {
#define TORVEX_HELD(arg, buffer, ...) fn(r.buffer, #arg);
    TORVEX_RUN_INPUTS(TORVEX_HELD, TORVEX_HELD)
#undef TORVEX_HELD
}

}  // namespace

void watch_inputs(Run& r) {
    r.watched.clear();
    // Buffers are opened with their exact number of dimensions: one or two.
    for_each_input(r, [&](const Buffer& b, const char* name) {
        if (!b.is_open()) return;
        const Py_buffer& v = b.view();
        if (v.obj == nullptr || !PyArray_Check(v.obj)) return;
        WatchedInput w{v.obj, v.buf, v.ndim, {0, 0}, name};
        for (int i = 0; i < v.ndim && i < 2; ++i) w.dims[i] = v.shape[i];
        r.watched.push_back(w);
    });
    r.watching = true;
}

void check_run_inputs() {
    const Run* r = running_run;
    if (r == nullptr) return;
    if (!r->watching) {
        for_each_input(*r, [](const Buffer& b, const char* name) { check_unmoved(b, name); });
        return;
    }
    for (const WatchedInput& w : r->watched)
        if (moved(w.array, w.data, w.ndim, w.dims))
            raise_format(PyExc_ValueError, msg::resized_during_run, w.name);
}

}  // namespace torvex::pathsim
