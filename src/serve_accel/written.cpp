#include "serve_accel/written.hpp"

#include <algorithm>

namespace avwatch::serve_accel {
namespace {

[[noreturn]] void fail(const char* message) {
    PyErr_SetString(PyExc_TypeError, message);
    throw ErrorSet{};
}

double number(PyObject* value) {
    double result = PyFloat_AsDouble(value);
    if (result == -1.0 && PyErr_Occurred())
        throw ErrorSet{};
    return result;
}

}  // namespace

Owned note_writes(PyObject* values, PyObject* last_values, PyObject* changed_at, PyObject* channels,
                  PyObject* notified, PyObject* floors, PyObject* now) {
    if (!PyList_Check(values) || !PyList_Check(last_values) || !PyList_Check(changed_at) || !PyList_Check(channels) ||
        !PyList_Check(floors) || !PyDict_Check(notified))
        fail("note_writes(values, last_values, changed_at, channels, notified, floors, now): lists and a dict");
    Py_ssize_t count = PyList_GET_SIZE(values);
    if (PyList_GET_SIZE(last_values) != count || PyList_GET_SIZE(changed_at) != count ||
        PyList_GET_SIZE(channels) != count || PyList_GET_SIZE(floors) != count)
        fail("note_writes: the lists must be as long as the values");
    const double now_value = number(now);
    Owned written = Owned::steal(PyList_New(count));
    for (Py_ssize_t at = 0; at < count; ++at) {
        PyObject* value = PyList_GET_ITEM(values, at);
        if (value == Py_None) {
            PyList_SET_ITEM(written.get(), at, Py_NewRef(Py_None));
            continue;
        }
        PyObject* last = PyList_GET_ITEM(last_values, at);
        if (last != value && check(PyObject_RichCompareBool(last, value, Py_NE))) {
            if (last != Py_None) {
                Owned stamp = Owned::steal(PyFloat_FromDouble(now_value));
                check(PyList_SetItem(changed_at, at, stamp.release()));
            }
            check(PyList_SetItem(last_values, at, Py_NewRef(value)));
        }
        // The listeners add and remove channels meanwhile, but only with the GIL held.
        PyObject* notified_at = PyDict_GetItemWithError(notified, PyList_GET_ITEM(channels, at));
        if (notified_at == nullptr && PyErr_Occurred())
            throw ErrorSet{};
        double latest = std::max(number(PyList_GET_ITEM(changed_at, at)), number(PyList_GET_ITEM(floors, at)));
        if (notified_at != nullptr)
            latest = std::max(latest, number(notified_at));
        PyList_SET_ITEM(written.get(), at, Owned::steal(PyFloat_FromDouble(latest)).release());
    }
    return written;
}

}  // namespace avwatch::serve_accel
