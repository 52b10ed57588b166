// The run: set-up, bar loop, end of run.
#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL torvex_pathsim_ARRAY_API
#include "common/capi.hpp"

#include <numpy/arrayobject.h>

#include "run.hpp"
#include "state.hpp"

namespace torvex::pathsim {

Ref run_backtest(const RunArgs& a) {
    Run r(a);
    setup_run(r);
    for (Py_ssize_t d = 0; d < r.creturn.n; ++d) r.creturn.data[d] = 1.0;
    return r.creturn.obj;
}

}  // namespace torvex::pathsim
