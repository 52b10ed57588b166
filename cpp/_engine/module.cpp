// torvex.core._engine: the typed entry to the engine. It takes checked arrays
// and plain numbers, runs the same engine as backtest_ with a plain host and
// without the interpreter lock, and returns a Result holding the run's
// values as arrays. Nothing here is process-wide: every run's state is in the
// call, so runs on several threads proceed at once.
#define PY_ARRAY_UNIQUE_SYMBOL torvex_engine_ARRAY_API
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <numpy/arrayobject.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "engine/run.hpp"
#include "plain_host.hpp"
#include "torvex/errors.hpp"
#include "torvex/pyref.hpp"

namespace torvex::typed {
namespace {

// ---------------------------------------------------------------- arguments

constexpr const char* kNames[] = {
    "price",
    "close",
    "high",
    "low",
    "open",
    "price_index",
    "pos_values",
    "pos_index",
    "price_col",
    "resample",
    "stop_loss_values",
    "stop_loss_rows",
    "take_profit_values",
    "take_profit_rows",
    "delisting_bars",
    "fee_ratio",
    "tax_ratio",
    "trail_stop",
    "trail_stop_activation",
    "position_limit",
    "touched_exit",
    "retain_cost_when_rebalance",
    "stop_trading_next_period",
    "periodically_rebalance",
    "excursion_window",
    "excursion_window_step",
};
constexpr Py_ssize_t kArgs = static_cast<Py_ssize_t>(std::size(kNames));

[[noreturn]] void fail(PyObject* type, const std::string& text) {
    PyErr_SetString(type, text.c_str());
    throw PyErrSet{};
}

std::string shape_text(PyArrayObject* a) {
    std::string s = "(";
    for (int i = 0; i < PyArray_NDIM(a); ++i) {
        if (i) s += ", ";
        s += std::to_string(PyArray_DIM(a, i));
    }
    return s + (PyArray_NDIM(a) == 1 ? ",)" : ")");
}

// Argument `k` as an aligned, native-order array of `ndim` dimensions and
// element type `typenum` (or None when `optional`).
PyArrayObject* array_arg(PyObject* const* args, int k, int ndim, int typenum,
                         bool optional = false) {
    PyObject* o = args[k];
    if (optional && o == Py_None) return nullptr;
    if (!PyArray_Check(o))
        fail(PyExc_TypeError, std::string("_engine.run: ") + kNames[k] +
                                  ": expected a numpy array" + (optional ? " or None" : "") +
                                  "; found " + Py_TYPE(o)->tp_name);
    auto* a = reinterpret_cast<PyArrayObject*>(o);
    PyArray_Descr* d = PyArray_DESCR(a);
    if (d->type_num != typenum || !PyArray_ISNBO(d->byteorder) || !PyArray_ISALIGNED(a)) {
        Ref want = Ref::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(typenum)));
        Ref want_text = Ref::steal(PyObject_Str(want.get()));
        Ref got_text = Ref::steal(PyObject_Str(reinterpret_cast<PyObject*>(d)));
        fail(PyExc_TypeError, std::string("_engine.run: ") + kNames[k] + ": expected an aligned " +
                                  PyUnicode_AsUTF8(want_text.get()) + " array; found " +
                                  PyUnicode_AsUTF8(got_text.get()) +
                                  (PyArray_ISALIGNED(a) ? "" : " (unaligned)"));
    }
    if (PyArray_NDIM(a) != ndim)
        fail(PyExc_ValueError, std::string("_engine.run: ") + kNames[k] + ": expected " +
                                   std::to_string(ndim) + "-D; found shape " + shape_text(a));
    return a;
}

void expect_dim(PyArrayObject* a, int k, int axis, npy_intp n, const char* what) {
    if (PyArray_DIM(a, axis) != n)
        fail(PyExc_ValueError, std::string("_engine.run: ") + kNames[k] + ": expected " +
                                   std::to_string(n) + " " + what + " on axis " +
                                   std::to_string(axis) + "; found shape " + shape_text(a));
}

