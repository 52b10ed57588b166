// torvex.core.pathsim: module initialisation and wiring. Initialisation binds,
// in this order, `org_np`, `excursion`, `StopTable`, `stop_table`, `datetime`,
// the C-level table of the excursion module, the two run-wide settings and the
// Python functions.
#define PY_ARRAY_UNIQUE_SYMBOL torvex_pathsim_ARRAY_API
#include <numpy/arrayobject.h>

#include <string>
#include <type_traits>

#include "args.hpp"
#include "report.hpp"
#include "setup_cache.hpp"
#include "state.hpp"
#include "torvex/capi.hpp"
#include "utils.hpp"

namespace torvex::pathsim {

Module g;

namespace {

// Binds every row of the C-level table by its name, checking the capsule's
// signature text; the pointer lands in the member of its own type.
void bind_excursion_table(PyObject* xmod) {
    Ref table = Ref::steal(PyObject_GetAttrString(xmod, capi::table_name));
    capi::Table bound;
    capi::for_each_row([&](const auto& row) {
        using R = std::decay_t<decltype(row)>;
        PyObject* found = nullptr;
        check(PyMapping_GetOptionalItemString(table.get(), row.name, &found));
        Ref item = Ref::steal_or_null(found);
        if (!item) {
            raise_format(PyExc_ImportError, "%.200s does not export expected C %s %.200s",
                         capi::module_name, R::kind, row.name);
        }
        if (!PyCapsule_IsValid(item.get(), R::signature)) {
            const char* got =
                PyCapsule_CheckExact(item.get()) ? PyCapsule_GetName(item.get()) : nullptr;
            PyErr_Clear();
            raise_format(PyExc_TypeError,
                         "C %s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                         R::kind, capi::module_name, row.name, R::signature, got ? got : "(null)");
        }
        void* p = PyCapsule_GetPointer(item.get(), R::signature);
        if (p == nullptr) throw PyErrSet{};
        bound.*row.member = R::from_void(p);
    });
    g.xc = bound;
}

constexpr const char* backtest_doc =
    "Run a backtest of target weights and return the portfolio value per bar\n"
    "(starting capital 1.0). Trades are logged in torvex.core.excursion; read them\n"
    "with get_trade_stocks() and get_stock_operations().";
constexpr std::size_t backtest_method = 3;  // its row in `methods`

PyMethodDef methods[] = {
    {"get_stock_operations", get_stock_operations, METH_NOARGS,
     "get_stock_operations()\n--\n\n"
     "A shallow copy of the stock-operations record of the last run: executed and\n"
     "pending weights, their row indexes and the action per stock."},
    {"normalize_weight",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(normalize_weight)),
     METH_FASTCALL | METH_KEYWORDS,
     "normalize_weight(weights, position_limit)\n--\n\n"
     "Scale a weight mapping to a gross weight of at most 1, then clip every weight\n"
     "to [-position_limit, position_limit]. Changes `weights` in place and returns it."},
    {"ioft", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ioft)),
     METH_FASTCALL | METH_KEYWORDS,
     "ioft(v)\n--\n\n"
     "Local naive datetime of a timestamp in nanoseconds since the Unix epoch."},
    {"backtest_", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(backtest_)),
     METH_FASTCALL | METH_KEYWORDS,
     nullptr},  // the text signature and backtest_doc, set at initialisation
    {"get_trade_stocks",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(get_trade_stocks)),
     METH_FASTCALL | METH_KEYWORDS,
     "get_trade_stocks(pos_columns, price_index, touched_exit)\n--\n\n"
     "Trades of the last run as rows [name, entry date, exit date, entry signal date,\n"
     "exit signal date, position, holding bars, entry bar, exit bar], together with\n"
     "the stock-operations record."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "torvex.core.pathsim",
    "Backtest engine: runs a portfolio of target weights over bars of prices.",
    // No per-module state (it is process-wide), but not -1 either: with -1 a
    // second import after removing the module from sys.modules would quietly
    // copy the first module's dict instead of calling init, which refuses.
    0,
    nullptr,
};

// Set once the module is initialised; the engine's state belongs to that
// module object alone.
bool initialised = false;

