#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL torvex_pathsim_ARRAY_API
#include "setup_cache.hpp"

#include <numpy/arrayobject.h>

#include <cstring>
#include <vector>

#include "state.hpp"
#include "torvex/capi.hpp"

namespace torvex::pathsim {
namespace {

// ---- column map

// The labels a sequence yields when iterated, when it is an exact 1-D object
// array, list or tuple of exact str only (so iterating it and encoding its
// labels run no code of the caller's); false otherwise.
template <class F>
bool each_str_label(PyObject* seq, F&& fn) {
    if (PyArray_CheckExact(seq)) {
        PyArrayObject* a = reinterpret_cast<PyArrayObject*>(seq);
        if (PyArray_NDIM(a) != 1 || PyArray_TYPE(a) != NPY_OBJECT) return false;
        const npy_intp n = PyArray_DIM(a, 0);
        const char* p = PyArray_BYTES(a);
        const npy_intp step = PyArray_STRIDE(a, 0);
        for (npy_intp i = 0; i < n; ++i, p += step) {
            PyObject* o;
            std::memcpy(&o, p, sizeof o);
            if (o == nullptr || !PyUnicode_CheckExact(o) || !fn(i, o)) return false;
        }
        return true;
    }
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
        PyObject** items = PySequence_Fast_ITEMS(seq);
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!PyUnicode_CheckExact(items[i]) || !fn(i, items[i])) return false;
        return true;
    }
    return false;
}

// Labels held (strong references) so that an identical pointer is the same str.
struct HeldLabels {
    std::vector<PyObject*> objs;
    void clear() noexcept {
        for (PyObject* o : objs) Py_DECREF(o);
        objs.clear();
    }
    bool same_as(PyObject* seq) const {
        Py_ssize_t count = 0;
        const bool all = each_str_label(seq, [&](Py_ssize_t i, PyObject* o) {
            ++count;
            return static_cast<std::size_t>(i) < objs.size() &&
                   objs[static_cast<std::size_t>(i)] == o;
        });
        return all && static_cast<std::size_t>(count) == objs.size();
    }
    bool take(PyObject* seq) {
        clear();
        const bool ok = each_str_label(seq, [&](Py_ssize_t, PyObject* o) {
            Py_INCREF(o);
            objs.push_back(o);
            return true;
        });
        if (!ok) clear();
        return ok;
    }
};

struct ColumnMapCache {
    HeldLabels price, pos;
    std::map<int, int> map;
    bool valid = false;
} columns;

// ---- stop tables of a number

// What stop_table reads to build a table from a float, as bound at import.
struct Named {
    PyObject* dict;   // borrowed from a module that lives for the process
    PyObject* name;   // interned
    PyObject* value;  // strong
};

struct FunctionCode {
    PyObject* function;  // strong
    PyObject* code;      // strong
};

struct StopBuilders {
    bool pristine = false;
    PyObject* type = nullptr;     // StopTable, strong
    PyObject* builder = nullptr;  // stop_table, strong
    std::vector<Named> names;
    std::vector<FunctionCode> codes;
    std::vector<double> values[2];
} stops;

const int64_t zero_row = 0;

int stops_module_changed(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    stops.pristine = false;
    return 0;
}

int stop_type_changed(PyTypeObject*) noexcept {
    stops.pristine = false;
    return 0;
}

bool keep_name(PyObject* dict, const char* name) {
    PyObject* key = intern(name);
    PyObject* v = PyDict_GetItemWithError(dict, key);
    if (v == nullptr) return false;
    Py_INCREF(v);
    stops.names.push_back({dict, key, v});
    return true;
}

bool keep_code(PyObject* function) {
    if (function == nullptr || !PyFunction_Check(function)) return false;
    PyObject* code = PyFunction_GET_CODE(function);
    Py_INCREF(function);
    Py_INCREF(code);
    stops.codes.push_back({function, code});
    return true;
}

bool unchanged() {
    if (!stops.pristine) return false;
    for (const Named& n : stops.names) {
        PyObject* v = PyDict_GetItemWithError(n.dict, n.name);
        if (v != n.value) {
            PyErr_Clear();
            return false;
        }
    }
    for (const FunctionCode& f : stops.codes)
        if (PyFunction_GET_CODE(f.function) != f.code) return false;
    return true;
}

}  // namespace

std::map<int, int> cached_map_columns(PyObject* price_columns, PyObject* pos_columns,
                                      ColumnMapBuilder build) {
    if (columns.valid && columns.price.same_as(price_columns) && columns.pos.same_as(pos_columns))
        return columns.map;
    columns.valid = false;
    std::map<int, int> m = build(price_columns, pos_columns);
    if (columns.price.take(price_columns) && columns.pos.take(pos_columns)) {
        columns.map = m;
        columns.valid = true;
    } else {
        columns.price.clear();
        columns.pos.clear();
    }
    return m;
}

