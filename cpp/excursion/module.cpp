// torvex.core.excursion: the per-run trade log and its excursion statistics.
//
// The module has no Python-callable functions. The engine drives it through the
// C-level table published as `__pyx_capi__` (see torvex/capi.hpp); Python code
// reads the three record lists `trades`, `trade_positions` and `excursion`,
// which are looked up by name in the module namespace at every use, so a list
// bound there from Python receives the records.
#define PY_ARRAY_UNIQUE_SYMBOL torvex_excursion_ARRAY_API
#include <numpy/arrayobject.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "analysis.hpp"
#include "exit_walk.hpp"
#include "retired.hpp"
#include "torvex/buffer.hpp"
#include "torvex/capi.hpp"
#include "torvex/errors.hpp"
#include "torvex/pyref.hpp"
#include "torvex/scalars.hpp"

namespace torvex::excursion {
namespace {

// Typed module state, each array held for the process until the next run
// replaces it. The exported variables `entry` and `position` hand out the
// addresses of their slots, so a holder always sees the current arrays.
ModuleRef<PyArrayObject> entry, position, price, close, entry_trasnaction;
std::map<int, int> pos2price;
// pos2price flattened over the stock ids 0 .. nstocks - 1 (0 where unmapped),
// so a trade finds its price column in one load.
std::vector<int> pid_of;
double fee_ratio = 0.0;
double tax_ratio = 0.0;
int window = 0;
int window_step = 0;
int date = 0;

PyObject* module_dict = nullptr;  // borrowed from the module, which lives for the process
PyObject* s_trades = nullptr;
PyObject* s_trade_positions = nullptr;
PyObject* s_excursion = nullptr;
PyObject* s_clear = nullptr;
PyObject* s_append = nullptr;

Scratch scratch;

// The previous run's records of each list, freed as this run logs its own.
Retired retired[3];

Retired& retired_of(PyObject* list_name) {
    if (list_name == s_trades) return retired[0];
    if (list_name == s_trade_positions) return retired[1];
    return retired[2];
}

// One old record of each list makes room for the trade about to be logged.
void release_retired() noexcept {
    for (Retired& r : retired) r.release(1);
}

Ref zeros(npy_intp n, int typenum) { return Ref::steal(PyArray_ZEROS(1, &n, typenum, 0)); }

// A price or close array handed to start_analysis: None, or 2-D float64.
void check_price_array(PyArrayObject* a) {
    PyObject* o = reinterpret_cast<PyObject*>(a);
    if (o == nullptr || o == Py_None) return;
    if (!PyArray_Check(o)) {
        raise_format(PyExc_TypeError, "Cannot convert %.200s to numpy.ndarray",
                     Py_TYPE(o)->tp_name);
    }
    if (PyArray_NDIM(a) != 2) raise_wrong_ndim(2, PyArray_NDIM(a));
    PyArray_Descr* d = PyArray_DESCR(a);
    if (d->type_num != NPY_DOUBLE || !PyArray_ISNBO(d->byteorder)) {
        const char fmt[2] = {d->type, '\0'};
        const std::string got = detail::c_type_name(fmt);
        raise_dtype_mismatch(detail::expected_name(Elem::f64), got.c_str());
    }
}

// Numpy-style checked element of one of the per-stock arrays.
template <class T>
T& element(PyArrayObject* a, int sid) {
    if (a == nullptr || reinterpret_cast<PyObject*>(a) == Py_None) raise_none_not_subscriptable();
    const npy_intp n = PyArray_DIM(a, 0);
    int64_t i = sid;
    if (!wrap_index(i, n)) raise_numpy_index(sid, n);
    return *reinterpret_cast<T*>(PyArray_BYTES(a) + i * PyArray_STRIDE(a, 0));
}

// The record lists found by name, kept while the module dict is unchanged: a
// dict watcher forgets them on any change to it (before the change is made, so
// a kept list is still held by the dict). Only exact lists found in the module
// dict are kept; anything else is looked up at every use. Without a watcher
// (none left to register) nothing is kept.
struct RecordLists {
    int watcher = -1;
    PyObject* trades = nullptr;  // borrowed
    PyObject* trade_positions = nullptr;
    PyObject* excursion = nullptr;
    PyObject*& slot(PyObject* name) {
        if (name == s_trades) return trades;
        if (name == s_trade_positions) return trade_positions;
        return excursion;
    }
} record_lists;

int forget_record_lists(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    record_lists.trades = record_lists.trade_positions = record_lists.excursion = nullptr;
    return 0;
}

void append_to(PyObject* list_name, PyObject* item) {
    PyObject*& kept = record_lists.slot(list_name);
    if (kept != nullptr) {
        check(PyList_Append(kept, item));
        return;
    }
    Ref target = get_global(module_dict, list_name);
    if (PyList_CheckExact(target.get())) {
        if (record_lists.watcher >= 0 &&
            PyDict_GetItemWithError(module_dict, list_name) == target.get())
            kept = target.get();
        check(PyList_Append(target.get(), item));
    } else {
        Ref r = Ref::steal(PyObject_CallMethodOneArg(target.get(), s_append, item));
    }
}

View2<double> view_of(PyArrayObject* a) {
    View2<double> v;
    if (a == nullptr || reinterpret_cast<PyObject*>(a) == Py_None) return v;
    v.data = PyArray_BYTES(a);
    v.n0 = PyArray_DIM(a, 0);
    v.n1 = PyArray_DIM(a, 1);
    v.s0 = PyArray_STRIDE(a, 0);
    v.s1 = PyArray_STRIDE(a, 1);
    return v;
}

[[noreturn]] void raise_failure(const Failure& f) {
    switch (f.fault) {
        case Fault::float_division:
            raise(PyExc_ZeroDivisionError, "float division");
        case Fault::modulo_by_zero:
            raise(PyExc_ZeroDivisionError, "integer division or modulo by zero");
        case Fault::negative_size:
            raise(PyExc_OverflowError, "can't convert negative value to size_t");
        case Fault::index:
            raise_numpy_index(f.index, f.size);
        case Fault::negative_dimensions:
            raise(PyExc_ValueError, "negative dimensions are not allowed");
        case Fault::store_out_of_bounds:
            raise_out_of_bounds(0);
        case Fault::none:
            break;
    }
    raise(PyExc_SystemError, "excursion analysis failed");
}

// Statistics of one trade as a new float64 array.
Ref excursion_analysis(int sid, int i_entry, int i_exit, bool is_long, int i_entry_trasnaction,
                       int i_exit_trasnaction) {
    // An unmapped stock reads price column 0.
    int pid = 0;
    if (sid >= 0 && static_cast<std::size_t>(sid) < pid_of.size()) {
        pid = pid_of[static_cast<std::size_t>(sid)];
    } else if (auto it = pos2price.find(sid); it != pos2price.end()) {
        pid = it->second;
    }
    if (price.get() == nullptr || price.object() == Py_None || close.get() == nullptr ||
        close.object() == Py_None) {
        raise_none_not_subscriptable();
    }
    TradeSpan t{i_entry, i_exit, pid, is_long, i_entry_trasnaction != 0, i_exit_trasnaction != 0};
    Settings cfg{fee_ratio, tax_ratio, window, window_step};
    int64_t exit_offset = 0, out_len = 0;
    if (cfg.window == 0) {
        double block[6];
        Failure fe =
            walk_to_exit(view_of(price.get()), view_of(close.get()), t, cfg, block, out_len);
        if (fe.fault != Fault::none) raise_failure(fe);
        npy_intp n[1] = {static_cast<npy_intp>(out_len)};
        Ref arr = Ref::steal(PyArray_EMPTY(1, n, NPY_DOUBLE, 0));
        double* o = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr.get())));
        for (int64_t k = 0; k < out_len - 6; ++k) o[k] = -1.0;
        for (int k = 0; k < 6; ++k) o[out_len - 6 + k] = block[k];
        return arr;
    }
    Failure f = walk_trade(view_of(price.get()), view_of(close.get()), t, cfg, scratch, exit_offset,
                           out_len);
    if (f.fault != Fault::none) raise_failure(f);
    npy_intp dims[1] = {static_cast<npy_intp>(out_len)};
    Ref ret = Ref::steal(PyArray_EMPTY(1, dims, NPY_DOUBLE, 0));
    double* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(ret.get())));
    f = write_blocks(scratch, cfg, exit_offset, out, out_len);
    if (f.fault != Fault::none) raise_failure(f);
    return ret;
}

