#include "analysis/input/watch.hpp"
#include "analysis/module/settings.hpp"
#include "analysis/module/types.hpp"
#include "analysis/module/values.hpp"

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <system_error>

namespace avwatch::analysis {
namespace {

// How often a waiting call looks for a pending signal (Ctrl-C).
constexpr ts::Nanos signal_check = ts::millis(100);

// Shared, so that a close() from another thread while next_report() waits
// without the interpreter lock leaves the waiting call a live watch.
using SharedWatch = std::shared_ptr<input::Watch>;

struct WatchObject {
    PyObject_HEAD
    SharedWatch* watch;  // null once closed
};

SharedWatch* watch_of(PyObject* self) { return reinterpret_cast<WatchObject*>(self)->watch; }

// Drops a reference without the interpreter lock: the last one joins the thread.
void release(SharedWatch watch) {
    WithoutGil released;
    watch.reset();
}

// The receive layer's errors as the Python errors they are.
[[noreturn]] void raise_native(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const input::PrivilegeMissing& missing) {
        PyErr_SetString(PyExc_PermissionError, missing.what());
    } catch (const std::invalid_argument& bad) {
        PyErr_SetString(PyExc_ValueError, bad.what());
    } catch (const std::system_error& failed) {
        Owned args = Owned::steal(Py_BuildValue("(is)", failed.code().value(), failed.what()));
        PyErr_SetObject(PyExc_OSError, args.get());
    }
    throw ErrorSet{};
}

PyObject* watch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return at_boundary([&] {
        static const char* names[] = {"uri", "program", "pid_timeout", "window", nullptr};
        const char* uri = nullptr;
        PyObject* program = Py_None;
        PyObject* pid_timeout = nullptr;
        PyObject* window = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|$OOO:Watch", const_cast<char**>(names), &uri, &program,
                                         &pid_timeout, &window))
            throw ErrorSet{};
        Owned one_second = real(1.0);
        input::WatchSettings settings;
        settings.analysis = settings_from(program, pid_timeout ? Borrowed(pid_timeout) : one_second);
        settings.window = nanos_from(window ? Borrowed(window) : one_second);
        if (settings.window < ts::millis(10)) {
            PyErr_SetString(PyExc_ValueError, "window must be at least 0.01 s");
            throw ErrorSet{};
        }
        Owned self = Owned::steal(type->tp_alloc(type, 0));
        try {
            reinterpret_cast<WatchObject*>(self.get())->watch =
                new SharedWatch(std::make_shared<input::Watch>(uri, settings));
        } catch (const std::bad_alloc&) {
            throw;
        } catch (...) {
            raise_native(std::current_exception());
        }
        return self;
    });
}

void watch_dealloc(PyObject* self) {
    if (SharedWatch* watch = watch_of(self)) {
        Py_BEGIN_ALLOW_THREADS  // the thread ends within one drain interval
        delete watch;
        Py_END_ALLOW_THREADS
    }
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

SharedWatch open_watch(PyObject* self) {
    SharedWatch* watch = watch_of(self);
    if (watch == nullptr) {
        PyErr_SetString(PyExc_ValueError, "the watch is closed");
        throw ErrorSet{};
    }
    return *watch;
}

PyObject* watch_next_report(PyObject* self, PyObject* timeout) {
    return at_boundary([&]() -> Owned {
        SharedWatch watch = open_watch(self);
        ts::Nanos deadline = input::monotonic_now() + std::max<ts::Nanos>(0, nanos_from(timeout));
        while (true) {
            ts::Nanos slice = std::min(deadline, input::monotonic_now() + signal_check);
            std::optional<ts::Report> report;
            std::exception_ptr error;
            {
                WithoutGil released;
                try {
                    report = watch->next(slice);
                } catch (...) {
                    error = std::current_exception();
                }
            }
            if (error) {
                release(std::move(watch));
                raise_native(error);
            }
            if (report) {
                release(std::move(watch));
                return report_dict(*report);
            }
            check(PyErr_CheckSignals());
            // Closed meanwhile, or the time is up.
            if (watch_of(self) == nullptr || input::monotonic_now() >= deadline) {
                release(std::move(watch));
                return none();
            }
        }
    });
}

PyObject* watch_close(PyObject* self, PyObject*) {
    return at_boundary([&] {
        SharedWatch* watch = std::exchange(reinterpret_cast<WatchObject*>(self)->watch, nullptr);
        if (watch != nullptr) {
            WithoutGil released;
            delete watch;  // the thread stops here unless a waiting call still holds it
        }
        return none();
    });
}

PyObject* watch_enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* watch_exit(PyObject* self, PyObject* const*, Py_ssize_t) { return watch_close(self, nullptr); }

PyObject* watch_method(PyObject* self, void*) {
    return at_boundary([&] { return text(open_watch(self)->method()); });
}

PyObject* watch_dropped(PyObject* self, void*) {
    return at_boundary([&] { return Owned::steal(PyLong_FromUnsignedLongLong(open_watch(self)->dropped())); });
}

PyMethodDef methods[] = {
    {"next_report", watch_next_report, METH_O,
     "next_report(timeout) -> dict | None: the oldest report not yet taken, waiting `timeout` seconds at most"},
    {"close", watch_close, METH_NOARGS, "close(): stop receiving and release the socket"},
    {"__enter__", watch_enter, METH_NOARGS, nullptr},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(watch_exit)), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getters[] = {
    {"method", watch_method, nullptr,
     "how the input is received: 'packet socket', or 'packet socket + membership' for a group", nullptr},
    {"dropped_reports", watch_dropped, nullptr, "reports dropped because none was taken in time", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(watch_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(watch_dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getters},
    {Py_tp_doc, const_cast<char*>("Watch(uri, *, program=None, pid_timeout=1.0, window=1.0): receives a udp:// "
                                  "or rtp:// input beside its other receivers and reports once per window")},
    {0, nullptr},
};

PyType_Spec spec = {"avwatch_analysis.Watch", sizeof(WatchObject), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

Owned watch_type() { return Owned::steal(PyType_FromSpec(&spec)); }

}  // namespace avwatch::analysis
