// Placeholder for bodies that are still to be written.
#pragma once

#include "module/api.hpp"

namespace avwatch {

[[noreturn]] inline void not_implemented(const char* name) {
    PyErr_Format(PyExc_NotImplementedError, "%s", name);
    throw ErrorSet{};
}

}  // namespace avwatch
