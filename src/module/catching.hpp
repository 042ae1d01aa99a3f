// `except SomeError:` where the class is looked up only when an exception
// arrives, as the interpreter evaluates an except clause (so a replaced
// module global takes effect).
#pragma once

#include "module/ref.hpp"

namespace avwatch {

// With an exception set: when it is an instance of what `lookup_class()`
// gives, clears it and returns true; otherwise leaves it set.  An error of
// the lookup itself replaces it, chained to it as its context.
template <class Lookup>
bool catch_error(Lookup&& lookup_class) {
    PyObject* current = PyErr_GetRaisedException();
    if (current == nullptr)
        return false;
    Owned raised = Owned::steal(current);
    Owned error_class;
    try {
        error_class = lookup_class();
    } catch (const ErrorSet&) {
        PyObject* newer = PyErr_GetRaisedException();
        PyException_SetContext(newer, raised.release());
        PyErr_SetRaisedException(newer);
        throw;
    }
    if (PyErr_GivenExceptionMatches(raised.get(), error_class.get()))
        return true;
    PyErr_SetRaisedException(raised.release());
    return false;
}

}  // namespace avwatch
