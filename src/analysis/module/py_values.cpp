#include "analysis/module/py_values.hpp"

namespace avwatch::analysis {

std::string bytes_argument(PyObject* object) {
    Py_buffer view;
    check(PyObject_GetBuffer(object, &view, PyBUF_SIMPLE));
    std::string copy(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
    PyBuffer_Release(&view);
    return copy;
}

}  // namespace avwatch::analysis
