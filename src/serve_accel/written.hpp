// When each status record was last written, for a refresh of every pipe:
// WriteTimes.written's pass over the values, in C.
#pragma once

#include "module/ref.hpp"

namespace avwatch::serve_accel {

// note_writes(values, last_values, changed_at, channels, notified, floors, now)
// -> list of float or None, as freshness.note_writes returns; updates
// last_values and changed_at in place as it does.
Owned note_writes(PyObject* values, PyObject* last_values, PyObject* changed_at, PyObject* channels,
                  PyObject* notified, PyObject* floors, PyObject* now);

}  // namespace avwatch::serve_accel
