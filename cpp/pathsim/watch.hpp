// The watch on the running run's input arrays, and the truth of the caller's
// objects followed by that watch.
#pragma once

#include "torvex/buffer.hpp"
#include "torvex/pyref.hpp"

namespace torvex::pathsim {

struct Run;

// After code of the caller may have run (a truth test, a replaced setting or
// record list): raises ValueError when an input array of the running run no
// longer has the memory and shape its buffer recorded (NumPy's
// resize(refcheck=False) moves memory even under a held buffer). Does nothing
// outside a run.
void check_run_inputs();

// Lists the run's input arrays for check_run_inputs; called once every input
// buffer is open.
void watch_inputs(Run& r);

// Raises that ValueError, naming the argument `name`, when the array of `b`
// has moved its memory or changed its shape since `b` was opened.
void check_unmoved(const Buffer& b, const char* name);

// Truth of an object of the caller's, followed by check_run_inputs() when
// telling it ran code (anything but True, False and None).
inline bool host_truth(PyObject* o) {
    if (o == Py_True) return true;
    if (o == Py_False || o == Py_None) return false;
    const bool t = truth(o);
    check_run_inputs();
    return t;
}

}  // namespace torvex::pathsim
