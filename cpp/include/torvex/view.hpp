// Typed, read-only, strided views of memory the caller owns, and the index
// fault of a checked read. Plain C++: the engine reads every input through
// these, whoever opened the memory (a Python buffer in buffer.hpp, or an array
// handed to the typed entry).
//
// Elements are loaded with memcpy, so misaligned memory is read safely (the
// compiler emits a plain load where alignment allows). `operator()` is the
// unchecked hot-path access; `at()` wraps a negative index once and throws
// OutOfBounds for anything outside the view.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "faults.hpp"

namespace torvex {

using index_t = std::ptrdiff_t;

// Index `i` into `n` elements with a negative index counted from the end, as
// an array lookup takes it: true (and `i` wrapped) when it lies inside.
inline bool wrap_index(int64_t& i, int64_t n) noexcept {
    if (i < 0) i += n;
    return i >= 0 && i < n;
}

namespace detail {

template <class T>
inline T load(const char* p) noexcept {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
}

}  // namespace detail

// One-dimensional strided view. A default view has length 0, so every checked
// access fails with the index fault.
template <class T>
struct View1 {
    const char* data = nullptr;
    index_t n = 0;
    index_t stride = 0;

    View1() = default;
    View1(const T* p, index_t len)
        : data(reinterpret_cast<const char*>(p)), n(len), stride(sizeof(T)) {}
    View1(const void* p, index_t len, index_t step)
        : data(static_cast<const char*>(p)), n(len), stride(step) {}

    index_t size() const noexcept { return n; }
    T operator()(index_t i) const noexcept { return detail::load<T>(data + i * stride); }
    T at(index_t i) const {
        int64_t k = i;
        if (!wrap_index(k, n)) out_of_bounds(0);
        return (*this)(static_cast<index_t>(k));
    }
};

// Two-dimensional strided view.
template <class T>
struct View2 {
    const char* data = nullptr;
    index_t n0 = 0, n1 = 0;
    index_t s0 = 0, s1 = 0;

    View2() = default;
    View2(const void* p, index_t rows, index_t cols, index_t row_step, index_t col_step)
        : data(static_cast<const char*>(p)), n0(rows), n1(cols), s0(row_step), s1(col_step) {}

    T operator()(index_t i, index_t j) const noexcept {
        return detail::load<T>(data + i * s0 + j * s1);
    }
    T at(index_t i, index_t j) const {
        int64_t a = i, b = j;
        if (!wrap_index(a, n0)) out_of_bounds(0);
        if (!wrap_index(b, n1)) out_of_bounds(1);
        return (*this)(static_cast<index_t>(a), static_cast<index_t>(b));
    }
    // Row `i` as a one-dimensional view, checked.
    View1<T> row_at(index_t i) const {
        int64_t a = i;
        if (!wrap_index(a, n0)) out_of_bounds(0);
        return row(static_cast<index_t>(a));
    }
    // Row `i` as a one-dimensional view (unchecked).
    View1<T> row(index_t i) const noexcept { return View1<T>(data + i * s0, n1, s1); }
};

}  // namespace torvex
