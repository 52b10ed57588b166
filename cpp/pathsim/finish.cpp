// End of a run: positions still open go to the trade log, and the
// stock-operations record (executed and pending weights, per-stock actions) is
// rebuilt. The weight arithmetic runs on host numbers, so the record holds the
// same NumPy scalars and floats a caller would compute from the weight table.
#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL torvex_pathsim_ARRAY_API
#include "finish.hpp"

#include <numpy/arrayobject.h>

#include "host_float.hpp"
#include "run.hpp"
#include "state.hpp"
#include "torvex/capi.hpp"
#include "torvex/scalars.hpp"
#include "watch.hpp"

namespace torvex::pathsim {
namespace {

struct Labels {
    PyObject *enter, *exit, *hold, *tp, *sl, *tp_enter, *sl_enter, *tp_, *sl_;
};

const Labels& labels() {
    static const Labels l{intern("enter"),    intern("exit"), intern("hold"),
                          intern("tp"),       intern("sl"),   intern("tp_enter"),
                          intern("sl_enter"), intern("tp_"),  intern("sl_")};
    return l;
}

Ref f64(double v) { return float64_scalar(v); }

void set_item(PyObject* dict, int key, PyObject* value) {
    Ref k = py_long(key);
    check(PyDict_SetItem(dict, k.get(), value));
}

void accumulate_abs(Ref& total, PyObject* value) {
    Ref a = Ref::steal(PyNumber_Absolute(value));
    total = Ref::steal(PyNumber_Add(total.get(), a.get()));
}

// 0 + |w0| + |w1| + ... over the float64 scalars of a row, as the host's
// operators sum them: in C while no operand is NaN and no step raises a
// floating-point exception (host_float.hpp), through the operators from the
// first step that does.
class AbsSum {
  public:
    void add(PyObject* weight) {
        if (!host_) {
            HostFloat w;
            if (read_host_float(weight, w)) {
                const FpWatch watch;
                const HostFloat next =
                    host_add(started_ ? sum_ : HostFloat{0.0, false}, host_abs(w));
                if (watch.clean()) {
                    sum_ = next;
                    started_ = true;
                    return;
                }
            }
            host_ = started_ ? host_object(sum_) : py_long(0);
        }
        accumulate_abs(host_, weight);
    }
    // The sum as the host's operators leave it: the int 0 when nothing was added.
    Ref total() const {
        if (host_) return host_;
        return started_ ? host_object(sum_) : py_long(0);
    }
    // The sum when it was computed in C and is a number.
    bool known(HostFloat& out) const {
        out = started_ ? sum_ : HostFloat{0.0, false};
        return !host_;
    }

  private:
    HostFloat sum_{0.0, false};
    bool started_ = false;
    Ref host_;
};

// dict[k] = dict[k] / max(1, total) for every key.
void scale_down(PyObject* dict, PyObject* total) {
    Ref one = py_long(1);
    PyObject* divisor = compare(total, one.get(), Py_GT) ? total : one.get();
    Ref keys = Ref::steal(PyDict_Keys(dict));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        PyObject* k = PyList_GET_ITEM(keys.get(), i);
        Ref v = Ref::borrow(PyDict_GetItemWithError(dict, k));
        if (!v) {
            check_pending();
            continue;
        }
        Ref scaled = Ref::steal(PyNumber_TrueDivide(v.get(), divisor));
        check(PyDict_SetItem(dict, k, scaled.get()));
    }
}

// scale_down of a dict the run filled (int keys, float64 scalars and ints)
// by a sum computed in C: each float64 scalar is divided in C while that
// raises no exception, anything else through the host's operators.
void scale_down(PyObject* dict, const AbsSum& sum) {
    HostFloat total;
    if (!sum.known(total)) {
        scale_down(dict, sum.total().get());
        return;
    }
    // Divided by the sum when it exceeds 1, else by the int 1 (which gives
    // each float64 scalar's own value).
    const bool by_sum = total.v > 1.0;
    Ref divisor;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        Ref scaled;
        HostFloat w;
        if (Py_IS_TYPE(value, &PyDoubleArrType_Type) && read_host_float(value, w)) {
            const FpWatch watch;
            const HostFloat q = by_sum ? host_div(w, total) : w;
            if (watch.clean()) scaled = host_object({q.v, true});
        }
        if (!scaled) {
            if (!divisor) divisor = by_sum ? host_object(total) : py_long(1);
            scaled = Ref::steal(PyNumber_TrueDivide(value, divisor.get()));
        }
        // Replacing the value of a key present changes no position of the dict.
        check(PyDict_SetItem(dict, key, scaled.get()));
    }
}

