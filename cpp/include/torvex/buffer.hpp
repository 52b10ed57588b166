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

template <class T>
inline T load(const char* p) noexcept {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
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

// One-dimensional strided view. A default view (from an unopened buffer) has
// length 0, so every checked access fails with the index error.
template <class T>
struct View1 {
    const char* data = nullptr;
    Py_ssize_t n = 0;
    Py_ssize_t stride = 0;

    View1() = default;
    explicit View1(const Buffer& b) {
        if (!b.is_open()) return;
        data = static_cast<const char*>(b.view().buf);
        n = b.view().shape[0];
        stride = b.view().strides ? b.view().strides[0] : b.view().itemsize;
    }
    View1(const T* p, Py_ssize_t len)
        : data(reinterpret_cast<const char*>(p)), n(len), stride(sizeof(T)) {}

    Py_ssize_t size() const noexcept { return n; }
    T operator()(Py_ssize_t i) const noexcept { return detail::load<T>(data + i * stride); }
    T at(Py_ssize_t i) const {
        if (!wrap_index(i, n)) raise_out_of_bounds(0);
        return (*this)(i);
    }
};

// Two-dimensional strided view.
template <class T>
struct View2 {
    const char* data = nullptr;
    Py_ssize_t n0 = 0, n1 = 0;
    Py_ssize_t s0 = 0, s1 = 0;

    View2() = default;
    explicit View2(const Buffer& b) {
        if (!b.is_open()) return;
        const Py_buffer& v = b.view();
        data = static_cast<const char*>(v.buf);
        n0 = v.shape[0];
        n1 = v.shape[1];
        s0 = v.strides ? v.strides[0] : v.shape[1] * v.itemsize;
        s1 = v.strides ? v.strides[1] : v.itemsize;
    }

    T operator()(Py_ssize_t i, Py_ssize_t j) const noexcept {
        return detail::load<T>(data + i * s0 + j * s1);
    }
    T at(Py_ssize_t i, Py_ssize_t j) const {
        if (!wrap_index(i, n0)) raise_out_of_bounds(0);
        if (!wrap_index(j, n1)) raise_out_of_bounds(1);
        return (*this)(i, j);
    }
    // Row `i` as a one-dimensional view, checked.
    View1<T> row_at(Py_ssize_t i) const {
        if (!wrap_index(i, n0)) raise_out_of_bounds(0);
        return row(i);
    }
    // Row `i` as a one-dimensional view (unchecked).
    View1<T> row(Py_ssize_t i) const noexcept {
        View1<T> r;
        r.data = data + i * s0;
        r.n = n1;
        r.stride = s1;
        return r;
    }
};

}  // namespace torvex