double float_arg(PyObject* const* args, int k) {
    PyObject* o = args[k];
    if (!PyFloat_Check(o) && !PyLong_Check(o))
        fail(PyExc_TypeError, std::string("_engine.run: ") + kNames[k] +
                                  ": expected a float; found " + Py_TYPE(o)->tp_name);
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) throw PyErrSet{};
    return v;
}

bool bool_arg(PyObject* const* args, int k) {
    PyObject* o = args[k];
    if (o != Py_True && o != Py_False)
        fail(PyExc_TypeError, std::string("_engine.run: ") + kNames[k] +
                                  ": expected True or False; found " + Py_TYPE(o)->tp_name);
    return o == Py_True;
}

int int_arg(PyObject* const* args, int k, long lo) {
    PyObject* o = args[k];
    if (!PyLong_Check(o) || PyBool_Check(o))
        fail(PyExc_TypeError, std::string("_engine.run: ") + kNames[k] +
                                  ": expected an int; found " + Py_TYPE(o)->tp_name);
    const long v = PyLong_AsLong(o);
    if (v == -1 && PyErr_Occurred()) throw PyErrSet{};
    if (v < lo || v > INT32_MAX)
        fail(PyExc_ValueError, std::string("_engine.run: ") + kNames[k] +
                                   ": expected an int from " + std::to_string(lo) + " to " +
                                   std::to_string(INT32_MAX) + "; found " + std::to_string(v));
    return static_cast<int>(v);
}

template <class T>
View2<T> view2_of(PyArrayObject* a) {
    if (a == nullptr) return {};
    return View2<T>(PyArray_DATA(a), PyArray_DIM(a, 0), PyArray_DIM(a, 1), PyArray_STRIDE(a, 0),
                    PyArray_STRIDE(a, 1));
}

template <class T>
View1<T> view1_of(PyArrayObject* a) {
    if (a == nullptr) return {};
    return View1<T>(PyArray_DATA(a), PyArray_DIM(a, 0), PyArray_STRIDE(a, 0));
}

// Every value of the int64 array `a` (1-D) inside [lo, hi).
void expect_range(PyArrayObject* a, int k, int64_t lo, int64_t hi, const char* what) {
    const View1<int64_t> v = view1_of<int64_t>(a);
    for (index_t i = 0; i < v.n; ++i) {
        const int64_t x = v(i);
        if (x < lo || x >= hi)
            fail(PyExc_ValueError, std::string("_engine.run: ") + kNames[k] + ": expected " + what +
                                       " from " + std::to_string(lo) + " to " +
                                       std::to_string(hi - 1) + "; found " + std::to_string(x) +
                                       " at " + std::to_string(i));
    }
}

// ---------------------------------------------------------------- the result

// What a run leaves: the engine's log and the typed host's trade columns, the
// state the stock-operations record is made from, and creturn.
struct Output {
    engine::RunLog log;
    TradeColumns trades;
    int32_t nstocks = 0;
    int32_t current_row = -1;
    int32_t pending_row = 0;
    bool should_rebalance = false;
    bool latest_row_is_copy = false;
    std::vector<int64_t> rebalanced_keys;
    std::vector<uint8_t> held;                  // per position column
    std::vector<int64_t> exited, exit_pending;  // pairs: stock id, take profit
    std::vector<double> latest_row;
};

// Attributes made on first access, in the order of `kColumns`.
enum Column : int {
    c_sid,
    c_entry_bar,
    c_exit_bar,
    c_position,
    c_excursion,
    c_entry_price,
    c_exit_price,
    c_fees,
    c_taxes,
    c_pnl,
    c_committed,
    c_exit_reason,
    c_touched,
    c_unpriced_exit,
    c_unrecorded_sids,
    c_unrecorded_pnl,
    c_rebalance_bars,
    c_rebalance_rows,
    c_rebalanced_keys,
    c_held,
    c_exited,
    c_exit_pending,
    c_latest_row,
    c_count,
};

struct ResultObject {
    PyObject_HEAD Output* out;
    PyObject* creturn;
    PyObject* cache[c_count];
};

PyTypeObject* result_type = nullptr;

