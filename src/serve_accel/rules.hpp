// The classes, constants and names the native judge shares with serve's
// Python modules: set once by configure(), then only read.
#pragma once

#include "module/ref.hpp"

namespace avwatch::serve_accel {

struct Rules {
    // orjson.loads and the error it raises for what is not JSON.
    PyObject* loads = nullptr;
    PyObject* decode_error = nullptr;
    PyObject* ok = nullptr;         // State.OK
    PyObject* no_signal = nullptr;  // State.NO_SIGNAL
    // Named tuples, made as tuple.__new__ makes them.
    PyTypeObject* verdict = nullptr;
    PyTypeObject* judged = nullptr;
    PyTypeObject* side_view = nullptr;
    PyTypeObject* pipe_view = nullptr;
    PyTypeObject* channel_view = nullptr;
};

// Interned strings: record fields, reasons, attribute and method names.
struct Names {
    PyObject *acodec, *vcodec, *vresolution, *lastts, *vfps, *vbitrate, *abitrate, *bitrate, *name;
    PyObject *bitrate_zero, *no_segment, *newest_segment, *probe_answered, *initial_record, *no_answer;
    PyObject *input_at, *output_at, *seen, *judged, *view, *row, *id, *channel, *pipe;
    PyObject *raw, *live, *pipes, *shown, *stale_after, *history, *current, *side, *read_channel;
    PyObject *analysis_at, *analysis, *record, *parsed, *hls, *records, *key;
    // The analysers' record fields (evidence.py), and the window's counters of evidence.INPUT_COUNTERS.
    PyObject *time, *data_age, *in_sync, *window, *stale, *checks_failed, *error_times;
    // What viewers see and hear (content_evidence.py), and the refresher's loudness settings.
    PyObject *black, *frozen, *silent, *loudness, *loudness_minute, *loudness_target, *loudness_tolerance;
    PyObject* window_counters[7];
};

const Rules& rules();
const Names& names();
// Fills both; false with an error set when an argument is not what serve passes.
bool configure(PyObject* const* args, Py_ssize_t count);

}  // namespace avwatch::serve_accel