// One trade's three records: [sid, entry bar, exit bar], the position recorded at
// its entry, and its statistics.
void log_trade(int sid, PyObject* exit_bar, int exit_date, int has_exit_trasnaction) {
    release_retired();
    const int64_t entry_bar = element<int64_t>(entry.get(), sid);
    Ref entry_scalar = int64_scalar(entry_bar);
    Ref record = Ref::steal(PyList_New(3));
    PyList_SET_ITEM(record.get(), 0, py_long(sid).release());
    PyList_SET_ITEM(record.get(), 1, entry_scalar.release());
    PyList_SET_ITEM(record.get(), 2, Ref::borrow(exit_bar).release());
    append_to(s_trades, record.get());

    const double pos_value = element<double>(position.get(), sid);
    Ref pos_scalar = float64_scalar(pos_value);
    append_to(s_trade_positions, pos_scalar.get());

    const int i_entry = to_int32(entry_bar);
    const bool is_long = pos_value > 0.0;
    const int entry_tx = to_int32(element<int64_t>(entry_trasnaction.get(), sid));
    Ref stats =
        excursion_analysis(sid, i_entry, exit_date, is_long, entry_tx, has_exit_trasnaction);
    append_to(s_excursion, stats.get());
}

// ---- exported table ----

void start_analysis(PyArrayObject* price_, PyArrayObject* close_, std::map<int, int> pos2price_,
                    int nstocks, double fee_ratio_, double tax_ratio_, int window_,
                    int window_step_) noexcept {
    guard([&] {
        check_price_array(price_);
        check_price_array(close_);
        price.set(reinterpret_cast<PyObject*>(price_));
        close.set(reinterpret_cast<PyObject*>(close_));
        std::vector<int> flat(static_cast<std::size_t>(nstocks > 0 ? nstocks : 0), 0);
        for (const auto& [sid, pid] : pos2price_)
            if (sid >= 0 && sid < nstocks) flat[static_cast<std::size_t>(sid)] = pid;
        pos2price = std::move(pos2price_);
        pid_of = std::move(flat);
        window = window_;
        window_step = window_step_;
        for (PyObject* name : {s_trades, s_trade_positions, s_excursion}) {
            Ref list = get_global(module_dict, name);
            // An exact list is emptied as its clear() would; its records are
            // freed while this run logs (retired.hpp).
            if (PyList_CheckExact(list.get())) {
                retired_of(name).take(list.get());
                continue;
            }
            Ref r = Ref::steal(PyObject_CallMethodNoArgs(list.get(), s_clear));
        }
        entry.reset(zeros(nstocks, NPY_INT64));
        position.reset(zeros(nstocks, NPY_DOUBLE));
        entry_trasnaction.reset(zeros(nstocks, NPY_INT64));
        fee_ratio = fee_ratio_;
        tax_ratio = tax_ratio_;
    });
}