// A new array of `n` elements of `typenum` filled by `fill(data)`.
template <class F>
Ref new_array(npy_intp n, int typenum, F&& fill) {
    Ref a = Ref::steal(PyArray_EMPTY(1, &n, typenum, 0));
    fill(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a.get())));
    return a;
}

template <class T>
Ref copy_of(const std::vector<T>& v, int typenum) {
    return new_array(static_cast<npy_intp>(v.size()), typenum, [&](void* p) {
        if (!v.empty()) std::memcpy(p, v.data(), v.size() * sizeof(T));
    });
}

template <class T, class Get>
Ref field_of(const std::vector<engine::TradeRecord>& recs, int typenum, Get get) {
    return new_array(static_cast<npy_intp>(recs.size()), typenum, [&](void* p) {
        T* o = static_cast<T*>(p);
        for (std::size_t i = 0; i < recs.size(); ++i) o[i] = get(recs[i]);
    });
}

Ref pairs_of(const std::vector<int64_t>& v) {
    npy_intp dims[2] = {static_cast<npy_intp>(v.size() / 2), 2};
    Ref a = Ref::steal(PyArray_EMPTY(2, dims, NPY_INT64, 0));
    if (!v.empty())
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a.get())), v.data(),
                    v.size() * sizeof(int64_t));
    return a;
}

Ref make_column(const Output& o, int which) {
    const auto& recs = o.log.trades;
    using R = engine::TradeRecord;
    switch (which) {
        case c_sid:
            return copy_of(o.trades.sid, NPY_INT64);
        case c_entry_bar:
            return copy_of(o.trades.entry_bar, NPY_INT64);
        case c_exit_bar:
            return copy_of(o.trades.exit_bar, NPY_INT64);
        case c_position:
            return copy_of(o.trades.position, NPY_DOUBLE);
        case c_excursion:
            return Ref::borrow(Py_None);  // a view of the log's own buffer (get_column)
        case c_entry_price:
            return field_of<double>(recs, NPY_DOUBLE,
                                    [](const R& r) { return r.fill.entry_price; });
        case c_exit_price:
            return field_of<double>(recs, NPY_DOUBLE, [](const R& r) { return r.fill.exit_price; });
        case c_fees:
            return field_of<double>(recs, NPY_DOUBLE, [](const R& r) { return r.fill.fees; });
        case c_taxes:
            return field_of<double>(recs, NPY_DOUBLE, [](const R& r) { return r.fill.taxes; });
        case c_pnl:
            return field_of<double>(recs, NPY_DOUBLE, [](const R& r) { return r.fill.pnl; });
        case c_committed:
            return field_of<double>(recs, NPY_DOUBLE, [](const R& r) { return r.fill.committed; });
        case c_exit_reason:
            return field_of<int8_t>(recs, NPY_INT8, [](const R& r) { return r.exit_reason; });
        case c_touched:
            return field_of<npy_bool>(recs, NPY_BOOL,
                                      [](const R& r) { return static_cast<npy_bool>(r.touched); });
        case c_unpriced_exit:
            return field_of<npy_bool>(
                recs, NPY_BOOL, [](const R& r) { return static_cast<npy_bool>(r.unpriced_exit); });
        case c_unrecorded_sids:
            return new_array(static_cast<npy_intp>(o.log.unrecorded.size()), NPY_INT64,
                             [&](void* p) {
                                 auto* q = static_cast<int64_t*>(p);
                                 for (std::size_t i = 0; i < o.log.unrecorded.size(); ++i)
                                     q[i] = o.log.unrecorded[i].sid;
                             });
        case c_unrecorded_pnl:
            return new_array(static_cast<npy_intp>(o.log.unrecorded.size()), NPY_DOUBLE,
                             [&](void* p) {
                                 auto* q = static_cast<double*>(p);
                                 for (std::size_t i = 0; i < o.log.unrecorded.size(); ++i)
                                     q[i] = o.log.unrecorded[i].pnl;
                             });
        case c_rebalance_bars:
            return copy_of(o.log.rebalance_bars, NPY_INT64);
        case c_rebalance_rows:
            return copy_of(o.log.rebalance_rows, NPY_INT64);
        case c_rebalanced_keys:
            return copy_of(o.rebalanced_keys, NPY_INT64);
        case c_held:
            return copy_of(o.held, NPY_BOOL);
        case c_exited:
            return pairs_of(o.exited);
        case c_exit_pending:
            return pairs_of(o.exit_pending);
        case c_latest_row:
            if (!o.latest_row_is_copy) return Ref::borrow(Py_None);
            return copy_of(o.latest_row, NPY_DOUBLE);
    }
    return Ref::borrow(Py_None);
}

