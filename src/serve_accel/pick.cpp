#include "serve_accel/pick.hpp"

namespace avwatch::serve_accel {
namespace {

[[noreturn]] void fail(const char* message) {
    PyErr_SetString(PyExc_TypeError, message);
    throw ErrorSet{};
}

// `counts` without its entries equal to 0 (0, 0.0, False, as Python's != 0).
Owned nonzero(PyObject* counts) {
    Owned zero = Owned::steal(PyLong_FromLong(0));
    Owned kept = Owned::steal(PyDict_New());
    if (zero.get() == nullptr || kept.get() == nullptr)
        throw ErrorSet{};
    Py_ssize_t position = 0;
    PyObject *name, *value;
    while (PyDict_Next(counts, &position, &name, &value)) {
        int is_zero = PyObject_RichCompareBool(value, zero.get(), Py_EQ);
        if (is_zero < 0)
            throw ErrorSet{};
        if (!is_zero && PyDict_SetItem(kept.get(), name, value) < 0)
            throw ErrorSet{};
    }
    return kept;
}

}  // namespace

Owned pick(PyObject* record, PyObject* names, PyObject* sparse) {
    if (!PyDict_Check(record) || !PyTuple_Check(names))
        fail("pick(record, names, sparse): a dict and a tuple");
    Owned picked = Owned::steal(PyDict_New());
    if (picked.get() == nullptr)
        throw ErrorSet{};
    for (Py_ssize_t at = 0; at < PyTuple_GET_SIZE(names); ++at) {
        PyObject* name = PyTuple_GET_ITEM(names, at);
        PyObject* value = PyDict_GetItemWithError(record, name);   // borrowed
        if (value == nullptr) {
            if (PyErr_Occurred())
                throw ErrorSet{};
            continue;
        }
        int is_sparse = PyObject_RichCompareBool(name, sparse, Py_EQ);
        if (is_sparse < 0)
            throw ErrorSet{};
        if (is_sparse && PyDict_Check(value)) {
            Owned kept = nonzero(value);
            if (PyDict_SetItem(picked.get(), name, kept.get()) < 0)
                throw ErrorSet{};
        } else if (PyDict_SetItem(picked.get(), name, value) < 0) {
            throw ErrorSet{};
        }
    }
    return picked;
}

}  // namespace avwatch::serve_accel
