// The engine's host for backtest_: the trade log is the excursion module,
// reached through its C-level table; the settings a resize reads are the
// module attributes RETAIN_COST_WHEN_REBALANCE and RESAMPLE as found at each
// read; the stop-trading switch is the caller's object, its truth taken at
// each use. After every call that may run the caller's code the run's input
// arrays are checked for a move.
#pragma once

#include "engine/host.hpp"
#include "torvex/pyref.hpp"

namespace torvex::pathsim {

struct Run;

class PyHost final : public engine::Host {
  public:
    explicit PyHost(PyObject* stop_trading_next_period) : stop_trading_(stop_trading_next_period) {}
    void record_date(int bar) override;
    void record_entry(int sid, double share, int charged) override;
    void record_exit(int sid, int charged) override;
    bool split_on_resize() override;
    bool stop_trading_next_period() override;
    void record_open(const engine::PositionMap& pos) override;
    void after_host_code() override;

  private:
    PyObject* stop_trading_;  // borrowed from the call
};

// The engine's faults that name a stock, raised as the module's exceptions
// with the stock's label from the run's position columns.
[[noreturn]] void raise_invalid_price(const Run& r, int sid, int row, double value);
[[noreturn]] void raise_unpriced(const Run& r, int sid);

}  // namespace torvex::pathsim
