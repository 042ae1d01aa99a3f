#include "serve_accel/rules.hpp"

#include <iterator>

namespace avwatch::serve_accel {
namespace {

Rules configured;
Names interned;
bool names_ready = false;

PyObject* intern(const char* text) {
    PyObject* made = PyUnicode_InternFromString(text);
    if (made == nullptr)
        throw ErrorSet{};
    return made;   // kept for the life of the process
}

void make_names() {
    Names& n = interned;
    n.acodec = intern("acodec");
    n.vcodec = intern("vcodec");
    n.vresolution = intern("vresolution");
    n.lastts = intern("lastts");
    n.vfps = intern("vfps");
    n.vbitrate = intern("vbitrate");
    n.abitrate = intern("abitrate");
    n.bitrate = intern("bitrate");
    n.name = intern("name");
    // The judge's reasons, word for word (health.signal_verdict).
    n.bitrate_zero = intern("bitrate 0: no fresh segment");
    n.no_segment = intern("no segment name");
    n.newest_segment = intern("newest segment ");
    n.probe_answered = intern("the probe answered");
    n.initial_record = intern("the output monitor's initial record: no probe yet");
    n.no_answer = intern("the probe got no answer");
    n.input_at = intern("input_at");
    n.output_at = intern("output_at");
    n.seen = intern("seen");
    n.judged = intern("judged");
    n.view = intern("view");
    n.row = intern("row");
    n.id = intern("id");
    n.channel = intern("channel");
    n.pipe = intern("pipe");
    n.raw = intern("raw");
    n.live = intern("live");
    n.pipes = intern("pipes");
    n.shown = intern("shown");
    n.stale_after = intern("stale_after");
    n.history = intern("history");
    n.current = intern("current");
    n.side = intern("side");
    n.read_channel = intern("read_channel");
    n.analysis_at = intern("analysis_at");
    n.analysis = intern("analysis");
    n.record = intern("record");
    n.parsed = intern("parsed");
    n.key = intern("key");
    n.hls = intern("hls");
    n.records = intern("records");
    n.time = intern("time");
    n.data_age = intern("data_age");
    n.in_sync = intern("in_sync");
    n.window = intern("window");
    n.stale = intern("stale");
    n.checks_failed = intern("checks_failed");
    n.error_times = intern("error_times");
    n.black = intern("black");
    n.frozen = intern("frozen");
    n.silent = intern("silent");
    n.loudness = intern("loudness");
    n.loudness_minute = intern("loudness_minute");
    n.loudness_target = intern("loudness_target");
    n.loudness_tolerance = intern("loudness_tolerance");
    const char* counters[] = {"continuity_errors", "lost_packets", "sync_losses", "sync_byte_errors",
                              "pat_errors", "pmt_errors", "pid_errors"};
    static_assert(std::size(counters) == std::size(Names{}.window_counters));
    for (std::size_t at = 0; at < std::size(counters); ++at)
        n.window_counters[at] = intern(counters[at]);
}

// A named tuple class: a tuple subclass that adds no storage to the tuple.
PyTypeObject* tuple_class(PyObject* object) {
    if (!PyType_Check(object) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(object), &PyTuple_Type)) {
        PyErr_SetString(PyExc_TypeError, "configure: a tuple subclass was expected");
        throw ErrorSet{};
    }
    auto* type = reinterpret_cast<PyTypeObject*>(object);
    if (type->tp_basicsize != PyTuple_Type.tp_basicsize || type->tp_itemsize != PyTuple_Type.tp_itemsize ||
        type->tp_dictoffset != 0) {
        PyErr_SetString(PyExc_TypeError, "configure: a named tuple without instance storage was expected");
        throw ErrorSet{};
    }
    return type;
}

}  // namespace

const Rules& rules() { return configured; }
const Names& names() { return interned; }

bool configure(PyObject* const* args, Py_ssize_t count) {
    if (count != 9) {
        PyErr_SetString(PyExc_TypeError,
                        "configure(loads, decode_error, ok, no_signal, Verdict, Judged, SideView, PipeView, "
                        "ChannelView)");
        return false;
    }
    try {
        if (!names_ready) {
            make_names();
            names_ready = true;
        }
        Rules next;
        next.verdict = tuple_class(args[4]);
        next.judged = tuple_class(args[5]);
        next.side_view = tuple_class(args[6]);
        next.pipe_view = tuple_class(args[7]);
        next.channel_view = tuple_class(args[8]);
        if (!PyCallable_Check(args[0]) || !PyExceptionClass_Check(args[1])) {
            PyErr_SetString(PyExc_TypeError, "configure: loads must be callable and decode_error a class");
            return false;
        }
        next.loads = args[0];
        next.decode_error = args[1];
        next.ok = args[2];
        next.no_signal = args[3];
        // Held for the life of the process, as the module's own state.
        PyObject* held[] = {next.loads, next.decode_error, next.ok, next.no_signal,
                            args[4], args[5], args[6], args[7], args[8]};
        for (PyObject* object : held)
            Py_INCREF(object);
        configured = next;
        return true;
    } catch (const ErrorSet&) {
        return false;
    }
}

}  // namespace avwatch::serve_accel
