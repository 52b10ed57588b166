// Reports of the last run: the trade list and the stock-operations record.
#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL torvex_pathsim_ARRAY_API
#include "report.hpp"

#include <numpy/arrayobject.h>

#include "engine/ledger.hpp"
#include "state.hpp"
#include "torvex/argparse.hpp"
#include "torvex/buffer.hpp"
#include "torvex/capi.hpp"
#include "torvex/scalars.hpp"
#include "watch.hpp"

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
        const View1<PyObject*> pos_columns = view1<PyObject*>(b_cols);
        const View1<int64_t> price_index = view1<int64_t>(b_index);
        const bool touched_exit = truth(v[2]);
        // The caller's code (a truth test, a record read through the host's
        // protocols) may move an array's memory: the views are checked before
        // every read.
        auto unmoved = [&] {
            check_unmoved(b_cols, "pos_columns");
            check_unmoved(b_index, "price_index");
        };
        auto date_at = [&](Py_ssize_t i) {
            unmoved();
            return int64_scalar(price_index.at(i));
        };

        Ref xmod = get_global(g.dict, g.s.excursion);
        Ref trades = Ref::steal(PyObject_GetAttr(xmod.get(), g.s.trades));
        Ref positions = Ref::steal(PyObject_GetAttr(xmod.get(), g.s.trade_positions));
        Ref ret = Ref::steal(PyList_New(0));
        Ref minus_one = py_long(-1);
        Ref one = py_long(1);
        Ref nbars = Ref::steal(PyLong_FromSsize_t(price_index.n));

        // One row through the host's protocols, as any element is read.
        auto generic_row = [&](PyObject* t, Py_ssize_t i) {
            Ref sid = Ref::steal(PySequence_GetItem(t, 0));
            Ref entry = Ref::steal(PySequence_GetItem(t, 1));
            Ref exit = Ref::steal(PySequence_GetItem(t, 2));
            int ne = PyObject_RichCompareBool(exit.get(), minus_one.get(), Py_NE);
            check(ne);
            const bool closed = ne != 0;

            const Py_ssize_t sid_i = as_index(sid.get());
            unmoved();
            Ref name = Ref::borrow(pos_columns.at(sid_i));
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
            Ref period =
                Ref::steal(PyNumber_Subtract(closed ? exit.get() : nbars.get(), entry.get()));

            PyObject* row_items[] = {name.get(),         entry_date.get(),  exit_date.get(),
                                     entry_signal.get(), exit_signal.get(), position.get(),
                                     period.get(),       entry.get(),       exit.get()};
            Ref row = Ref::steal(PyList_New(9));
            for (Py_ssize_t k = 0; k < 9; ++k)
                PyList_SET_ITEM(row.get(), k, Ref::borrow(row_items[k]).release());
            return row;
        };

        // The same row for a record as the log writes it, [int, numpy.int64,
        // int] in an exact list, with its position in an exact list: the host
        // operations above then run no code of the caller's and give exactly
        // these values (the int64 results of numpy's scalar arithmetic, new
        // date scalars, the record's own objects). Null when the record is of
        // another shape; the generic row then reads it.
        auto record_row = [&](PyObject* t, Py_ssize_t i) -> Ref {
            if (!PyList_CheckExact(t) || PyList_GET_SIZE(t) < 3 ||
                !PyList_CheckExact(positions.get()) || i >= PyList_GET_SIZE(positions.get()))
                return Ref();
            PyObject* sid = PyList_GET_ITEM(t, 0);
            PyObject* entry = PyList_GET_ITEM(t, 1);
            PyObject* exit = PyList_GET_ITEM(t, 2);
            if (!PyLong_CheckExact(sid) || Py_TYPE(entry) != &PyInt64ArrType_Type ||
                !PyLong_CheckExact(exit))
                return Ref();
            int overflow = 0;
            const long long s = PyLong_AsLongLongAndOverflow(sid, &overflow);
            if (overflow != 0) return Ref();
            const long long x = PyLong_AsLongLongAndOverflow(exit, &overflow);
            if (overflow != 0) return Ref();
            const int64_t e = PyArrayScalar_VAL(entry, Int64);
            // Far from the ends of int64, so no difference below overflows.
            constexpr int64_t lim = int64_t{1} << 62;
            if (x <= -lim || x >= lim || e <= -lim || e >= lim) return Ref();
            const bool closed = x != -1;

            unmoved();
            Ref name = Ref::borrow(pos_columns.at(static_cast<Py_ssize_t>(s)));
            if (!name) name = Ref::borrow(Py_None);
            Ref entry_date = date_at(e);
            Ref exit_date = closed ? date_at(x) : minus_one;
            Ref entry_signal = date_at(e - 1);
            Ref exit_signal = !closed ? minus_one : date_at(touched_exit ? x : x - 1);
            PyObject* position = PyList_GET_ITEM(positions.get(), i);
            Ref period = int64_scalar((closed ? x : price_index.n) - e);

            PyObject* row_items[] = {name.get(),
                                     entry_date.get(),
                                     exit_date.get(),
                                     entry_signal.get(),
                                     exit_signal.get(),
                                     position,
                                     period.get(),
                                     entry,
                                     exit};
            Ref row = Ref::steal(PyList_New(9));
            for (Py_ssize_t k = 0; k < 9; ++k)
                PyList_SET_ITEM(row.get(), k, Ref::borrow(row_items[k]).release());
            return row;
        };

        Py_ssize_t i = 0;
        if (PyList_CheckExact(trades.get())) {
            // Walked as the list's iterator walks it: by index, against its
            // current length (a generic row may run code that changes it).
            PyObject* list = trades.get();
            for (; i < PyList_GET_SIZE(list); ++i) {
                Ref t = Ref::borrow(PyList_GET_ITEM(list, i));
                Ref row = record_row(t.get(), i);
                if (!row) row = generic_row(t.get(), i);
                check(PyList_Append(ret.get(), row.get()));
            }
        } else {
            Ref it = Ref::steal(PyObject_GetIter(trades.get()));
            while (Ref t = Ref::steal_or_null(PyIter_Next(it.get()))) {
                Ref row = generic_row(t.get(), i);
                check(PyList_Append(ret.get(), row.get()));
                ++i;
            }
        }
        check_pending();
        Ref pair = Ref::steal(PyTuple_Pack(2, ret.get(), g.stock_operations.object()));
        result = pair.release();
    });
    return result;
}

}  // namespace torvex::pathsim
