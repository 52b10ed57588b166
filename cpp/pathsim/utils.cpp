// Small Python-callable utilities: normalize_weight and ioft.
#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL torvex_pathsim_ARRAY_API
#include "utils.hpp"

#include <numpy/arrayobject.h>

#include <vector>

#include "host_float.hpp"
#include "state.hpp"
#include "torvex/argparse.hpp"
#include "torvex/capi.hpp"

namespace torvex::pathsim {
namespace {

ArgParser<2> normalize_parser("normalize_weight", {"weights", "position_limit"}, 2);
ArgParser<1> ioft_parser("ioft", {"v"}, 1);

// Calls `fn(key, value)` for each item of `mapping.items()`.
template <class F>
void for_items(PyObject* mapping, F&& fn) {
    Ref items = Ref::steal(PyObject_CallMethodNoArgs(mapping, g.s.items));
    Ref it = Ref::steal(PyObject_GetIter(items.get()));
    while (Ref pair = Ref::steal_or_null(PyIter_Next(it.get()))) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        if (PyTuple_CheckExact(pair.get()) && PyTuple_GET_SIZE(pair.get()) == 2) {
            key = PyTuple_GET_ITEM(pair.get(), 0);
            value = PyTuple_GET_ITEM(pair.get(), 1);
            fn(key, value);
        } else {
            Ref k = Ref::steal(PySequence_GetItem(pair.get(), 0));
            Ref v = Ref::steal(PySequence_GetItem(pair.get(), 1));
            fn(k.get(), v.get());
        }
    }
    check_pending();
}

// normalize_weight on an exact dict of Python floats and float64 scalars with a
// Python float limit, computed in C (host_float.hpp). Returns false, having
// changed nothing, when the inputs or the arithmetic leave that ground.
bool normalize_plain(PyObject* weights, PyObject* limit) {
    if (!PyDict_CheckExact(weights) || !PyFloat_CheckExact(limit)) return false;
    const Py_ssize_t n = PyDict_GET_SIZE(weights);
    std::vector<PyObject*> keys;
    std::vector<HostFloat> w;
    keys.reserve(static_cast<std::size_t>(n));
    w.reserve(static_cast<std::size_t>(n));
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(weights, &pos, &key, &value)) {
        // Keys whose hash runs no code of the caller's: the host's way sets
        // items more often than this one does.
        if (!PyLong_CheckExact(key) && !PyUnicode_CheckExact(key)) return false;
        HostFloat h;
        if (!read_host_float(value, h)) return false;
        keys.push_back(key);
        w.push_back(h);
    }

    const FpWatch watch;
    HostFloat sum{0.0, false};
    for (const HostFloat& h : w) sum = host_add(sum, host_abs(h));
    const bool scale = sum.v > 1.0;
    if (scale) {
        const HostFloat inv = host_div({1.0, false}, sum);
        for (HostFloat& h : w) h = host_mul(h, inv);
    }
    const double lim = PyFloat_AS_DOUBLE(limit);
    if (!watch.clean()) return false;

    // The limits are compared with the weights as scaled; a clipped weight is
    // the limit object itself, or the one negated limit.
    Ref neg_limit = py_float(-lim);
    for (std::size_t i = 0; i < w.size(); ++i) {
        Ref v;
        if (w[i].v > lim) {
            v = Ref::borrow(limit);
        } else if (w[i].v < -lim) {
            v = neg_limit;
        } else if (scale) {
            v = host_object(w[i]);
        } else {
            continue;
        }
        check(PyDict_SetItem(weights, keys[i], v.get()));
    }
    return true;
}

}  // namespace

void init_small_args() {
    normalize_parser.init();
    ioft_parser.init();
}

PyObject* normalize_weight(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* result = nullptr;
    guard([&] {
        std::array<PyObject*, 2> v;
        normalize_parser.parse(args, nargs, kwnames, v);
        PyObject* weights = v[0];
        PyObject* limit = v[1];
        if (normalize_plain(weights, limit)) {
            result = Ref::borrow(weights).release();
            return;
        }

        Ref weight_sum = py_float(0.0);
        for_items(weights, [&](PyObject*, PyObject* w) {
            Ref a = Ref::steal(PyNumber_Absolute(w));
            weight_sum = Ref::steal(PyNumber_Add(weight_sum.get(), a.get()));
        });
        Ref one = py_long(1);
        for_items(weights, [&](PyObject* key, PyObject* w) {
            if (!compare(weight_sum.get(), one.get(), Py_GT)) return;
            // Multiply by the reciprocal: this is not the same as dividing by the sum.
            Ref inv = Ref::steal(PyNumber_TrueDivide(one.get(), weight_sum.get()));
            Ref scaled = Ref::steal(PyNumber_Multiply(w, inv.get()));
            check(PyObject_SetItem(weights, key, scaled.get()));
        });
        Ref neg_limit = Ref::steal(PyNumber_Negative(limit));
        for_items(weights, [&](PyObject* key, PyObject* w) {
            if (compare(w, limit, Py_GT)) {
                check(PyObject_SetItem(weights, key, limit));
            } else if (compare(w, neg_limit.get(), Py_LT)) {
                check(PyObject_SetItem(weights, key, neg_limit.get()));
            }
        });
        result = Ref::borrow(weights).release();
    });
    return result;
}

PyObject* ioft(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* result = nullptr;
    guard([&] {
        std::array<PyObject*, 1> v;
        ioft_parser.parse(args, nargs, kwnames, v);
        PyObject* x = v[0];
        Ref seconds;
        if (PyFloat_CheckExact(x)) {
            seconds = py_float(PyFloat_AS_DOUBLE(x) / 1e9);
        } else if (PyLong_CheckExact(x)) {
            double d = PyLong_AsDouble(x);
            if (d == -1.0 && PyErr_Occurred()) throw PyErrSet{};
            seconds = py_float(d / 1e9);
        } else {
            Ref billion = py_float(1e9);
            seconds = Ref::steal(PyNumber_TrueDivide(x, billion.get()));
        }
        Ref dt_module = get_global(g.dict, g.s.datetime);
        Ref dt_class = Ref::steal(PyObject_GetAttr(dt_module.get(), g.s.datetime));
        result = PyObject_CallMethodOneArg(dt_class.get(), g.s.fromtimestamp, seconds.get());
    });
    return result;
}

}  // namespace torvex::pathsim
