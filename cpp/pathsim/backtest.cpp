// A run of backtest_ around the engine: the module's set-up, the engine's bar
// loop with this module as its host, the end of run and the run log.
#include "backtest.hpp"

#include <chrono>
#include <cstdint>

#include "finish.hpp"
#include "host.hpp"
#include "run.hpp"
#include "setup.hpp"

namespace torvex::pathsim {

const Run* running_run = nullptr;

namespace {

struct RunningScope {
    explicit RunningScope(const Run& r) noexcept { running_run = &r; }
    ~RunningScope() { running_run = nullptr; }
    RunningScope(const RunningScope&) = delete;
    RunningScope& operator=(const RunningScope&) = delete;
};

// Wall time in nanoseconds of the last run's set-up, bar loop and end of run,
// read by the benchmarks through torvex_pathsim_last_run_phases.
std::int64_t last_phases[3] = {0, 0, 0};

std::int64_t now_ns() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

Ref run_backtest(const RunArgs& a) {
    last_phases[0] = last_phases[1] = last_phases[2] = 0;
    const std::int64_t t0 = now_ns();
    run_log.run_started();
    PyHost host(a.stop_trading_next_period);
    Run r(a, host);
    const RunningScope running(r);
    setup_run(r);
    r.pos.set_priced(r.price_col);
    run_log.book.reset(static_cast<std::size_t>(r.nstocks));
    const std::int64_t t1 = now_ns();
    last_phases[0] = t1 - t0;
    try {
        engine::run_bars(r);
    } catch (const InvalidPrice& e) {
        raise_invalid_price(r, e.sid, e.bar, e.value);
    } catch (const UnpricedWeights& e) {
        raise_unpriced(r, e.sid);
    }
    const std::int64_t t2 = now_ns();
    last_phases[1] = t2 - t1;
    finish_run(r);
    last_phases[2] = now_ns() - t2;
    run_log.run_completed();
    return r.creturn_array.obj;
}

}  // namespace torvex::pathsim

// Phase times of the last run: out[0] set-up, out[1] bar loop, out[2] end of
// run, in nanoseconds; a phase the run did not complete (it raised) reads 0.
// Not part of the Python interface; benchmarks call it through ctypes on the
// module's shared object.
extern "C" __attribute__((visibility("default"))) void torvex_pathsim_last_run_phases(
    std::int64_t* out) noexcept {
    for (int i = 0; i < 3; ++i) out[i] = torvex::pathsim::last_phases[i];
}
