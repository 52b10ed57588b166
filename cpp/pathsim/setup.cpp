// Set-up of a run: input buffers, run-wide settings, column map, per-run arrays,
// stop tables, periodic rebalance bars and the start of the trade log.
#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL torvex_pathsim_ARRAY_API
#include "torvex/capi.hpp"

#include <numpy/arrayobject.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "run.hpp"
#include "state.hpp"

namespace torvex::pathsim {
namespace {

Ref attr(PyObject* o, PyObject* name) { return Ref::steal(PyObject_GetAttr(o, name)); }

Ref item(PyObject* o, Py_ssize_t i) {
    Ref key = Ref::steal(PyLong_FromSsize_t(i));
    return Ref::steal(PyObject_GetItem(o, key.get()));
}

// UTF-8 bytes of a column label, through the label's own `encode`.
std::string label_key(PyObject* label) {
    Ref bytes = Ref::steal(PyObject_CallMethodOneArg(label, g.s.encode, g.s.utf8));
    if (!PyBytes_Check(bytes.get())) {
        raise_format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(bytes.get())->tp_name);
    }
    return std::string(PyBytes_AS_STRING(bytes.get()),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

// Iterates a sequence of labels (an object array, list or tuple).
template <class F>
void for_labels(PyObject* seq, F&& fn) {
    Ref it = Ref::steal(PyObject_GetIter(seq));
    int i = 0;
    while (Ref label = Ref::steal_or_null(PyIter_Next(it.get()))) fn(i++, label.get());
    check_pending();
}

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
    if (b.shape(0) == 0) {
        raise(PyExc_IndexError, "index 0 is out of bounds for axis 0 with size 0");
    }
    return b.shape(1);
}

Py_ssize_t array_size(const Buffer& b, PyObject* obj) {
    if (obj == Py_None) raise_none_has_no("size");
    return b.size();
}

[[noreturn]] void stop_mismatch() { raise(PyExc_ValueError, msg::stop_mismatch); }

// Position columns without a price column must carry no weight: they could not
// be valued or traded.
void check_unpriced_columns(Run& r) {
    std::string names;
    for (int32_t sid = 0; sid < static_cast<int32_t>(r.price_col.size()); ++sid) {
        if (r.price_col[static_cast<std::size_t>(sid)] >= 0 || sid >= r.pos_values.n1) continue;
        bool weighted = false;
        for (Py_ssize_t row = 0; row < r.pos_values.n0 && !weighted; ++row)
            weighted = r.pos_values(row, sid) != 0.0;  // NaN counts as a weight
        if (!weighted) continue;
        Ref label = Ref::borrow(r.pos_columns(sid));
        Ref text = Ref::steal(PyObject_Str(label ? label.get() : Py_None));
        Py_ssize_t len = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &len);
        if (utf8 == nullptr) throw PyErrSet{};
        if (!names.empty()) names += ", ";
        names.append(utf8, static_cast<std::size_t>(len));
    }
    if (!names.empty()) {
        raise_format(PyExc_ValueError, msg::unpriced_weights, names.c_str());
    }
}

// Opens the thresholds and row numbers of a checked stop table and makes sure
// the buffers actually held fit the run, so the bar loop can read them unchecked.
void open_stop_table(PyObject* table, Buffer& bv, Buffer& br, View2<double>& values,
                     View1<int64_t>& rows, int32_t nstocks) {
    Ref v = attr(table, g.s.values);
    Ref rw = attr(table, g.s.rows);
    bv.open(v.get(), Elem::f64, 2);
    br.open(rw.get(), Elem::intp, 1);
    values = View2<double>(bv);
    rows = View1<int64_t>(br);
    if (!bv.is_open() || !br.is_open()) stop_mismatch();
    if (values.n1 != nstocks) stop_mismatch();
    for (Py_ssize_t d = 0; d < rows.n; ++d) {
        const int64_t row = rows(d);
        if (row < 0 || row >= values.n0) stop_mismatch();
    }
}

}  // namespace

std::map<int, int> map_columns(PyObject* price_columns, PyObject* pos_columns) {
    std::map<std::string, int> v;
    for_labels(price_columns, [&](int i, PyObject* n) { v[label_key(n)] = i; });
    std::map<int, int> ret;
    for_labels(pos_columns, [&](int i, PyObject* n) {
        auto it = v.find(label_key(n));
        if (it != v.end()) ret[i] = it->second;
    });
    return ret;
}