void record_date(int d) noexcept { date = d; }

void record_entry(int sid, double position_sid, int has_entry_trasnaction) noexcept {
    guard([&] {
        element<int64_t>(entry.get(), sid) = date;
        element<double>(position.get(), sid) = position_sid;
        element<int64_t>(entry_trasnaction.get(), sid) = has_entry_trasnaction;
    });
}

void record_exit(int sid, int has_exit_trasnaction) noexcept {
    guard([&] {
        Ref exit_bar = py_long(date);
        log_trade(sid, exit_bar.get(), date, has_exit_trasnaction);
    });
}

PyObject* end_analysis(std::map<int, double>& pos) noexcept {
    bool ok = guard([&] {
        Ref open_marker = py_long(-1);
        for (const auto& [sid, value] : pos) {
            if (value == 0.0) continue;  // NaN counts as held
            log_trade(sid, open_marker.get(), date, 0);
        }
    });
    // Old records the run did not make room with go now.
    for (Retired& r : retired) r.release_all();
    if (!ok) return nullptr;
    Py_RETURN_NONE;
}

// What the table exports; each pointer is checked against the type of its row
// when this compiles.
constexpr capi::Table exported = {
    .entry = entry.slot(),
    .position = position.slot(),
    .start_analysis = &start_analysis,
    .record_date = &record_date,
    .record_entry = &record_entry,
    .record_exit = &record_exit,
    .end_analysis = &end_analysis,
};

