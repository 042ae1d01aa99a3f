#include "output/text_file.hpp"

namespace avwatch {

Owned open_text_file(Borrowed path) {
    Owned io = import("io");
    return call_method(io, "open", {path});
}

void close_text_file(Borrowed file) {
    PyObject* pending = PyErr_GetRaisedException();  // may be null
    PyObject* closed = PyObject_CallMethod(file.get(), "close", nullptr);
    if (closed != nullptr) {
        Py_DECREF(closed);
        PyErr_SetRaisedException(pending);  // a null one leaves no error set
        return;
    }
    if (pending != nullptr) {
        PyObject* raised = PyErr_GetRaisedException();
        PyException_SetContext(raised, pending);  // steals `pending`
        PyErr_SetRaisedException(raised);
    }
    throw ErrorSet{};
}

}  // namespace avwatch
