// Reports of the last run: the trade list and the stock-operations record.
#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL torvex_pathsim_ARRAY_API
#include "torvex/capi.hpp"

#include <numpy/arrayobject.h>

#include "report.hpp"
#include "torvex/argparse.hpp"
#include "torvex/buffer.hpp"
#include "torvex/scalars.hpp"
#include "state.hpp"

namespace torvex::pathsim {
namespace {

ArgParser<3> trade_stocks_parser("get_trade_stocks", {"pos_columns", "price_index", "touched_exit"},
                                 3);

Py_ssize_t as_index(PyObject* o) {
    Py_ssize_t i = PyNumber_AsSsize_t(o, PyExc_OverflowError);
    if (i == -1 && PyErr_Occurred()) throw PyErrSet{};
    return i;
}

}  // namespace

void init_report_args() { trade_stocks_parser.init(); }

PyObject* get_stock_operations(PyObject*, PyObject*) {
    return PyDict_Copy(g.stock_operations.object());
}

PyObject* get_trade_stocks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* result = nullptr;
    guard([&] {
        std::array<PyObject*, 3> v;
        trade_stocks_parser.parse(args, nargs, kwnames, v);
        Buffer b_cols, b_index;
        b_cols.open(v[0], Elem::object, 1);
        b_index.open(v[1], Elem::i64, 1);
        const View1<PyObject*> pos_columns(b_cols);
        const View1<int64_t> price_index(b_index);
        const bool touched_exit = truth(v[2]);

        auto date_at = [&](Py_ssize_t i) { return int64_scalar(price_index.at(i)); };

        Ref xmod = get_global(g.dict, g.s.excursion);
        Ref trades = Ref::steal(PyObject_GetAttr(xmod.get(), g.s.trades));
        Ref positions = Ref::steal(PyObject_GetAttr(xmod.get(), g.s.trade_positions));
        Ref ret = Ref::steal(PyList_New(0));
        Ref minus_one = py_long(-1);
        Ref one = py_long(1);
        Ref nbars = Ref::steal(PyLong_FromSsize_t(price_index.n));

        Ref it = Ref::steal(PyObject_GetIter(trades.get()));
        Py_ssize_t i = 0;
        while (Ref t = Ref::steal_or_null(PyIter_Next(it.get()))) {
            Ref sid = Ref::steal(PySequence_GetItem(t.get(), 0));
            Ref entry = Ref::steal(PySequence_GetItem(t.get(), 1));
            Ref exit = Ref::steal(PySequence_GetItem(t.get(), 2));
            int ne = PyObject_RichCompareBool(exit.get(), minus_one.get(), Py_NE);
            check(ne);
            const bool closed = ne != 0;

            Ref name = Ref::borrow(pos_columns.at(as_index(sid.get())));
            if (!name) name = Ref::borrow(Py_None);
            Ref entry_date = date_at(as_index(entry.get()));
            Ref exit_date = closed ? date_at(as_index(exit.get())) : minus_one;
            Ref entry_before = Ref::steal(PyNumber_Subtract(entry.get(), one.get()));
            Ref entry_signal = date_at(as_index(entry_before.get()));
            Ref exit_signal;
            if (!closed) {
                exit_signal = minus_one;
            } else if (touched_exit) {
                exit_signal = date_at(as_index(exit.get()));
            } else {
                Ref exit_before = Ref::steal(PyNumber_Subtract(exit.get(), one.get()));
                exit_signal = date_at(as_index(exit_before.get()));
            }
            Ref position = Ref::steal(PySequence_GetItem(positions.get(), i));
            Ref period = Ref::steal(PyNumber_Subtract(closed ? exit.get() : nbars.get(), entry.get()));

            PyObject* row_items[] = {name.get(),     entry_date.get(), exit_date.get(),
                                     entry_signal.get(), exit_signal.get(), position.get(),
                                     period.get(),   entry.get(),      exit.get()};
            Ref row = Ref::steal(PyList_New(9));
            for (Py_ssize_t k = 0; k < 9; ++k)
                PyList_SET_ITEM(row.get(), k, Ref::borrow(row_items[k]).release());
            check(PyList_Append(ret.get(), row.get()));
            ++i;
        }
        check_pending();
        Ref pair = Ref::steal(PyTuple_Pack(2, ret.get(), g.stock_operations.object()));
        result = pair.release();
    });
    return result;
}

}  // namespace torvex::pathsim