const StopExit* find_stock(const std::vector<StopExit>& v, int sid) {
    for (const StopExit& e : v)
        if (e.sid == sid) return &e;
    return nullptr;
}

// The record's four parts, installed as the module's record before they are
// filled (a failure on the way leaves it partly filled, as the run left it).
struct Record {
    PyObject* rec;
    Ref actions, weights, next_weights;
};

Record new_record() {
    Ref record = Ref::steal(PyDict_New());
    Record out{nullptr, Ref::steal(PyDict_New()), Ref::steal(PyDict_New()),
               Ref::steal(PyDict_New())};
    check(PyDict_SetItem(record.get(), g.s.actions, out.actions.get()));
    check(PyDict_SetItem(record.get(), g.s.weights, out.weights.get()));
    check(PyDict_SetItem(record.get(), g.s.next_weights, out.next_weights.get()));
    g.stock_operations.reset(record);
    out.rec = g.stock_operations.object();
    return out;
}

// Executed weights: the row of the last executed rebalance, 0 for stocks no
// longer held, scaled down when the row's gross weight exceeds 1.
void executed_weights(const Run& r, PyObject* weights) {
    Ref zero = py_long(0);
    AbsSum latest_weight_sum;
    if (!r.latest_rebalanced_keys.empty()) {
        const View1<double> row = r.pos_values.row_at(r.current_position_id);
        for (int sid : r.latest_rebalanced_keys) {
            Ref weight = f64(row.at(sid));
            set_item(weights, sid, held(r.pos, sid) ? weight.get() : zero.get());
            latest_weight_sum.add(weight.get());
        }
    }
    scale_down(weights, latest_weight_sum);
}

// Pending weights: the row in force, without stocks stopped out when those
// stay out of the next rebalance; with the two row indexes.
void pending_weights(const Run& r, const Record& out) {
    const RunArgs& a = r.a;
    View1<double> next_row;
    if (r.pos_id != r.current_position_id) {
        next_row = r.pos_values.row_at(r.pos_id);
    } else {
        next_row = r.latest_row_is_copy
                       ? View1<double>(r.latest_rebalanced_row.data(),
                                       static_cast<Py_ssize_t>(r.latest_rebalanced_row.size()))
                       : r.pos_values.row_at(r.current_position_id);
    }
    AbsSum total_next_weight_sum;
    for (int sid = 0; sid < next_row.n; ++sid) {
        Ref val1 = f64(next_row(sid));
        bool skip = false, dropped = false;
        if (host_truth(a.stop_trading_next_period)) {
            if (find_stock(r.exited_stocks, sid) != nullptr) {
                skip = true;
                dropped = true;
            } else if (find_stock(r.exit_stocks, sid) != nullptr) {
                skip = true;
                dropped = held(r.pos, sid);
            }
        }
        if (!(dropped && r.should_rebalance)) total_next_weight_sum.add(val1.get());
        if (!skip && next_row(sid) != 0.0) set_item(out.next_weights.get(), sid, val1.get());
    }
    Ref weight_time = py_long(r.current_position_id);
    check(PyDict_SetItem(out.rec, g.s.weight_time, weight_time.get()));
    Ref next_weight_time = py_long(r.pos_id);
    check(PyDict_SetItem(out.rec, g.s.next_weight_time, next_weight_time.get()));
    scale_down(out.next_weights.get(), total_next_weight_sum);
}

