// Set-up of a run, up to its first bar: the input buffers, the run-wide
// settings, the column map, the result and per-stock arrays, the stop tables,
// the periodic rebalance bars and the start of the trade log. The steps run in
// this order, which is also the order in which bad input is reported.
#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL torvex_pathsim_ARRAY_API
#include "setup.hpp"

#include <numpy/arrayobject.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "columns.hpp"
#include "run.hpp"
#include "state.hpp"
#include "stops.hpp"
#include "torvex/errors.hpp"
#include "watch.hpp"

namespace torvex::pathsim {
namespace {

OwnedArray new_array(npy_intp n) {
    OwnedArray a;
    a.obj = Ref::steal(PyArray_EMPTY(1, &n, NPY_DOUBLE, 0));
    a.data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a.obj.get())));
    a.n = n;
    return a;
}

// Number of columns of row 0 of a 2-D input; the row must exist.
Py_ssize_t first_row_size(const Buffer& b, PyObject* obj) {
    if (obj == Py_None) raise_none_not_subscriptable();
    if (b.shape(0) == 0) raise_numpy_index(0, 0);
    return b.shape(1);
}

Py_ssize_t array_size(const Buffer& b, PyObject* obj) {
    if (obj == Py_None) raise_none_has_no("size");
    return b.size();
}

// The inputs, read-only, in parameter order; None stays unopened. The engine's
// views are those of the buffers.
void open_inputs(Run& r) {
    const RunArgs& a = r.a;
#define TORVEX_OPEN(arg, buffer, member, kind, ndim) \
    r.buffer.open(a.arg, Elem::kind, ndim);          \
    r.member = inputs::view<inputs::kind, ndim>(r.buffer);
#define TORVEX_SKIP(...)
    TORVEX_RUN_INPUTS(TORVEX_OPEN, TORVEX_SKIP)
#undef TORVEX_OPEN
#undef TORVEX_SKIP
}

// The module settings the ledger reads when a held position is resized.
void publish_settings(const RunArgs& a) {
    check(PyDict_SetItem(g.dict, g.s.RETAIN_COST_WHEN_REBALANCE,
                         a.retain_cost_when_rebalance ? Py_True : Py_False));
    check(PyDict_SetItem(g.dict, g.s.RESAMPLE, a.periodically_rebalance ? Py_True : Py_False));
}

// creturn, one state per position column, and the number of position columns
// checked against the weight table.
void make_run_arrays(Run& r) {
    const RunArgs& a = r.a;
    r.creturn_array = new_array(array_size(r.b_price_index, a.price_index));
    r.creturn = r.creturn_array.data;
    const Py_ssize_t nstocks = first_row_size(r.b_pos_values, a.pos_values);
    first_row_size(r.b_price, a.price_values);
    r.stocks.assign(static_cast<std::size_t>(nstocks), StockState{});

    // Delisting applies only when some stock has a delisting bar (>= 0).
    r.has_delisting = false;
    for (Py_ssize_t i = 0; i < r.delisting_bars.n && !r.has_delisting; ++i)
        r.has_delisting = r.delisting_bars(i) >= 0;

    if (a.pos_columns == Py_None) raise_none_has_no("size");
    if (r.pos_values.n1 != r.b_pos_columns.size()) {
        raise(PyExc_ValueError, msg::position_columns_mismatch);
    }
    r.nstocks = to_int32(r.b_pos_columns.size());
}

void start_trade_log(const Run& r) {
    const RunArgs& a = r.a;
    g.xc.start_analysis(reinterpret_cast<PyArrayObject*>(a.price_values),
                        reinterpret_cast<PyArrayObject*>(a.close_values), r.pos2price, r.nstocks,
                        a.fee_ratio, a.tax_ratio, a.excursion_window, a.excursion_window_step);
    // The trade log now belongs to this run, whatever becomes of it.
    run_log.trade_log_restarted();
    check_pending();
}

}  // namespace

void setup_run(Run& r) {
    // Labels' `encode`, the stop-table builder and the record lists' `clear`
    // are the caller's code: the inputs are checked after each.
    open_inputs(r);
    publish_settings(r.a);
    map_run_columns(r);
    check_run_inputs();
    make_run_arrays(r);
    open_stop_tables(r);
    check_run_inputs();
    to_int32(r.price_index.n);  // bars are numbered by C ints
    engine::mark_rebalance_bars(r);
    watch_inputs(r);  // every input buffer is open from here on
    start_trade_log(r);
    check_run_inputs();
    engine::reset_loop_state(r);
    engine::find_unchecked_bars(r);
}

}  // namespace torvex::pathsim
