// Typed, read-only, strided views of buffers exported by NumPy arrays (or any
// other exporter), acquired and released by RAII.
//
// Elements are loaded with memcpy, so misaligned buffers are read safely (the
// compiler emits a plain load where alignment allows). Inputs are never written
// and never copied. `operator()` is the unchecked hot-path access; `at()` wraps a
// negative index once and raises the out-of-bounds IndexError (errors.hpp) for
// anything outside the buffer.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "errors.hpp"
#include "pyref.hpp"
#include "view.hpp"

namespace torvex {

enum class Elem { f64, i64, intp, object };

namespace detail {

// C name of a buffer element type, as shown in dtype-mismatch errors.
inline std::string c_type_name(const char* fmt) {
    const char* f = fmt ? fmt : "B";
    if (*f == '@' || *f == '=' || *f == '<' || *f == '>' || *f == '!') ++f;
    if (f[0] == 'T' && f[1] == '{') return "a struct";
    if (f[0] == 'Z' && f[1] != '\0' && f[2] == '\0') {
        switch (f[1]) {
            case 'f':
                return "complex float";
            case 'd':
                return "complex double";
            case 'g':
                return "complex long double";
        }
    }
    if (f[0] != '\0' && f[1] == '\0') {
        switch (f[0]) {
            case 'c':
                return "char";
            case 'b':
                return "signed char";
            case 'B':
                return "unsigned char";
            case 'h':
                return "short";
            case 'H':
                return "unsigned short";
            case 'i':
                return "int";
            case 'I':
                return "unsigned int";
            case 'l':
                return "long";
            case 'L':
                return "unsigned long";
            case 'q':
                return "long long";
            case 'Q':
                return "unsigned long long";
            case 'n':
                return "Py_ssize_t";
            case 'N':
                return "size_t";
            case 'e':
                return "half";
            case 'f':
                return "float";
            case 'd':
                return "double";
            case 'g':
                return "long double";
            case '?':
                return "bool";
            case 'O':
                return "Python object";
        }
    }
    return fmt ? fmt : "unsigned char";
}

inline bool native_order(const char* fmt) {
    if (fmt == nullptr) return true;
#if PY_BIG_ENDIAN
    return !(*fmt == '<');
#else
    return !(*fmt == '>' || *fmt == '!');
#endif
}

inline const char* strip_order(const char* fmt) {
    if (fmt && (*fmt == '@' || *fmt == '=' || *fmt == '<' || *fmt == '>' || *fmt == '!')) ++fmt;
    return fmt;
}

inline bool format_matches(Elem e, const Py_buffer& b) {
    if (!native_order(b.format)) return false;
    const char* f = strip_order(b.format);
    if (f == nullptr || f[0] == '\0' || f[1] != '\0') return false;
    switch (e) {
        case Elem::f64:
            return f[0] == 'd' && b.itemsize == 8;
        case Elem::i64:
        case Elem::intp:
            return (f[0] == 'l' || f[0] == 'q' || f[0] == 'n') &&
                   b.itemsize == static_cast<Py_ssize_t>(sizeof(int64_t));
        case Elem::object:
            return f[0] == 'O' && b.itemsize == static_cast<Py_ssize_t>(sizeof(PyObject*));
    }
    return false;
}

inline const char* expected_name(Elem e) {
    switch (e) {
        case Elem::f64:
            return "float64_t";
        case Elem::i64:
            return "int64_t";
        case Elem::intp:
            return "Py_ssize_t";
        case Elem::object:
            return "object";
    }
    return "?";
}

}  // namespace detail

// Owner of one acquired buffer. Holding it keeps the exporter alive and stops
// NumPy from resizing the array while it is read.
class Buffer {
  public:
    Buffer() noexcept { view_.obj = nullptr; }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { release(); }

    // Opens `obj` read-only as an `ndim`-dimensional buffer of `elem`; raises the
    // dimension or dtype-mismatch ValueError otherwise. None is left unopened.
    void open(PyObject* obj, Elem elem, int ndim) {
        release();
        if (obj == Py_None) return;
        check(PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO));
        if (view_.ndim != ndim) {
            int got = view_.ndim;
            release();
            raise_wrong_ndim(ndim, got);
        }
        if (!detail::format_matches(elem, view_)) {
            std::string got = detail::c_type_name(view_.format);
            release();
            raise_dtype_mismatch(detail::expected_name(elem), got.c_str());
        }
    }

    bool is_open() const noexcept { return view_.obj != nullptr; }
    const Py_buffer& view() const noexcept { return view_; }
    Py_ssize_t shape(int axis) const noexcept {
        return is_open() && axis < view_.ndim ? view_.shape[axis] : 0;
    }
    Py_ssize_t size() const noexcept {
        if (!is_open()) return 0;
        Py_ssize_t n = 1;
        for (int i = 0; i < view_.ndim; ++i) n *= view_.shape[i];
        return n;
    }

    void release() noexcept {
        if (view_.obj != nullptr) PyBuffer_Release(&view_);
        view_.obj = nullptr;
    }

  private:
    Py_buffer view_;
};

// Views of an open buffer (default views of an unopened one: every checked
// access fails with the index fault).
template <class T>
View1<T> view1(const Buffer& b) {
    if (!b.is_open()) return {};
    const Py_buffer& v = b.view();
    return View1<T>(v.buf, v.shape[0], v.strides ? v.strides[0] : v.itemsize);
}

template <class T>
View2<T> view2(const Buffer& b) {
    if (!b.is_open()) return {};
    const Py_buffer& v = b.view();
    return View2<T>(v.buf, v.shape[0], v.shape[1],
                    v.strides ? v.strides[0] : v.shape[1] * v.itemsize,
                    v.strides ? v.strides[1] : v.itemsize);
}

}  // namespace torvex