// Both weight mappings through the module's normalize_weight, as found now.
void normalize_record(const Run& r, PyObject* rec) {
    Ref limit = py_float(r.a.position_limit);
    for (PyObject* key : {g.s.weights, g.s.next_weights}) {
        Ref fn = get_global(g.dict, g.s.normalize_weight);
        Ref current = Ref::borrow(PyDict_GetItemWithError(rec, key));
        if (!current) {
            check_pending();
            raise_format(PyExc_KeyError, "%U", key);
        }
        PyObject* call_args[] = {current.get(), limit.get()};
        Ref normalized = Ref::steal(PyObject_Vectorcall(fn.get(), call_args, 2, nullptr));
        check(PyDict_SetItem(rec, key, normalized.get()));
    }
}

// Actions of a due rebalance: enter, exit or hold per stock of its row.
void rebalance_actions(const Run& r, PyObject* actions) {
    if (!r.should_rebalance) return;
    const Labels& L = labels();
    const View1<double> target = r.pos_values.row_at(r.pos_id);
    for (int sid = 0; sid < target.n; ++sid) {
        const double val0 = target(sid);
        if (!held(r.pos, sid)) {
            if (val0 != 0.0) set_item(actions, sid, L.enter);
        } else {
            set_item(actions, sid, val0 == 0.0 ? L.exit : L.hold);
        }
    }
}

// Pending stop exits, detected at the last close: "tp"/"sl", or
// "tp_enter"/"sl_enter" when the row in force buys the stock again.
void pending_stop_actions(const Run& r, PyObject* rec, PyObject* actions) {
    const RunArgs& a = r.a;
    const Labels& L = labels();
    Ref zero = py_long(0);
    const int64_t date = r.price_index.n > 0 ? r.price_index(r.price_index.n - 1) : 0;
    for (const StopExit& e : r.exit_stocks) {
        const int stock = e.sid;
        PyObject* label = e.take_profit() ? L.tp : L.sl;
        if (host_truth(a.stop_trading_next_period) || date > r.pos_index.at(r.pos_id)) {
            set_item(actions, stock, label);
            continue;
        }
        Ref k = py_long(stock);
        Ref pending = Ref::steal(PyObject_GetItem(rec, g.s.next_weights));
        int present = PySequence_Contains(pending.get(), k.get());
        check(present);
        if (!present) continue;
        Ref w = Ref::steal(PyObject_GetItem(pending.get(), k.get()));
        if (compare(w.get(), zero.get(), Py_NE))
            set_item(actions, stock, e.take_profit() ? L.tp_enter : L.sl_enter);
        check_run_inputs();  // the pending weights may be the caller's mapping
    }
}

// Stop exits executed since the last rebalance: "tp_"/"sl_".
void executed_stop_actions(const Run& r, PyObject* actions) {
    const Labels& L = labels();
    for (const StopExit& e : r.exited_stocks) {
        const int stock = e.sid;
        Ref k = py_long(stock);
        int present = PyDict_Contains(actions, k.get());
        check(present);
        if (host_truth(r.a.stop_trading_next_period) || !present)
            set_item(actions, stock, e.take_profit() ? L.tp_ : L.sl_);
    }
}

}  // namespace

void finish_run(Run& r) {
    engine::close_open_trades(r);
    const Record out = new_record();
    executed_weights(r, out.weights.get());
    pending_weights(r, out);
    normalize_record(r, out.rec);
    check_run_inputs();  // normalize_weight may be the caller's
    rebalance_actions(r, out.actions.get());
    pending_stop_actions(r, out.rec, out.actions.get());
    executed_stop_actions(r, out.actions.get());
}

}  // namespace torvex::pathsim
