// avwatch_serve_accel: serve's judge of rewritten records, in C.  Optional:
// serve uses it when it is installed and judges in Python otherwise.
#include "module/api.hpp"
#include "serve_accel/judge.hpp"
#include "serve_accel/pick.hpp"
#include "serve_accel/rules.hpp"
#include "serve_accel/written.hpp"

namespace {

using namespace avwatch;

PyObject* configure(PyObject*, PyObject* const* args, Py_ssize_t count) {
    if (!serve_accel::configure(args, count))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* judge_channels(PyObject*, PyObject* const* args, Py_ssize_t count) {
    if (count != 7) {
        PyErr_SetString(PyExc_TypeError,
                        "judge_channels(refresher, channels, values, status_values, written, now, analysis_values)");
        return nullptr;
    }
    return at_boundary(
        [&] { return serve_accel::judge_channels(args[0], args[1], args[2], args[3], args[4], args[5], args[6]); });
}

PyObject* note_writes(PyObject*, PyObject* const* args, Py_ssize_t count) {
    if (count != 7) {
        PyErr_SetString(PyExc_TypeError,
                        "note_writes(values, last_values, changed_at, channels, notified, floors, now)");
        return nullptr;
    }
    return at_boundary(
        [&] { return serve_accel::note_writes(args[0], args[1], args[2], args[3], args[4], args[5], args[6]); });
}

PyObject* pick(PyObject*, PyObject* const* args, Py_ssize_t count) {
    if (count != 3) {
        PyErr_SetString(PyExc_TypeError, "pick(record, names, sparse)");
        return nullptr;
    }
    return at_boundary([&] { return serve_accel::pick(args[0], args[1], args[2]); });
}

PyMethodDef methods[] = {
    {"configure", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(configure)), METH_FASTCALL,
     "configure(loads, decode_error, ok, no_signal, Verdict, Judged, SideView, PipeView, ChannelView)\n"
     "The decoder and classes serve's judge uses; once, before judge_channels."},
    {"judge_channels", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(judge_channels)), METH_FASTCALL,
     "judge_channels(refresher, channels, values, status_values, written, now, analysis_values) -> list\n"
     "Refresher.judge_channels, with the usual rewritten record judged here."},
    {"note_writes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(note_writes)), METH_FASTCALL,
     "note_writes(values, last_values, changed_at, channels, notified, floors, now) -> list\n"
     "Each value's write time, as freshness.note_writes gives it, updating the lists as it does."},
    {"pick", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pick)), METH_FASTCALL,
     "pick(record, names, sparse) -> dict\n"
     "The record's entries named in names; the one named sparse without its counters equal to 0."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "avwatch_serve_accel", "serve's judge of rewritten records, in C.", -1, methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_avwatch_serve_accel() { return PyModule_Create(&definition); }
