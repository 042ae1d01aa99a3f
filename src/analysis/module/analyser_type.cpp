#include "analysis/module/settings.hpp"
#include "analysis/module/types.hpp"
#include "analysis/module/values.hpp"

#include <new>

namespace avwatch::analysis {
namespace {

struct AnalyserObject {
    PyObject_HEAD
    ts::Analyser* analyser;
};

ts::Analyser& analyser_of(PyObject* self) { return *reinterpret_cast<AnalyserObject*>(self)->analyser; }

PyObject* analyser_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return at_boundary([&] {
        static const char* names[] = {"program", "pid_timeout", "start", nullptr};
        PyObject* program = Py_None;
        PyObject* pid_timeout = nullptr;
        PyObject* start = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OOO:Analyser", const_cast<char**>(names), &program,
                                         &pid_timeout, &start))
            throw ErrorSet{};
        Owned default_timeout = real(1.0);
        ts::Settings settings = settings_from(program, pid_timeout ? Borrowed(pid_timeout) : default_timeout);
        ts::Nanos origin = start ? nanos_from(start) : 0;
        Owned self = Owned::steal(type->tp_alloc(type, 0));
        reinterpret_cast<AnalyserObject*>(self.get())->analyser = new ts::Analyser(settings, origin);
        return self;
    });
}

void analyser_dealloc(PyObject* self) {
    delete reinterpret_cast<AnalyserObject*>(self)->analyser;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* analyser_datagram(PyObject* self, PyObject* const* args, Py_ssize_t count) {
    return at_boundary([&] {
        if (count != 2) {
            PyErr_SetString(PyExc_TypeError, "datagram(payload, arrival) takes 2 arguments");
            throw ErrorSet{};
        }
        ts::Nanos arrival = nanos_from(args[1]);
        Py_buffer view;
        check(PyObject_GetBuffer(args[0], &view, PyBUF_SIMPLE));
        analyser_of(self).datagram({static_cast<const std::uint8_t*>(view.buf), static_cast<std::size_t>(view.len)},
                                   arrival);
        PyBuffer_Release(&view);
        return none();
    });
}

PyObject* analyser_close_window(PyObject* self, PyObject* now) {
    return at_boundary([&] { return report_dict(analyser_of(self).close_window(nanos_from(now))); });
}

PyMethodDef methods[] = {
    {"datagram", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(analyser_datagram)), METH_FASTCALL,
     "datagram(payload, arrival): one UDP payload (raw TS or RTP) received at `arrival` seconds"},
    {"close_window", analyser_close_window, METH_O,
     "close_window(now) -> dict: the report of the window ending at `now` seconds; the next begins there"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(analyser_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(analyser_dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>("Analyser(*, program=None, pid_timeout=1.0, start=0.0): the transport-stream "
                                  "analyser fed by hand, with times in seconds on any monotonic clock")},
    {0, nullptr},
};

PyType_Spec spec = {"avwatch_analysis.Analyser", sizeof(AnalyserObject), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

Owned analyser_type() { return Owned::steal(PyType_FromSpec(&spec)); }

}  // namespace avwatch::analysis