// The statistics as a (trades x width) array over the trade log's buffer. The
// buffer moves into a capsule that is the array's base, so the array owns it
// (the result's cache holds the array, and nothing refers back: no cycle keeps
// a freed result's 100 MB alive until a collection).
void free_blocks(PyObject* capsule) {
    delete static_cast<GrowingDoubles*>(PyCapsule_GetPointer(capsule, "torvex.blocks"));
}

Ref excursion_view(Output& o) {
    npy_intp dims[2] = {static_cast<npy_intp>(o.trades.sid.size()),
                        static_cast<npy_intp>(o.trades.width)};
    if (dims[0] == 0) return Ref::steal(PyArray_EMPTY(2, dims, NPY_DOUBLE, 0));
    auto owned = std::make_unique<GrowingDoubles>(std::move(o.trades.blocks));
    double* data = const_cast<double*>(owned->data());
    Ref capsule = Ref::steal(PyCapsule_New(owned.get(), "torvex.blocks", free_blocks));
    owned.release();
    Ref a = Ref::steal(PyArray_SimpleNewFromData(2, dims, NPY_DOUBLE, data));
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(a.get()), capsule.release()) < 0)
        throw PyErrSet{};
    return a;
}

PyObject* get_column(PyObject* self, void* closure) {
    auto* r = reinterpret_cast<ResultObject*>(self);
    const int which = static_cast<int>(reinterpret_cast<intptr_t>(closure));
    PyObject* out = nullptr;
    guard([&] {
        if (r->cache[which] == nullptr) {
            Ref a = which == c_excursion ? excursion_view(*r->out) : make_column(*r->out, which);
            if (a.get() != Py_None)
                PyArray_CLEARFLAGS(reinterpret_cast<PyArrayObject*>(a.get()), NPY_ARRAY_WRITEABLE);
            r->cache[which] = a.release();
        }
        out = Ref::borrow(r->cache[which]).release();
    });
    return out;
}

PyObject* get_creturn(PyObject* self, void*) {
    return Ref::borrow(reinterpret_cast<ResultObject*>(self)->creturn).release();
}

PyObject* get_int(PyObject* self, void* closure) {
    const Output& o = *reinterpret_cast<ResultObject*>(self)->out;
    switch (reinterpret_cast<intptr_t>(closure)) {
        case 0:
            return PyLong_FromSize_t(o.trades.sid.size());
        case 1:
            return PyLong_FromLong(o.current_row);
        case 2:
            return PyLong_FromLong(o.pending_row);
        default:
            return PyBool_FromLong(o.should_rebalance);
    }
}

