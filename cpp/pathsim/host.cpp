#include "host.hpp"

#include <map>

#include "run.hpp"
#include "state.hpp"
#include "torvex/errors.hpp"
#include "watch.hpp"

namespace torvex::pathsim {
namespace {

// Truth of a module setting as a lookup of the global would give it. The
// truth of True, False or None found in the module dict is kept in `cached`
// until the dict changes; any other value is looked up and tested every time
// (its truth may run code).
bool setting(PyObject* name, int8_t& cached) {
    if (cached >= 0) return cached != 0;
    Ref v = get_global(g.dict, name);
    const bool t = truth(v.get());
    if (g.watcher >= 0 && (v.get() == Py_True || v.get() == Py_False || v.get() == Py_None) &&
        PyDict_GetItemWithError(g.dict, name) == v.get())
        cached = t ? 1 : 0;
    return t;
}

// Text of a stock's label in the invalid-price message: a str as it is, an int
// or a float as its repr, anything else formatted with an empty format string.
Ref label_text(PyObject* symbol) {
    if (symbol == nullptr) symbol = Py_None;
    if (PyUnicode_CheckExact(symbol)) return Ref::borrow(symbol);
    if (PyLong_CheckExact(symbol) || PyFloat_CheckExact(symbol))
        return Ref::steal(PyObject_Repr(symbol));
    Ref empty = Ref::steal(PyUnicode_FromString(""));
    return Ref::steal(PyObject_Format(symbol, empty.get()));
}

}  // namespace

void PyHost::record_date(int bar) {
    g.xc.record_date(bar);
    check_pending();
}

void PyHost::record_entry(int sid, double share, int charged) {
    g.xc.record_entry(sid, share, charged);
    check_pending();
}

void PyHost::record_exit(int sid, int charged) {
    g.xc.record_exit(sid, charged);
    check_pending();
}

bool PyHost::split_on_resize() {
    const bool settings_known = g.retain_cost_truth >= 0 && g.resample_truth >= 0;
    const bool split = !setting(g.s.RETAIN_COST_WHEN_REBALANCE, g.retain_cost_truth) &&
                       setting(g.s.RESAMPLE, g.resample_truth);
    // A split checks the inputs once its records are made.
    if (!split && !settings_known) check_run_inputs();
    return split;
}

bool PyHost::stop_trading_next_period() { return host_truth(stop_trading_); }

void PyHost::record_open(const engine::PositionMap& pos) {
    std::map<int, double> final_pos = pos.to_map();
    PyObject* done = g.xc.end_analysis(final_pos);
    if (done == nullptr) throw PyErrSet{};
    Py_DECREF(done);
    check_run_inputs();  // a record list that is no list runs the caller's code
}

void PyHost::after_host_code() { check_run_inputs(); }

[[noreturn]] void raise_invalid_price(const Run& r, int sid, int row, double value) {
    Ref symbol = Ref::borrow(r.pos_columns.at(sid));
    Ref name = label_text(symbol.get());
    char* repr = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (repr == nullptr) throw PyErrSet{};
    Ref text = Ref::steal_or_null(PyUnicode_FromFormat(msg::invalid_price, name.get(), row, repr));
    PyMem_Free(repr);
    if (!text) throw PyErrSet{};
    PyErr_SetObject(PyExc_ValueError, text.get());
    throw PyErrSet{};
}

[[noreturn]] void raise_unpriced(const Run& r, int sid) {
    Ref label = Ref::borrow(r.pos_columns.at(sid));
    Ref text = Ref::steal(PyObject_Str(label ? label.get() : Py_None));
    const char* utf8 = PyUnicode_AsUTF8(text.get());
    if (utf8 == nullptr) throw PyErrSet{};
    raise_format(PyExc_ValueError, msg::unpriced_weights, utf8);
}

}  // namespace torvex::pathsim
