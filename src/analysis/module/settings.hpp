// The analysis settings as the constructors take them from Python.
#pragma once

#include "analysis/ts/analyser.hpp"
#include "module/ref.hpp"

namespace avwatch::analysis {

// program: None or 1..65535; pid_timeout: seconds > 0.
ts::Settings settings_from(Borrowed program, Borrowed pid_timeout);

}  // namespace avwatch::analysis
