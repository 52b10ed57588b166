// The previous run's trade records, released while the next run logs its own.
//
// Emptying a log of 100,000 trades at once frees half a million small objects
// in one burst: whole arenas of the small-object allocator fall empty and go
// back to the system, only to be mapped and faulted in again while the new
// records are built, and the collector's count of young objects, reset by the
// frees, is driven through dozens of collections by the new ones. Instead the
// lists are emptied without freeing, and one old record is freed right before
// each new one is built, so the new record lands in the blocks the old one
// left and the collector's count stays level.
//
// Only records whose release cannot be told apart from an immediate one are
// kept for later: nothing else holds them, and freeing them runs no code but
// the allocator's (the log's own kinds of objects: exact lists of ints and
// NumPy integer and float scalars, the scalars themselves, and float64 arrays
// that own their memory and have no weak references). Anything else is freed
// at once, in the order clearing the list frees it. Kept records are
// untracked by the collector, so they are unreachable from Python.
//
// Include after numpy/arrayobject.h in a file that has the NumPy API imported.
#pragma once

#include <numpy/arrayscalars.h>

#include <cstddef>
#include <vector>

#include "torvex/pyref.hpp"

namespace torvex::excursion {

namespace retired_detail {

// A scalar whose dealloc only returns its memory.
inline bool plain_scalar(PyObject* o) noexcept {
    PyTypeObject* t = Py_TYPE(o);
    return t == &PyLong_Type || t == &PyFloat_Type || t == &PyInt64ArrType_Type ||
           t == &PyDoubleArrType_Type;
}

inline bool plain_array(PyObject* o) noexcept {
    if (!PyArray_CheckExact(o)) return false;
    auto* a = reinterpret_cast<PyArrayObject_fields*>(o);
    return a->base == nullptr && a->weakreflist == nullptr && a->descr->type_num == NPY_DOUBLE &&
           (a->flags & NPY_ARRAY_WRITEBACKIFCOPY) == 0;
}

// Whether `o`, held only by the list being emptied, frees silently.
inline bool silent(PyObject* o) noexcept {
    if (Py_REFCNT(o) != 1) return false;
    if (PyList_CheckExact(o)) {
        PyListObject* l = reinterpret_cast<PyListObject*>(o);
        for (Py_ssize_t k = 0; k < Py_SIZE(l); ++k)
            if (!plain_scalar(l->ob_item[k])) return false;
        return true;
    }
    return plain_scalar(o) || plain_array(o);
}

}  // namespace retired_detail

class Retired {
  public:
    // Empties the exact list `list` with the effect of list.clear(): the list
    // is left empty with no storage, and the items are dropped last first,
    // except that those that free silently are kept for release().
    void take(PyObject* list) {
        release_all();
        PyListObject* l = reinterpret_cast<PyListObject*>(list);
        PyObject** items = l->ob_item;
        if (items == nullptr) return;
        Py_ssize_t i = Py_SIZE(l);
        Py_SET_SIZE(l, 0);
        l->ob_item = nullptr;
        l->allocated = 0;
        kept_.reserve(static_cast<std::size_t>(i));
        // Every item is a different cold object: ask for them ahead.
        constexpr Py_ssize_t ahead = 8;
        for (Py_ssize_t k = i - 1; k >= i - ahead && k >= 0; --k) __builtin_prefetch(items[k]);
        while (--i >= 0) {
            if (i >= ahead) __builtin_prefetch(items[i - ahead]);
            if (i >= ahead / 2) {
                PyObject* near = items[i - ahead / 2];
                if (PyList_CheckExact(near))
                    __builtin_prefetch(reinterpret_cast<PyListObject*>(near)->ob_item);
            }
            PyObject* o = items[i];
            if (o != nullptr && retired_detail::silent(o)) {
                if (PyObject_IS_GC(o)) PyObject_GC_UnTrack(o);
                kept_.push_back(o);
            } else {
                Py_XDECREF(o);
            }
        }
        PyMem_Free(items);
    }

    // Frees up to `n` kept records.
    void release(std::size_t n) noexcept {
        while (n-- > 0 && !kept_.empty()) {
            PyObject* o = kept_.back();
            kept_.pop_back();
            if (kept_.size() >= 4) __builtin_prefetch(kept_[kept_.size() - 4]);
            Py_DECREF(o);
        }
    }

    void release_all() noexcept {
        while (!kept_.empty()) {
            PyObject* o = kept_.back();
            kept_.pop_back();
            Py_DECREF(o);
        }
    }

    bool empty() const noexcept { return kept_.empty(); }

  private:
    // Kept in reverse order of the list, so the back is the oldest record.
    std::vector<PyObject*> kept_;
};

}  // namespace torvex::excursion
