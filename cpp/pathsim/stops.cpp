// Stop tables of a run.
#include "stops.hpp"

#include "run.hpp"
#include "setup_cache.hpp"
#include "state.hpp"
#include "torvex/errors.hpp"

namespace torvex::pathsim {
namespace {

Ref attr(PyObject* o, PyObject* name) { return Ref::steal(PyObject_GetAttr(o, name)); }

Ref item(PyObject* o, Py_ssize_t i) {
    Ref key = Ref::steal(PyLong_FromSsize_t(i));
    return Ref::steal(PyObject_GetItem(o, key.get()));
}

[[noreturn]] void stop_mismatch() { raise(PyExc_ValueError, msg::stop_mismatch); }

// Opens the thresholds and row numbers of a checked stop table and makes sure
// the buffers actually held fit the run, so the bar loop can read them unchecked.
void open_stop_table(PyObject* table, Buffer& bv, Buffer& br, View2<double>& values,
                     View1<int64_t>& rows, int32_t nstocks) {
    Ref v = attr(table, g.s.values);
    Ref rw = attr(table, g.s.rows);
    bv.open(v.get(), Elem::f64, 2);
    br.open(rw.get(), Elem::intp, 1);
    values = view2<double>(bv);
    rows = view1<int64_t>(br);
    if (!bv.is_open() || !br.is_open()) stop_mismatch();
    if (values.n1 != nstocks) stop_mismatch();
    for (Py_ssize_t d = 0; d < rows.n; ++d) {
        const int64_t row = rows(d);
        if (row < 0 || row >= values.n0) stop_mismatch();
    }
}

}  // namespace

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

void open_stop_tables(Run& r) {
    const RunArgs& a = r.a;
    // A plain number is made into its one-row table here (setup_cache.hpp).
    const bool sl_number = constant_stop_table(a.stop_loss, a.price_index, a.pos_columns, 0,
                                               r.stop_loss_values, r.stop_loss_rows);
    if (!sl_number) r.stop_loss_table = stop_thresholds(a.stop_loss, a.price_index, a.pos_columns);
    const bool tp_number = constant_stop_table(a.take_profit, a.price_index, a.pos_columns, 1,
                                               r.take_profit_values, r.take_profit_rows);
    if (!tp_number)
        r.take_profit_table = stop_thresholds(a.take_profit, a.price_index, a.pos_columns);
    if (!sl_number)
        open_stop_table(r.stop_loss_table.get(), r.b_sl_values, r.b_sl_rows, r.stop_loss_values,
                        r.stop_loss_rows, r.nstocks);
    if (!tp_number)
        open_stop_table(r.take_profit_table.get(), r.b_tp_values, r.b_tp_rows, r.take_profit_values,
                        r.take_profit_rows, r.nstocks);
}

}  // namespace torvex::pathsim