void remember_stop_builders(PyObject* stops_module, PyObject* type, PyObject* builder) {
    // Any failure here only leaves the general way in use.
    stops.pristine = false;
    PyObject* mdict = PyModule_GetDict(stops_module);
    PyObject* np = mdict ? PyDict_GetItemString(mdict, "np") : nullptr;
    PyObject* numbers = mdict ? PyDict_GetItemString(mdict, "numbers") : nullptr;
    PyObject* builtins = PyEval_GetBuiltins();
    if (mdict == nullptr || np == nullptr || !PyModule_Check(np) || numbers == nullptr ||
        !PyModule_Check(numbers) || builtins == nullptr || !PyType_Check(type)) {
        PyErr_Clear();
        return;
    }
    PyObject* np_dict = PyModule_GetDict(np);
    PyObject* numbers_dict = PyModule_GetDict(numbers);
    PyObject* tdict = reinterpret_cast<PyTypeObject*>(type)->tp_dict;
    bool ok = true;
    for (const char* n :
         {"np", "numbers", "StopTable", "stop_table", "_count", "_is_real", "_locked"})
        ok = ok && keep_name(mdict, n);
    for (const char* n : {"asarray", "full", "zeros", "ndim", "size", "intp", "generic"})
        ok = ok && keep_name(np_dict, n);
    ok = ok && keep_name(numbers_dict, "Real");
    for (const char* n : {"isinstance", "float", "int"}) ok = ok && keep_name(builtins, n);
    ok = ok && PyDict_GetItemString(mdict, "StopTable") == type &&
         PyDict_GetItemString(mdict, "stop_table") == builder;
    for (const char* n : {"stop_table", "_count", "_is_real", "_locked"})
        ok = ok && keep_code(PyDict_GetItemString(mdict, n));
    PyObject* set = tdict ? PyDict_GetItemString(tdict, "_set") : nullptr;
    ok = ok && keep_code(set);
    PyObject* own = tdict ? PyDict_GetItemString(tdict, "_own") : nullptr;
    Ref own_fn = own ? Ref::steal_or_null(PyObject_GetAttrString(own, "__func__")) : Ref();
    ok = ok && own_fn && keep_code(own_fn.get());
    PyErr_Clear();
    if (!ok) return;
    const int dw = watch_dict(mdict, stops_module_changed);
    if (dw < 0) return;
    const int tw = PyType_AddWatcher(stop_type_changed);
    if (tw < 0 || PyType_Watch(tw, type) < 0) {
        PyErr_Clear();
        return;
    }
    Py_INCREF(type);
    Py_INCREF(builder);
    stops.type = type;
    stops.builder = builder;
    stops.pristine = true;
}

bool constant_stop_table(PyObject* threshold, PyObject* price_index, PyObject* pos_columns,
                         int slot, View2<double>& values, View1<int64_t>& rows) {
    if (!PyFloat_CheckExact(threshold) || !PyArray_CheckExact(price_index) ||
        !PyArray_CheckExact(pos_columns) ||
        PyArray_NDIM(reinterpret_cast<PyArrayObject*>(price_index)) != 1 ||
        PyArray_NDIM(reinterpret_cast<PyArrayObject*>(pos_columns)) != 1)
        return false;
    // The names as the general way looks them up now.
    PyObject* type = PyDict_GetItemWithError(g.dict, g.s.StopTable);
    PyObject* builder = type ? PyDict_GetItemWithError(g.dict, g.s.stop_table) : nullptr;
    if (builder == nullptr) {
        PyErr_Clear();
        return false;
    }
    if (type != stops.type || builder != stops.builder || !unchanged()) return false;

    const npy_intp nbars = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(price_index));
    const npy_intp ncols = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(pos_columns));
    std::vector<double>& v = stops.values[slot];
    v.assign(static_cast<std::size_t>(ncols), PyFloat_AS_DOUBLE(threshold));
    values.data = reinterpret_cast<const char*>(v.data());
    values.n0 = 1;
    values.n1 = ncols;
    values.s0 = ncols * static_cast<Py_ssize_t>(sizeof(double));
    values.s1 = sizeof(double);
    // Every bar reads row 0.
    rows.data = reinterpret_cast<const char*>(&zero_row);
    rows.n = nbars;
    rows.stride = 0;
    return true;
}

}  // namespace torvex::pathsim
