#include "analysis/module/settings.hpp"

#include "analysis/module/values.hpp"

namespace avwatch::analysis {

ts::Settings settings_from(Borrowed program, Borrowed pid_timeout) {
    ts::Settings settings;
    if (program.get() != Py_None) {
        long number = PyLong_AsLong(program.get());
        if (number == -1 && PyErr_Occurred())
            throw ErrorSet{};
        if (number < 1 || number > 65535) {
            PyErr_SetString(PyExc_ValueError, "program must be a program number from 1 to 65535");
            throw ErrorSet{};
        }
        settings.program = static_cast<std::uint16_t>(number);
    }
    settings.pid_timeout = nanos_from(pid_timeout);
    if (settings.pid_timeout <= 0) {
        PyErr_SetString(PyExc_ValueError, "pid_timeout must be positive");
        throw ErrorSet{};
    }
    return settings;
}

}  // namespace avwatch::analysis