int forget_settings(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    g.retain_cost_truth = -1;
    g.resample_truth = -1;
    return 0;
}

void add(PyObject* mod, const char* name, PyObject* value) {
    check(PyModule_AddObjectRef(mod, name, value));
}

void intern_names() {
    Names& s = g.s;
    s.RETAIN_COST_WHEN_REBALANCE = intern("RETAIN_COST_WHEN_REBALANCE");
    s.RESAMPLE = intern("RESAMPLE");
    s.StopTable = intern("StopTable");
    s.stop_table = intern("stop_table");
    s.normalize_weight = intern("normalize_weight");
    s.excursion = intern("excursion");
    s.datetime = intern("datetime");
    s.fromtimestamp = intern("fromtimestamp");
    s.trades = intern("trades");
    s.trade_positions = intern("trade_positions");
    s.encode = intern("encode");
    s.utf8 = intern("UTF-8");
    s.values = intern("values");
    s.rows = intern("rows");
    s.shape = intern("shape");
    s.size = intern("size");
    s.min = intern("min");
    s.max = intern("max");
    s.items = intern("items");
    s.actions = intern("actions");
    s.weights = intern("weights");
    s.next_weights = intern("next_weights");
    s.weight_time = intern("weight_time");
    s.next_weight_time = intern("next_weight_time");
}

PyObject* init() {
    if (initialised) {
        raise(PyExc_ImportError,
              "torvex.core.pathsim is already initialised in this process and cannot be "
              "initialised again (it was removed from sys.modules); use the module imported first");
    }
    intern_names();
    init_backtest_args();
    init_small_args();
    init_report_args();
    if (PyArray_ImportNumPyAPI() < 0) throw PyErrSet{};

    Ref mod = Ref::steal(PyModule_Create(&module_def));
    g.dict = PyModule_GetDict(mod.get());

    Ref np = Ref::steal(PyImport_ImportModule("numpy"));
    add(mod.get(), "org_np", np.get());
    Ref xmod = Ref::steal(PyImport_ImportModule(capi::module_name));
    add(mod.get(), "excursion", xmod.get());
    Ref stops = Ref::steal(PyImport_ImportModule("torvex._stops"));
    Ref stop_table_type = Ref::steal(PyObject_GetAttrString(stops.get(), "StopTable"));
    Ref stop_table_fn = Ref::steal(PyObject_GetAttrString(stops.get(), "stop_table"));
    add(mod.get(), "StopTable", stop_table_type.get());
    add(mod.get(), "stop_table", stop_table_fn.get());
    remember_stop_builders(stops.get(), stop_table_type.get(), stop_table_fn.get());
    Ref dt = Ref::steal(PyImport_ImportModule("datetime"));
    add(mod.get(), "datetime", dt.get());

    bind_excursion_table(xmod.get());

    add(mod.get(), "RETAIN_COST_WHEN_REBALANCE", Py_False);
    add(mod.get(), "RESAMPLE", Py_None);
    // The ledger keeps the settings' truth while the module dict is unchanged.
    g.watcher = watch_dict(g.dict, forget_settings);
    g.stock_operations.reset(Ref::steal(PyDict_New()));

    // Defaults are taken once, now.
    g.default_stop_loss.reset(py_float(1.0));
    Ref inf = Ref::steal(PyObject_GetAttrString(np.get(), "inf"));
    g.default_trail_stop = PyFloat_AsDouble(inf.get());
    check_pending();
    g.default_take_profit.reset(std::move(inf));

    // The signature shows the defaults just taken, from the parameter table.
    static std::string backtest_text;
    backtest_text = backtest_signature();
    backtest_text.append("\n--\n\n").append(backtest_doc);
    methods[backtest_method].ml_doc = backtest_text.c_str();
    check(PyModule_AddFunctions(mod.get(), methods));
    initialised = true;
    return mod.release();
}

}  // namespace
}  // namespace torvex::pathsim

PyMODINIT_FUNC PyInit_pathsim(void) {
    PyObject* mod = nullptr;
    torvex::guard([&] { mod = torvex::pathsim::init(); });
    return mod;
}