void set_attr(PyObject* mod, const char* name, PyObject* value) {
    check(PyModule_AddObjectRef(mod, name, value));
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "torvex.core.excursion",
    "Trade log and per-trade excursion statistics of a backtest run.\n\n"
    "The engine records every trade here; after a run `trades`, `trade_positions`\n"
    "and `excursion` hold one element per trade.",
    // Not -1: a second import would then copy the first module's dict instead
    // of calling init, which refuses (the log lives in the first module).
    0,
    nullptr,
};

bool initialised = false;

PyObject* init() {
    if (initialised) {
        raise(PyExc_ImportError,
              "torvex.core.excursion is already initialised in this process and cannot be "
              "initialised again (it was removed from sys.modules); use the module imported first");
    }
    Ref mod = Ref::steal(PyModule_Create(&module_def));
    module_dict = PyModule_GetDict(mod.get());
    s_trades = intern("trades");
    s_trade_positions = intern("trade_positions");
    s_excursion = intern("excursion");
    s_clear = intern("clear");
    s_append = intern("append");

    // The variables hold None until the arrays below are made; the capsules hold
    // the addresses of their slots, so that is harmless.
    entry.set(Py_None);
    position.set(Py_None);
    Ref table = Ref::steal(PyDict_New());
    capi::for_each_row([&](const auto& row) {
        using R = std::decay_t<decltype(row)>;
        Ref cap =
            Ref::steal(PyCapsule_New(R::to_void(exported.*row.member), R::signature, nullptr));
        check(PyDict_SetItemString(table.get(), row.name, cap.get()));
    });
    set_attr(mod.get(), capi::table_name, table.get());

    if (PyArray_ImportNumPyAPI() < 0) throw PyErrSet{};
    Ref np = Ref::steal(PyImport_ImportModule("numpy"));
    set_attr(mod.get(), "org_np", np.get());
    npy_intp empty2[2] = {0, 0};
    Ref p0 = Ref::steal(PyArray_ZEROS(2, empty2, NPY_DOUBLE, 0));
    Ref c0 = Ref::steal(PyArray_ZEROS(2, empty2, NPY_DOUBLE, 0));
    price.set(p0.get());
    close.set(c0.get());
    for (const char* name : {"trades", "trade_positions", "excursion"}) {
        Ref list = Ref::steal(PyList_New(0));
        set_attr(mod.get(), name, list.get());
    }
    record_lists.watcher = watch_dict(module_dict, forget_record_lists);
    entry.reset(zeros(0, NPY_INT64));
    entry_trasnaction.reset(zeros(0, NPY_INT64));
    position.reset(zeros(0, NPY_DOUBLE));
    fee_ratio = 0.0;
    tax_ratio = 0.0;
    initialised = true;
    return mod.release();
}

}  // namespace
}  // namespace torvex::excursion

PyMODINIT_FUNC PyInit_excursion(void) {
    PyObject* mod = nullptr;
    torvex::guard([&] { mod = torvex::excursion::init(); });
    return mod;
}
