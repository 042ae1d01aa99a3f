// The analysers' records that leave a side as the module's record judged
// it: the usual case, weighed here; every other one is left to the Python
// rules (evidence.weigh), which stay the reference.
#pragma once

#include "module/ref.hpp"

namespace avwatch::serve_accel {

// The side's measured rate (a float) when `record` (the input analysis, or
// the HLS check with `output`) is fresh and shows no fault, so that
// evidence.weigh leaves an `ok` verdict as it is and evidence.measured gives
// that rate; empty when the Python rules must decide.
Owned healthy_rate(bool output, PyObject* record, double now, double stale_after);

}  // namespace avwatch::serve_accel