Ref stop_thresholds(PyObject* threshold, PyObject* price_index, PyObject* pos_columns) {
    Ref table;
    Ref type = get_global(g.dict, g.s.StopTable);
    int is_table = PyObject_IsInstance(threshold, type.get());
    check(is_table);
    if (is_table) {
        table = Ref::borrow(threshold);
    } else {
        Ref builder = get_global(g.dict, g.s.stop_table);
        PyObject* call_args[] = {threshold, price_index, pos_columns};
        table = Ref::steal(PyObject_Vectorcall(builder.get(), call_args, 3, nullptr));
    }
    Ref rows = attr(table.get(), g.s.rows);
    Ref values = attr(table.get(), g.s.values);
    Ref zero = py_long(0);
    Ref one = py_long(1);

    Ref vshape = attr(values.get(), g.s.shape);
    Ref ncols = item(vshape.get(), 1);
    Ref npos = attr(pos_columns, g.s.size);
    if (compare(ncols.get(), npos.get(), Py_NE)) stop_mismatch();

    Ref rshape = attr(rows.get(), g.s.shape);
    Ref nrows = item(rshape.get(), 0);
    Ref nbars = attr(price_index, g.s.size);
    if (compare(nrows.get(), nbars.get(), Py_NE)) stop_mismatch();

    Ref rsize = attr(rows.get(), g.s.size);
    if (truth(rsize.get())) {
        Ref lo = Ref::steal(PyObject_CallMethodNoArgs(rows.get(), g.s.min));
        if (compare(lo.get(), zero.get(), Py_LT)) stop_mismatch();
        Ref hi = Ref::steal(PyObject_CallMethodNoArgs(rows.get(), g.s.max));
        Ref vrows = item(vshape.get(), 0);
        if (compare(hi.get(), vrows.get(), Py_GE)) stop_mismatch();
    }
    return table;
}

void setup_run(Run& r) {
    const RunArgs& a = r.a;

    // 1. Input buffers, read-only, in parameter order.
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

    // 2. Run-wide settings, read by the ledger when a held position is resized.
    check(PyDict_SetItem(g.dict, g.s.RETAIN_COST_WHEN_REBALANCE,
                         a.retain_cost_when_rebalance ? Py_True : Py_False));
    check(PyDict_SetItem(g.dict, g.s.RESAMPLE, a.periodically_rebalance ? Py_True : Py_False));

    // 3. Column map.
    r.pos2price = map_columns(a.price_columns, a.pos_columns);
    const Py_ssize_t ncols = r.b_pos_columns.size();
    r.price_col.assign(static_cast<std::size_t>(ncols), -1);
    for (const auto& [sid, pid] : r.pos2price) {
        if (sid >= 0 && sid < ncols) r.price_col[static_cast<std::size_t>(sid)] = pid;
    }
    check_unpriced_columns(r);

    // 4-5. Result and per-stock arrays.
    r.creturn = new_array(array_size(r.b_price_index, a.price_index));
    const Py_ssize_t nstocks = first_row_size(r.b_pos_values, a.pos_values);
    first_row_size(r.b_price, a.price_values);
    r.stocks.assign(static_cast<std::size_t>(nstocks), StockState{});

    // 6. Delisting applies only when some stock has a delisting bar (>= 0).
    r.has_delisting = false;
    for (Py_ssize_t i = 0; i < r.delisting_bars.n && !r.has_delisting; ++i)
        r.has_delisting = r.delisting_bars(i) >= 0;

    // 7. Shape check.
    if (a.pos_columns == Py_None) raise_none_has_no("size");
    if (r.pos_values.n1 != r.b_pos_columns.size()) {
        raise(PyExc_ValueError, msg::position_columns_mismatch);
    }
    r.nstocks = to_int32(ncols);

    // 8-9. Stop tables.
    r.stop_loss_table = stop_thresholds(a.stop_loss, a.price_index, a.pos_columns);
    r.take_profit_table = stop_thresholds(a.take_profit, a.price_index, a.pos_columns);
    open_stop_table(r.stop_loss_table.get(), r.b_sl_values, r.b_sl_rows, r.stop_loss_values,
                    r.stop_loss_rows, r.nstocks);
    open_stop_table(r.take_profit_table.get(), r.b_tp_values, r.b_tp_rows, r.take_profit_values,
                    r.take_profit_rows, r.nstocks);

    // 10. Periodic rebalance points: each resample date marks the last bar dated
    // on or before it (bar 0 when it precedes every bar).
    const Py_ssize_t nbars = r.price_index.n;
    to_int32(nbars);  // bars are numbered by C ints
    r.date_rebalance.assign(static_cast<std::size_t>(nbars), 0);
    if (nbars > 0) {
        Py_ssize_t ptr = 0;
        for (Py_ssize_t k = 0; k < r.resample.n; ++k) {
            const int64_t t = r.resample(k);
            while (ptr + 1 < nbars && r.price_index(ptr + 1) <= t) ++ptr;
            r.date_rebalance[static_cast<std::size_t>(ptr)] = 1;
        }
    }

    // 11. Start the trade log.
    g.xc.start_analysis(reinterpret_cast<PyArrayObject*>(a.price_values),
                        reinterpret_cast<PyArrayObject*>(a.close_values), r.pos2price, r.nstocks,
                        a.fee_ratio, a.tax_ratio, a.excursion_window, a.excursion_window_step);
    check_pending();

    // 12. Loop scalars.
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

    // Where the bar loop may read price cells without a check per read.
    std::vector<const View2<double>*> tables = {&r.price, &r.close};
    if (a.touched_exit) tables.insert(tables.end(), {&r.high, &r.low, &r.open});
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

}  // namespace torvex::pathsim
