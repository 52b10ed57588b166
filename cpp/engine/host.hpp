// What a run asks of the code that hosts it. The engine is plain C++; where a
// run meets its host (the trade log's records, the run-wide settings a resize
// reads, the stop-trading switch, the point after which the host's own code
// may have run), it calls one of these. Calls happen per bar, per ledger call
// and per exit, never per position and bar.
//
// Two hosts implement it: the Python module `pathsim`, whose trade log, module
// settings and switches are Python objects looked up as the run goes, and the
// typed entry `_engine`, whose are plain values and a columnar trade log.
#pragma once

#include <cstdint>

namespace torvex::engine {

class PositionMap;

class Host {
  public:
    virtual ~Host() = default;
    // The bar the trade log records entries and exits at.
    virtual void record_date(int bar) = 0;
    // A trade of `sid` opens with `share` of equity; `charged`: its entry fee is charged.
    virtual void record_entry(int sid, double share, int charged) = 0;
    // The trade of `sid` ends at the recorded bar; `charged`: its exit is charged.
    virtual void record_exit(int sid, int charged) = 0;
    // Whether resizing a held position ends its trade and opens another (the
    // trade log splits it): the run-wide settings as the host reads them now.
    virtual bool split_on_resize() = 0;
    // Whether stocks stopped out stay out of the next rebalance.
    virtual bool stop_trading_next_period() = 0;
    // After the last bar: the positions still held (0.0 is no holding) are
    // recorded as open trades.
    virtual void record_open(const PositionMap& pos) = 0;
    // Called where the host's own code may have run since the run last read its
    // inputs (a Python host checks that no input array moved).
    virtual void after_host_code() {}
};

}  // namespace torvex::engine
