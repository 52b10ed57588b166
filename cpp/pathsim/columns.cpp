// Column map of a run.
#include "columns.hpp"

#include <string>

#include "engine/ledger.hpp"
#include "run.hpp"
#include "setup_cache.hpp"
#include "state.hpp"
#include "torvex/errors.hpp"
#include "watch.hpp"

namespace torvex::pathsim {
namespace {

// UTF-8 bytes of a column label, through the label's own `encode`.
std::string label_key(PyObject* label) {
    Ref bytes = Ref::steal(PyObject_CallMethodOneArg(label, g.s.encode, g.s.utf8));
    if (!PyBytes_Check(bytes.get())) {
        raise_format(PyExc_TypeError, "expected bytes, %.200s found",
                     Py_TYPE(bytes.get())->tp_name);
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
        check_run_inputs();  // a label's __str__ is the caller's code
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

void map_run_columns(Run& r) {
    const RunArgs& a = r.a;
    r.pos2price = cached_map_columns(a.price_columns, a.pos_columns, map_columns);
    // The labels' `encode` is the caller's code: the weights are read next.
    check_run_inputs();
    const Py_ssize_t ncols = r.b_pos_columns.size();
    r.price_col.assign(static_cast<std::size_t>(ncols), -1);
    for (const auto& [sid, pid] : r.pos2price) {
        if (sid >= 0 && sid < ncols) r.price_col[static_cast<std::size_t>(sid)] = pid;
    }
    check_unpriced_columns(r);
}

}  // namespace torvex::pathsim
