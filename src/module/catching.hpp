// `except SomeError:` where the class is looked up only when an exception
// arrives, as the interpreter evaluates an except clause (so a replaced
// module global takes effect).
#pragma once

#include "module/ref.hpp"

#include <concepts>

namespace avwatch {

// With an exception set: when it is an instance of what `lookup_class()`
// gives, clears it and returns true; otherwise leaves it set.  An error of
// the lookup itself replaces it, chained to it as its context.
template <class Lookup>
    requires std::invocable<Lookup>
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

// The same for a class known in advance (a builtin exception such as
// PyExc_Exception): `except Exception:`.
inline bool catch_error(PyObject* error_class) {
    if (!PyErr_ExceptionMatches(error_class))
        return false;
    PyErr_Clear();
    return true;
}

// For its lifetime, `error` is the exception being handled, as inside an
// except block: pushed on the running frame's own handled-exception slot
// and popped from it again.  (The topmost handled exception, which
// PyErr_GetHandledException reads, may belong to a frame further out when a
// generator or coroutine runs: restoring that one would leave it behind in
// the generator.)
class Handling {
public:
    explicit Handling(Borrowed error) noexcept
        : slot_(PyThreadState_Get()->exc_info), saved_(slot_->exc_value) {
        slot_->exc_value = Py_NewRef(error.get());
    }
    ~Handling() {
        // Not while an exiting interpreter unwinds a thread without its lock.
        if (!has_thread_state())
            return;
        PyObject* handled = slot_->exc_value;
        slot_->exc_value = saved_;
        Py_XDECREF(handled);
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    _PyErr_StackItem* slot_;
    PyObject* saved_;  // the slot's own reference, handed back on exit
};

}  // namespace avwatch