void result_dealloc(PyObject* self) {
    auto* r = reinterpret_cast<ResultObject*>(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(r->creturn);
    for (PyObject*& c : r->cache) Py_CLEAR(c);
    delete r->out;
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

int result_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* r = reinterpret_cast<ResultObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(r->creturn);
    for (PyObject* c : r->cache) Py_VISIT(c);
    return 0;
}

#define TORVEX_COLUMN(name, doc) \
    {#name, get_column, nullptr, PyDoc_STR(doc), reinterpret_cast<void*>(intptr_t{c_##name})}

PyGetSetDef result_getset[] = {
    {"creturn", get_creturn, nullptr, PyDoc_STR("Portfolio value at each bar's close."), nullptr},
    {"n_trades", get_int, nullptr, PyDoc_STR("Number of trades."), reinterpret_cast<void*>(0)},
    {"current_row", get_int, nullptr, PyDoc_STR("Row of the last executed rebalance (-1: none)."),
     reinterpret_cast<void*>(1)},
    {"pending_row", get_int, nullptr, PyDoc_STR("Row in force after the last bar."),
     reinterpret_cast<void*>(2)},
    {"should_rebalance", get_int, nullptr,
     PyDoc_STR("Whether the pending row is due to execute on the next bar."),
     reinterpret_cast<void*>(3)},
    TORVEX_COLUMN(sid, "Position column of each trade (int64)."),
    TORVEX_COLUMN(entry_bar, "Entry bar of each trade (int64)."),
    TORVEX_COLUMN(exit_bar, "Exit bar of each trade, -1 while open (int64)."),
    TORVEX_COLUMN(position, "Signed share of equity of each trade at entry (float64)."),
    TORVEX_COLUMN(excursion, "Excursion blocks, trades x width (float64)."),
    TORVEX_COLUMN(entry_price, "Entry fill of each trade."),
    TORVEX_COLUMN(exit_price, "Exit fill of each trade (NaN while open)."),
    TORVEX_COLUMN(fees, "Fees charged for each trade."),
    TORVEX_COLUMN(taxes, "Taxes charged for each trade."),
    TORVEX_COLUMN(pnl, "Cash flows of each trade; they sum to the last value less 1."),
    TORVEX_COLUMN(committed, "Opening target plus later outlays of each trade."),
    TORVEX_COLUMN(exit_reason, "Exit reason code of each trade (int8)."),
    TORVEX_COLUMN(touched, "Whether a touched exit closed each trade."),
    TORVEX_COLUMN(unpriced_exit, "Whether each trade exited on a bar without a price."),
    TORVEX_COLUMN(unrecorded_sids, "Stocks of trades whose value reached exactly 0.0."),
    TORVEX_COLUMN(unrecorded_pnl, "Cash flows of those trades."),
    TORVEX_COLUMN(rebalance_bars, "Bars at which a rebalance executed."),
    TORVEX_COLUMN(rebalance_rows, "Weight row each of those rebalances traded to."),
    TORVEX_COLUMN(rebalanced_keys, "Stocks in the position map right after the last rebalance."),
    TORVEX_COLUMN(held, "Whether each position column is held after the last bar."),
    TORVEX_COLUMN(exited, "Stop exits executed since the last rebalance: (stock, take profit)."),
    TORVEX_COLUMN(exit_pending, "Stop exits detected at the last close: (stock, take profit)."),
    TORVEX_COLUMN(latest_row,
                  "The executed row with stopped-out stocks zeroed, when one was made; else None."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(result_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(result_traverse)},
    {Py_tp_getset, result_getset},
    {Py_tp_doc, const_cast<char*>("The values of one typed run; arrays are made on first access "
                                  "and are read-only.")},
    {0, nullptr},
};

PyType_Spec result_spec = {
    "torvex.core._engine.Result",
    sizeof(ResultObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    result_slots,
};

// ---------------------------------------------------------------- the run

// Releases the interpreter lock for its lifetime.
class NoGil {
  public:
    NoGil() noexcept : state_(PyEval_SaveThread()) {}
    ~NoGil() { PyEval_RestoreThread(state_); }
    NoGil(const NoGil&) = delete;
    NoGil& operator=(const NoGil&) = delete;

  private:
    PyThreadState* state_;
};

// A fault of the engine, kept to be raised once the lock is held again.
struct Fault {
    enum Kind {
        none,
        out_of_bounds,
        zero_division,
        invalid_price,
        unpriced,
        walk,
        memory
    } kind = none;
    int64_t a = 0, b = 0;
    double value = 0.0;
};

[[noreturn]] void raise_fault(const Fault& f) {
    switch (f.kind) {
        case Fault::out_of_bounds:
            raise_out_of_bounds(static_cast<int>(f.a));
        case Fault::zero_division:
            raise(PyExc_ZeroDivisionError, "float division by zero");
        case Fault::invalid_price: {
            char* repr = PyOS_double_to_string(f.value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
            if (repr == nullptr) throw PyErrSet{};
            const std::string text = "Invalid trading price for position column " +
                                     std::to_string(f.a) + " at price row " + std::to_string(f.b) +
                                     ": " + repr + ". Expected a positive finite price.";
            PyMem_Free(repr);
            Ref exc = Ref::steal(PyObject_CallFunction(PyExc_ValueError, "s", text.c_str()));
            Ref sid = py_long(static_cast<int>(f.a));
            Ref bar = py_long(static_cast<int>(f.b));
            Ref value = Ref::steal(PyFloat_FromDouble(f.value));
            check(PyObject_SetAttrString(exc.get(), "sid", sid.get()));
            check(PyObject_SetAttrString(exc.get(), "bar", bar.get()));
            check(PyObject_SetAttrString(exc.get(), "value", value.get()));
            PyErr_SetObject(PyExc_ValueError, exc.get());
            throw PyErrSet{};
        }
        case Fault::unpriced:
            raise_format(
                PyExc_ValueError,
                "_engine.run: position column %d has a non-zero weight but no price column",
                static_cast<int>(f.a));
        case Fault::walk:
            raise_format(PyExc_ValueError, "_engine.run: the excursion walk failed (fault %d)",
                         static_cast<int>(f.a));
        case Fault::memory:
            PyErr_NoMemory();
            throw PyErrSet{};
        case Fault::none:
            break;
    }
    raise(PyExc_SystemError, "_engine.run: unexpected fault");
}

PyObject* run(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    PyObject* result = nullptr;
    guard([&] {
        if (nargs != kArgs)
            raise_format(PyExc_TypeError,
                         "_engine.run() takes %zd positional arguments (%zd given)", kArgs, nargs);
        PyArrayObject* price = array_arg(args, 0, 2, NPY_DOUBLE);
        const npy_intp nbars = PyArray_DIM(price, 0), ncols = PyArray_DIM(price, 1);
        PyArrayObject* close = array_arg(args, 1, 2, NPY_DOUBLE);
        expect_dim(close, 1, 0, nbars, "bars");
        expect_dim(close, 1, 1, ncols, "price columns");
        const bool touched = bool_arg(args, 20);
        PyArrayObject* ohlc[3];
        for (int k = 2; k <= 4; ++k) {
            ohlc[k - 2] = array_arg(args, k, 2, NPY_DOUBLE, !touched);
            if (ohlc[k - 2] != nullptr) {
                expect_dim(ohlc[k - 2], k, 0, nbars, "bars");
                expect_dim(ohlc[k - 2], k, 1, ncols, "price columns");
            }
        }
        PyArrayObject* price_index = array_arg(args, 5, 1, NPY_INT64);
        expect_dim(price_index, 5, 0, nbars, "bars");
        PyArrayObject* pos_values = array_arg(args, 6, 2, NPY_DOUBLE);
        const npy_intp nrows = PyArray_DIM(pos_values, 0), nstocks = PyArray_DIM(pos_values, 1);
        if (nrows == 0)
            fail(PyExc_ValueError, "_engine.run: pos_values: expected at least one row");
        PyArrayObject* pos_index = array_arg(args, 7, 1, NPY_INT64);
        expect_dim(pos_index, 7, 0, nrows, "rows");
        PyArrayObject* price_col = array_arg(args, 8, 1, NPY_INT64);
        expect_dim(price_col, 8, 0, nstocks, "position columns");
        expect_range(price_col, 8, -1, ncols, "price columns");
        PyArrayObject* resample = array_arg(args, 9, 1, NPY_INT64);
        // A stop table: thresholds (rows x position columns) and a row per bar, or one
        // number for every column and bar (its rows None), read through views of stride 0.
        PyArrayObject* tables[4] = {nullptr, nullptr, nullptr, nullptr};
        double constant[2] = {0.0, 0.0};
        static const int64_t row_zero = 0;
        View2<double> table_values[2];
        View1<int64_t> table_rows[2];
        for (int t = 0; t < 2; ++t) {
            const int k = 10 + 2 * t;
            if (!PyArray_Check(args[k]) && args[k + 1] == Py_None) {
                constant[t] = float_arg(args, k);
                table_values[t] = View2<double>(&constant[t], 1, nstocks, 0, 0);
                table_rows[t] = View1<int64_t>(&row_zero, nbars, 0);
                continue;
            }
            tables[2 * t] = array_arg(args, k, 2, NPY_DOUBLE);
            expect_dim(tables[2 * t], k, 1, nstocks, "position columns");
            if (PyArray_DIM(tables[2 * t], 0) == 0)
                fail(PyExc_ValueError,
                     std::string("_engine.run: ") + kNames[k] + ": expected at least one row");
            tables[2 * t + 1] = array_arg(args, k + 1, 1, NPY_INT64);
            expect_dim(tables[2 * t + 1], k + 1, 0, nbars, "bars");
            expect_range(tables[2 * t + 1], k + 1, 0, PyArray_DIM(tables[2 * t], 0), "table rows");
            table_values[t] = view2_of<double>(tables[2 * t]);
            table_rows[t] = view1_of<int64_t>(tables[2 * t + 1]);
        }
        PyArrayObject* delisting = array_arg(args, 14, 1, NPY_INT64, true);
        if (delisting != nullptr) expect_dim(delisting, 14, 0, nstocks, "position columns");
        if (nbars > INT32_MAX || nstocks > INT32_MAX || nrows > INT32_MAX)
            fail(PyExc_ValueError, "_engine.run: more bars, rows or columns than a C int counts");

        engine::Settings s;
        s.fee_ratio = float_arg(args, 15);
        s.tax_ratio = float_arg(args, 16);
        s.trail_stop = float_arg(args, 17);
        s.trail_stop_activation = float_arg(args, 18);
        s.position_limit = float_arg(args, 19);
        s.touched_exit = touched;
        s.retain_cost_when_rebalance = bool_arg(args, 21);
        const bool stop_trading = bool_arg(args, 22);
        const bool periodic = bool_arg(args, 23);
        const int window = int_arg(args, 24, 0);
        const int window_step = int_arg(args, 25, 1);

        Ref creturn = Ref::steal(PyArray_EMPTY(1, const_cast<npy_intp*>(&nbars), NPY_DOUBLE, 0));
        auto out = std::make_unique<Output>();
        Output& o = *out;
        o.nstocks = static_cast<int32_t>(nstocks);
        std::vector<int32_t> cols(static_cast<std::size_t>(nstocks));
        const View1<int64_t> pc = view1_of<int64_t>(price_col);
        for (index_t i = 0; i < pc.n; ++i)
            cols[static_cast<std::size_t>(i)] = static_cast<int32_t>(pc(i));

        PlainHost::Config hc{view2_of<double>(price),
                             view2_of<double>(close),
                             cols.data(),
                             static_cast<int32_t>(nstocks),
                             {s.fee_ratio, s.tax_ratio, window, window_step},
                             !s.retain_cost_when_rebalance && periodic,
                             stop_trading};
        double* creturn_data =
            static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(creturn.get())));
        Fault fault;
        {
            const NoGil unlocked;
            try {
                PlainHost host(hc);
                engine::TradeBook book;
                engine::Run r(s, host, o.log, book);
                r.price = view2_of<double>(price);
                r.close = view2_of<double>(close);
                r.high = view2_of<double>(ohlc[0]);
                r.low = view2_of<double>(ohlc[1]);
                r.open = view2_of<double>(ohlc[2]);
                r.price_index = view1_of<int64_t>(price_index);
                r.pos_values = view2_of<double>(pos_values);
                r.pos_index = view1_of<int64_t>(pos_index);
                r.resample = view1_of<int64_t>(resample);
                r.delisting_bars = view1_of<int64_t>(delisting);
                r.stop_loss_values = table_values[0];
                r.stop_loss_rows = table_rows[0];
                r.take_profit_values = table_values[1];
                r.take_profit_rows = table_rows[1];
                r.price_col = cols;
                r.nstocks = static_cast<int32_t>(nstocks);
                r.creturn = creturn_data;
                r.stocks.assign(static_cast<std::size_t>(nstocks), engine::StockState{});
                for (index_t i = 0; i < r.delisting_bars.n && !r.has_delisting; ++i)
                    r.has_delisting = r.delisting_bars(i) >= 0;
                engine::mark_rebalance_bars(r);
                engine::reset_loop_state(r);
                engine::find_unchecked_bars(r);
                r.pos.set_priced(r.price_col);
                book.reset(static_cast<std::size_t>(nstocks));
                engine::run_bars(r);
                engine::close_open_trades(r);

                o.trades = std::move(host.trades);
                o.current_row = r.current_position_id;
                o.pending_row = r.pos_id;
                o.should_rebalance = r.should_rebalance;
                o.latest_row_is_copy = r.latest_row_is_copy;
                o.latest_row = r.latest_rebalanced_row;
                o.rebalanced_keys.assign(r.latest_rebalanced_keys.begin(),
                                         r.latest_rebalanced_keys.end());
                o.held.assign(static_cast<std::size_t>(nstocks), 0);
                for (int sid : r.pos.keys())
                    o.held[static_cast<std::size_t>(sid)] = engine::held(r.pos, sid) ? 1 : 0;
                for (const engine::StopExit& e : r.exited_stocks)
                    o.exited.insert(o.exited.end(), {e.sid, e.take_profit() ? 1 : 0});
                for (const engine::StopExit& e : r.exit_stocks)
                    o.exit_pending.insert(o.exit_pending.end(), {e.sid, e.take_profit() ? 1 : 0});
            } catch (const OutOfBounds& e) {
                fault = {Fault::out_of_bounds, e.axis};
            } catch (const FloatDivisionByZero&) {
                fault = {Fault::zero_division};
            } catch (const InvalidPrice& e) {
                fault = {Fault::invalid_price, e.sid, e.bar, e.value};
            } catch (const UnpricedWeights& e) {
                fault = {Fault::unpriced, e.sid};
            } catch (const engine::UnpricedColumn& e) {
                fault = {Fault::unpriced, e.sid};
            } catch (const WalkFailed& e) {
                fault = {Fault::walk, e.fault, e.index};
            } catch (const std::bad_alloc&) {
                fault = {Fault::memory};
            }
        }
        if (fault.kind != Fault::none) raise_fault(fault);

        auto* obj = PyObject_GC_New(ResultObject, result_type);
        if (obj == nullptr) throw PyErrSet{};
        obj->out = out.release();
        obj->creturn = creturn.release();
        for (PyObject*& c : obj->cache) c = nullptr;
        PyObject_GC_Track(obj);
        result = reinterpret_cast<PyObject*>(obj);
    });
    return result;
}

PyMethodDef methods[] = {
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run)), METH_FASTCALL,
     PyDoc_STR("run(price, close, high, low, open, price_index, pos_values, pos_index, price_col, "
               "resample, stop_loss_values, stop_loss_rows, take_profit_values, take_profit_rows, "
               "delisting_bars, fee_ratio, tax_ratio, trail_stop, trail_stop_activation, "
               "position_limit, touched_exit, retain_cost_when_rebalance, "
               "stop_trading_next_period, periodically_rebalance, excursion_window, "
               "excursion_window_step, /)\n--\n\n"
               "One run of the engine without the interpreter lock; returns a Result.\n\n"
               "A stop table is its thresholds (rows x position columns, float64) and the row of\n"
               "each bar (int64), or a number for every column and bar with its rows None.")},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* mod) {
    return guard([&] {
        if (PyArray_ImportNumPyAPI() < 0) throw PyErrSet{};
        if (result_type == nullptr) {
            result_type = reinterpret_cast<PyTypeObject*>(
                PyType_FromModuleAndSpec(mod, &result_spec, nullptr));
            if (result_type == nullptr) throw PyErrSet{};
        }
        check(PyModule_AddObjectRef(mod, "Result", reinterpret_cast<PyObject*>(result_type)));
    })
               ? 0
               : -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "torvex.core._engine",
    "The typed entry to the engine (private): checked arrays in, a Result out, the run\n"
    "without the interpreter lock.",
    0,
    methods,
    slots,
};

}  // namespace
}  // namespace torvex::typed

PyMODINIT_FUNC PyInit__engine(void) { return PyModuleDef_Init(&torvex::typed::module_def); }
