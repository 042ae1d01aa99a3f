// The analysers' records that leave a side as the module's record judged
// it: the usual case, weighed here; every other one is left to the Python
// rules (evidence.weigh), which stay the reference.
#pragma once

#include "module/ref.hpp"

namespace avwatch::serve_accel {

// serve's --loudness-target and --loudness-tolerance.
struct Loudness {
    double target = -23.0;
    double tolerance = 5.0;
};

// The side's measured rate (a float) when `record` (the input analysis, or
// the HLS check with `output`) is fresh and shows no fault, its picture and
// sound included, so that evidence.weigh leaves an `ok` verdict as it is and
// evidence.measured gives that rate; empty when the Python rules must decide.
Owned healthy_rate(bool output, PyObject* record, double now, double stale_after, const Loudness& loudness);

}  // namespace avwatch::serve_accel
