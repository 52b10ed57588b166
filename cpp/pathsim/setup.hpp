// Set-up of a run, up to its first bar.
#pragma once

namespace torvex::pathsim {

struct Run;

void setup_run(Run& r);

}  // namespace torvex::pathsim
