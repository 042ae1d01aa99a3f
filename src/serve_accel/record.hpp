// A rewritten status record: decoded by orjson, taken only when it is the
// usual record (the one serve's fast decoding takes without the judge's
// general checks), and judged by the signal rule.
#pragma once

#include "module/ref.hpp"

namespace avwatch::serve_accel {

// The records larger than this are the judge's to refuse (health.MAX_RECORD_BYTES).
inline constexpr Py_ssize_t max_record_bytes = 64 * 1024;

// The decoded record, or empty when it is not the usual one (not bytes, too
// large, not an object, not JSON, a field of another type or out of range):
// the Python judge then decides, as it always does for those.
Owned usual_record(PyObject* raw);

// health.signal_verdict of a usual record; `output` chooses the side's rule.
Owned signal_verdict(bool output, PyObject* record);

// A named tuple of `type` holding these items, as tuple.__new__ makes it.
Owned make_tuple(PyTypeObject* type, std::initializer_list<PyObject*> items);
// `made`, out of the cyclic collector's sight: for objects that can be in no cycle.
Owned untracked(Owned made);

}  // namespace avwatch::serve_accel
