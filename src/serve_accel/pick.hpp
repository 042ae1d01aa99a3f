// What serve keeps of an analyser's record: the fields it shows, one of them
// (a dict of counters) without its zero entries, in C, as a 100,000-pipe
// refresh picks them out of every rewritten record.
#pragma once

#include "module/ref.hpp"

namespace avwatch::serve_accel {

// pick(record, names, sparse) -> dict: the entries of `record` (a dict)
// named in `names` (a tuple), in that order; the entry named `sparse`, when
// a dict, copied without the values equal to 0.  analysis.pick_fields is the
// same in Python.
Owned pick(PyObject* record, PyObject* names, PyObject* sparse);

}  // namespace avwatch::serve_accel
