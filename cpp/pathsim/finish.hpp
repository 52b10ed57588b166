// End of a run: the trade log is closed and the stock-operations record rebuilt.
#pragma once

namespace torvex::pathsim {

struct Run;

void finish_run(Run& r);

}  // namespace torvex::pathsim
