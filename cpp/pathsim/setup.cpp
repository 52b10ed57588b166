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

// The inputs, read-only, in parameter order; None stays unopened.
void open_inputs(Run& r) {
    const RunArgs& a = r.a;
    r.b_price.open(a.price_values, Elem::f64, 2);
    r.b_close.open(a.close_values, Elem::f64, 2);
    r.b_high.open(a.high_values, Elem::f64, 2);
    r.b_low.open(a.low_values, Elem::f64, 2);
    r.b_open.open(a.open_values, Elem::f64, 2);
    r.b_price_index.open(a.price_index, Elem::i64, 1);
    r.b_price_columns.open(a.price_columns, Elem::object, 1);
    r.b_pos_values.open(a.pos_values, Elem::f64, 2);
    r.b_pos_index.open(a.pos_index, Elem::i64, 1);
    r.b_pos_columns.open(a.pos_columns, Elem::object, 1);
    r.b_resample.open(a.resample, Elem::i64, 1);
    r.b_delisting.open(a.delisting_bars, Elem::i64, 1);
    r.price = View2<double>(r.b_price);
    r.close = View2<double>(r.b_close);
    r.high = View2<double>(r.b_high);
    r.low = View2<double>(r.b_low);
    r.open = View2<double>(r.b_open);
    r.price_index = View1<int64_t>(r.b_price_index);
    r.price_columns = View1<PyObject*>(r.b_price_columns);
    r.pos_values = View2<double>(r.b_pos_values);
    r.pos_index = View1<int64_t>(r.b_pos_index);
    r.pos_columns = View1<PyObject*>(r.b_pos_columns);
    r.resample = View1<int64_t>(r.b_resample);
    r.delisting_bars = View1<int64_t>(r.b_delisting);
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
    r.creturn = new_array(array_size(r.b_price_index, a.price_index));
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

// Each resample date marks the last bar dated on or before it (bar 0 when it
// precedes every bar).
void mark_rebalance_bars(Run& r) {
    const Py_ssize_t nbars = r.price_index.n;
    to_int32(nbars);  // bars are numbered by C ints
    r.date_rebalance.assign(static_cast<std::size_t>(nbars), 0);
    if (nbars == 0) return;
    Py_ssize_t ptr = 0;
    for (Py_ssize_t k = 0; k < r.resample.n; ++k) {
        const int64_t t = r.resample(k);
        while (ptr + 1 < nbars && r.price_index(ptr + 1) <= t) ++ptr;
        r.date_rebalance[static_cast<std::size_t>(ptr)] = 1;
    }
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

// The loop's starting point: all cash, no position, no row executed yet.
void reset_loop_state(Run& r) {
    const RunArgs& a = r.a;
    r.trail_stop_abs = std::abs(a.trail_stop);
    r.trail_stop_activation_abs = std::abs(a.trail_stop_activation);
    r.should_rebalance = false;
    r.current_position_id = -1;
    r.pos_id = 0;
    r.cash = 1.0;
    r.balance = 1.0;
    r.pos.reset(static_cast<std::size_t>(r.nstocks));
    for (std::size_t sid = 0; sid < r.stocks.size() && sid < r.price_col.size(); ++sid)
        r.stocks[sid].pid = r.price_col[sid];
}

// Bars before `rows_inside` have a row in every price table the loop reads;
// with `columns_inside` every priced column lies inside those tables too, and
// such bars read cells without a check per read.
void find_unchecked_bars(Run& r) {
    std::vector<const View2<double>*> tables = {&r.price, &r.close};
    if (r.a.touched_exit) tables.insert(tables.end(), {&r.high, &r.low, &r.open});
    r.rows_inside = PY_SSIZE_T_MAX;
    Py_ssize_t cols = PY_SSIZE_T_MAX;
    for (const View2<double>* t : tables) {
        r.rows_inside = std::min(r.rows_inside, t->n0);
        cols = std::min(cols, t->n1);
    }
    r.columns_inside = true;
    for (int32_t pid : r.price_col)
        if (pid >= cols) r.columns_inside = false;
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
    mark_rebalance_bars(r);
    watch_inputs(r);  // every input buffer is open from here on
    start_trade_log(r);
    check_run_inputs();
    reset_loop_state(r);
    find_unchecked_bars(r);
}

}  // namespace torvex::pathsim
