// Reference ownership and error propagation for code that talks to CPython.
//
// `Ref` owns one strong reference and drops it in its destructor; `Ref::steal`
// and `Ref::borrow` make the transfer visible at the call site. A C API call
// that signals failure (NULL or -1) is turned into `PyErrSet`, which means "a
// Python exception is already set"; every entry point that CPython or the other
// module calls catches it (and std::bad_alloc) at the boundary.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cassert>
#include <new>
#include <utility>

#include "faults.hpp"

namespace torvex {

// Thrown when a Python exception is pending and the current operation must
// unwind. Throwing it without a pending exception would turn into a NULL
// return with no error set; debug builds (the sanitizer build) catch that here.
struct PyErrSet {
    PyErrSet() noexcept {
        assert(PyErr_Occurred() != nullptr && "PyErrSet without a pending error");
    }
};

class Ref {
  public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ~Ref() { Py_XDECREF(p_); }

    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }

    // Takes over a new reference; throws PyErrSet when `p` is NULL.
    static Ref steal(PyObject* p) {
        if (p == nullptr) throw PyErrSet{};
        return Ref(p);
    }
    // Takes over a new reference that may be NULL without an error.
    static Ref steal_or_null(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference to a borrowed pointer.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference back to the caller (for returning to CPython).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Py_CLEAR(p_); }

  private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A strong reference held in module state for the life of the process. It is
// dropped on replacement; at process exit it is dropped only while the
// interpreter still runs (static destructors run after finalisation, when
// nothing may be released any more). `slot()` is the address of the held
// pointer, for a capsule that hands the variable out.
template <class T = PyObject>
class ModuleRef {
  public:
    constexpr ModuleRef() noexcept = default;
    ModuleRef(const ModuleRef&) = delete;
    ModuleRef& operator=(const ModuleRef&) = delete;
    ~ModuleRef() {
        if (Py_IsInitialized()) Py_XDECREF(reinterpret_cast<PyObject*>(p_));
    }

    // Takes over `r` (a new reference) and drops the one held before.
    void reset(Ref r) noexcept {
        T* old = p_;
        p_ = reinterpret_cast<T*>(r.release());
        Py_XDECREF(reinterpret_cast<PyObject*>(old));
    }
    // Holds `o` too (a borrowed reference).
    void set(PyObject* o) noexcept { reset(Ref::borrow(o)); }

    T* get() const noexcept { return p_; }
    PyObject* object() const noexcept { return reinterpret_cast<PyObject*>(p_); }
    constexpr T** slot() noexcept { return &p_; }

  private:
    T* p_ = nullptr;
};

// Raises PyErrSet for a failed C API call.
inline void check(int rc) {
    if (rc < 0) throw PyErrSet{};
}
inline PyObject* check(PyObject* p) {
    if (p == nullptr) throw PyErrSet{};
    return p;
}
// After a call into code that reports failure only through the error indicator.
inline void check_pending() {
    if (PyErr_Occurred()) throw PyErrSet{};
}

[[noreturn]] inline void raise(PyObject* type, const char* msg) {
    PyErr_SetString(type, msg);
    throw PyErrSet{};
}
template <class... A>
[[noreturn]] void raise_format(PyObject* type, const char* fmt, A... args) {
    PyErr_Format(type, fmt, args...);
    throw PyErrSet{};
}

// Converts whatever escaped `fn` into a pending Python exception. Used at every
// boundary where C++ must not unwind into C.
template <class F>
bool guard(F&& fn) noexcept {
    try {
        fn();
        return true;
    } catch (const PyErrSet&) {
    } catch (const OutOfBounds& e) {
        PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", e.axis);
    } catch (const FloatDivisionByZero&) {
        PyErr_SetString(PyExc_ZeroDivisionError, "float division by zero");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "torvex: unexpected C++ exception");
    }
    return false;
}

// Module global lookup: the module namespace, then the builtins, else NameError.
inline Ref get_global(PyObject* module_dict, PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(module_dict, name);
    if (v != nullptr) return Ref::borrow(v);
    if (PyErr_Occurred()) throw PyErrSet{};
    PyObject* builtins = PyEval_GetBuiltins();
    if (builtins != nullptr) {
        v = PyDict_GetItemWithError(builtins, name);
        if (v != nullptr) return Ref::borrow(v);
        if (PyErr_Occurred()) throw PyErrSet{};
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw PyErrSet{};
}

// Registers `callback` as a watcher of `dict` and returns its id, or -1 (no
// Python error set) when the interpreter has no watcher id left: callers then
// do without whatever the watcher would have kept valid.
inline int watch_dict(PyObject* dict, PyDict_WatchCallback callback) noexcept {
    const int id = PyDict_AddWatcher(callback);
    if (id < 0) {
        PyErr_Clear();
        return -1;
    }
    if (PyDict_Watch(id, dict) < 0) {
        PyErr_Clear();
        PyDict_ClearWatcher(id);
        PyErr_Clear();
        return -1;
    }
    return id;
}

inline bool truth(PyObject* o) {
    if (o == Py_True) return true;
    if (o == Py_False || o == Py_None) return false;
    int r = PyObject_IsTrue(o);
    check(r);
    return r != 0;
}

// Result of a host comparison (`a op b`), raising what the comparison raises.
inline bool compare(PyObject* a, PyObject* b, int op) {
    int r = PyObject_RichCompareBool(a, b, op);
    check(r);
    return r != 0;
}

inline Ref py_long(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }
inline Ref py_float(double v) { return Ref::steal(PyFloat_FromDouble(v)); }

// Interned string, created once at module initialisation and kept for the process.
inline PyObject* intern(const char* s) {
    PyObject* o = PyUnicode_InternFromString(s);
    if (o == nullptr) throw PyErrSet{};
    return o;
}

}  // namespace torvex
