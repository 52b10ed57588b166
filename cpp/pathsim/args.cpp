// Argument layer of backtest_: matching, conversion of each argument by the
// parameter table (params.hpp), the array type test and the text signature.
// The run itself starts in run_backtest.
#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL torvex_pathsim_ARRAY_API
#include "args.hpp"

#include <numpy/arrayobject.h>

#include <string>

#include "backtest.hpp"
#include "params.hpp"
#include "state.hpp"
#include "torvex/argparse.hpp"
#include "torvex/buffer.hpp"
#include "torvex/errors.hpp"

namespace torvex::pathsim {
namespace {

ArgParser<n_params> parser("backtest_", param_names, n_required);

// One converter per kind; `dflt` is taken when the argument was not given.
template <Kind K>
struct Convert;

template <>
struct Convert<Kind::Object> {
    static PyObject* get(PyObject* o, PyObject* dflt) { return o ? o : dflt; }
};

template <>
struct Convert<Kind::Double> {
    static double get(PyObject* o, double dflt) {
        if (o == nullptr) return dflt;
        double v = PyFloat_CheckExact(o) ? PyFloat_AS_DOUBLE(o) : PyFloat_AsDouble(o);
        if (v == -1.0 && PyErr_Occurred()) throw PyErrSet{};
        return v;
    }
};

template <>
struct Convert<Kind::Bool> {
    static bool get(PyObject* o, bool dflt) { return o == nullptr ? dflt : truth(o); }
};

template <>
struct Convert<Kind::Int32> {
    static int get(PyObject* o, int dflt) {
        if (o == nullptr) return dflt;
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (v == -1 && PyErr_Occurred()) throw PyErrSet{};
        if (overflow != 0) raise_int_overflow();
        return to_int32(v);
    }
};

// None, or a 1-D int64 buffer (checked here, opened again by the run, which
// holds it for as long as it reads it).
template <>
struct Convert<Kind::Int64Buffer> {
    static PyObject* get(PyObject* o, PyObject* dflt) {
        PyObject* v = o ? o : dflt;
        if (v != Py_None) {
            Buffer probe;
            probe.open(v, Elem::i64, 1);
        }
        return v;
    }
};

// The required arrays: an ndarray or None.
void check_array(PyObject* o, const char* name) {
    if (o != Py_None && !PyArray_Check(o)) raise_argument_type(name, PyArray_Type.tp_name, o);
}

RunArgs convert(const std::array<PyObject*, n_params>& v) {
    RunArgs a{};
    // Optional arguments first, in parameter order: the first failure ends the
    // call. Then the type test of the arrays.
#define TORVEX_REQ(name)
#define TORVEX_OPT(name, kind, dflt, text) a.name = Convert<Kind::kind>::get(v[param::name], dflt);
    TORVEX_BACKTEST_PARAMS(TORVEX_REQ, TORVEX_OPT)
#undef TORVEX_REQ
#undef TORVEX_OPT
#define TORVEX_REQ(name)     \
    a.name = v[param::name]; \
    check_array(a.name, #name);
#define TORVEX_OPT(...)
    TORVEX_BACKTEST_PARAMS(TORVEX_REQ, TORVEX_OPT)
#undef TORVEX_REQ
#undef TORVEX_OPT
    return a;
}

// How the signature shows a default: its text from the table, else its repr.
std::string default_text(const char* text, PyObject* value) {
    if (text != nullptr) return text;
    Ref r = Ref::steal(PyObject_Repr(value));
    const char* utf8 = PyUnicode_AsUTF8(r.get());
    if (utf8 == nullptr) throw PyErrSet{};
    return utf8;
}
Ref default_object(double v) { return py_float(v); }
Ref default_object(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
Ref default_object(int v) { return py_long(v); }
Ref default_object(PyObject* v) { return Ref::borrow(v); }

}  // namespace

void init_backtest_args() { parser.init(); }

std::string backtest_signature() {
    std::string sig = "backtest_(";
    auto add = [&](const char* name) {
        if (sig.back() != '(') sig += ", ";
        sig += name;
    };
#define TORVEX_REQ(name) add(#name);
#define TORVEX_OPT(name, kind, dflt, text) \
    add(#name);                            \
    sig += '=';                            \
    sig.append(default_text(text, default_object(dflt).get()));
    TORVEX_BACKTEST_PARAMS(TORVEX_REQ, TORVEX_OPT)
#undef TORVEX_REQ
#undef TORVEX_OPT
    return sig + ")";
}

PyObject* backtest_(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* result = nullptr;
    guard([&] {
        if (g.running) raise(PyExc_RuntimeError, msg::already_running);
        std::array<PyObject*, n_params> v;
        parser.parse(args, nargs, kwnames, v);
        const RunArgs a = convert(v);

        // The trade log creates a few small acyclic objects per trade; cyclic
        // collections triggered by them would traverse the growing log again and
        // again, so the collector pauses for the run (and resumes as it was).
        g.running = true;
        struct RunScope {
            int gc_was_enabled = PyGC_Disable();
            ~RunScope() {
                if (gc_was_enabled) PyGC_Enable();
                g.running = false;
            }
        } scope;
        result = run_backtest(a).release();
    });
    return result;
}

}  // namespace torvex::pathsim
