// The C-level table that torvex.core.excursion exports and torvex.core.pathsim
// binds at import. Both modules include this header: a row of the table is one
// member of `Table`, and its name, its pointer type and its signature text (the
// capsule name) all follow from that member, so the two sides cannot disagree
// on which pointer has which type.
//
// Every function reports failure by leaving a Python exception set (and
// end_analysis by returning NULL); callers test the error indicator after each
// call. None of them lets a C++ exception escape.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <map>
#include <string_view>
#include <tuple>
#include <type_traits>

#ifndef NPY_NO_DEPRECATED_API
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#endif
#include <numpy/ndarraytypes.h>

namespace torvex::capi {

inline constexpr const char* module_name = "torvex.core.excursion";
inline constexpr const char* table_name = "__pyx_capi__";

using StartAnalysis = void (*)(PyArrayObject*, PyArrayObject*, std::map<int, int>, int, double,
                               double, int, int) noexcept;
using RecordDate = void (*)(int) noexcept;
using RecordEntry = void (*)(int, double, int) noexcept;
using RecordExit = void (*)(int, int) noexcept;
using EndAnalysis = PyObject* (*)(std::map<int, double>&) noexcept;

// Exported variables: the capsule holds the address of the module variable, so a
// holder always sees the array installed by the latest start_analysis.
using ArrayVar = PyArrayObject**;

// The signature text of each pointer type. A type without one does not compile.
template <class T>
inline constexpr const char* signature_of = T::no_signature_text_for_this_type;
template <>
inline constexpr const char* signature_of<ArrayVar> = "PyArrayObject *";
template <>
inline constexpr const char* signature_of<StartAnalysis> =
    "void (PyArrayObject *, PyArrayObject *, std::map<int,int> , int, double, double, int, int)";
template <>
inline constexpr const char* signature_of<RecordDate> = "void (int)";
template <>
inline constexpr const char* signature_of<RecordEntry> = "void (int, double, int)";
template <>
inline constexpr const char* signature_of<RecordExit> = "void (int, int)";
template <>
inline constexpr const char* signature_of<EndAnalysis> = "PyObject *(std::map<int,double>  &)";

// The table's pointers: what excursion fills and pathsim holds after binding.
struct Table {
    ArrayVar entry = nullptr;
    ArrayVar position = nullptr;
    StartAnalysis start_analysis = nullptr;
    RecordDate record_date = nullptr;
    RecordEntry record_entry = nullptr;
    RecordExit record_exit = nullptr;
    EndAnalysis end_analysis = nullptr;
};

// One row: the export's name and the member it fills.
template <class T>
struct Row {
    using type = T;
    const char* name;
    T Table::* member;
    static constexpr const char* signature = signature_of<T>;
    static constexpr bool is_function = std::is_function_v<std::remove_pointer_t<T>>;
    static constexpr const char* kind = is_function ? "function" : "variable";

    // The pointer as a capsule holds it, and back.
    static void* to_void(T p) noexcept {
        if constexpr (is_function) {
            return reinterpret_cast<void*>(p);
        } else {
            return static_cast<void*>(p);
        }
    }
    static T from_void(void* p) noexcept {
        if constexpr (is_function) {
            return reinterpret_cast<T>(p);
        } else {
            return static_cast<T>(p);
        }
    }
};

#define TORVEX_CAPI_ROW(member) \
    Row<decltype(Table::member)> { #member, &Table::member }

// Table order: the two variables, then the five functions. Binding walks it in
// this order, so a missing variable is reported before a missing function.
inline constexpr auto rows = std::make_tuple(
    TORVEX_CAPI_ROW(entry), TORVEX_CAPI_ROW(position), TORVEX_CAPI_ROW(start_analysis),
    TORVEX_CAPI_ROW(record_date), TORVEX_CAPI_ROW(record_entry), TORVEX_CAPI_ROW(record_exit),
    TORVEX_CAPI_ROW(end_analysis));

#undef TORVEX_CAPI_ROW

// Calls `fn(row)` for every row, in table order.
template <class F>
void for_each_row(F&& fn) {
    std::apply([&](const auto&... row) { (fn(row), ...); }, rows);
}

namespace detail {

constexpr std::size_t n_rows = std::tuple_size_v<decltype(rows)>;

constexpr bool names_distinct() {
    const char* names[n_rows] = {};
    std::size_t i = 0;
    std::apply([&](const auto&... row) { ((names[i++] = row.name), ...); }, rows);
    for (std::size_t a = 0; a < n_rows; ++a)
        for (std::size_t b = a + 1; b < n_rows; ++b)
            if (std::string_view(names[a]) == std::string_view(names[b])) return false;
    return true;
}

constexpr bool variables_first() {
    bool seen_function = false, ok = true;
    std::apply(
        [&](const auto&... row) {
            ((ok = ok && !(seen_function && !row.is_function),
              seen_function = seen_function || row.is_function),
             ...);
        },
        rows);
    return ok;
}

}  // namespace detail

// Every member of Table has exactly one row, under its own name.
static_assert(sizeof(Table) == detail::n_rows * sizeof(void*), "a Table member has no row");
static_assert(detail::names_distinct(), "two rows of the C-level table share a name");
static_assert(detail::variables_first(), "the table lists its variables before its functions");

}  // namespace torvex::capi
