// The object operations the bodies need, each a thin wrapper over the C API
// that throws ErrorSet on failure, so a body reads as its algorithm.
#pragma once

#include "module/ref.hpp"

#include <exception>
#include <string_view>

namespace avwatch {

// Runs a body at the C boundary: ErrorSet becomes the NULL return, and any
// other C++ exception becomes the matching Python error.  The one thing let
// through is the forced unwind of a thread the exiting interpreter ends (not
// noexcept for that reason).
template <class Body>
PyObject* at_boundary(Body&& body);

Owned text(std::string_view utf8);        // a new str
Owned integer(long long value);
Owned none();

Owned attr(Borrowed object, const char* name);
Owned item(Borrowed mapping, const char* key);        // mapping[key]
Owned item_or_none(Borrowed mapping, const char* key);  // mapping.get(key)
// `item in container`: the interpreter's `in` operator (a substring test
// for str, membership otherwise; TypeError where `in` is not supported).
bool contains(Borrowed container, Borrowed item);
bool contains(Borrowed container, const char* item);
void set_item(Borrowed mapping, const char* key, Borrowed value);
bool truthy(Borrowed object);
// a == b and a != b, as a condition evaluates them (no identity shortcut).
bool equals(Borrowed a, Borrowed b);
bool equals(Borrowed a, const char* text);
bool differs(Borrowed a, Borrowed b);
// getattr(object, name, None), but null when absent.
Owned attr_if_present(Borrowed object, const char* name);
Owned to_str(Borrowed object);             // str(object)
Owned formatted(Borrowed object);          // format(object, "")
Owned concat(std::initializer_list<Borrowed> pieces);  // "".join of str pieces

// Calls with positional arguments only.
Owned call(Borrowed callable, std::initializer_list<Borrowed> args = {});
Owned call_method(Borrowed object, const char* name, std::initializer_list<Borrowed> args = {});

// The interpreter's own modules and builtins, for what the module does not
// expose as replaceable globals.
Owned import(const char* name);
Owned builtin(const char* name);
// Null when the builtins have no `name`; no error is set.
PyObject* builtin_if_present(const char* name);  // borrowed

// The current exception is an instance of `type` (a class or tuple).
bool error_matches(PyObject* type);

// Raises the OSError subclass for `error` (an errno value), as the
// interpreter's os functions do; `filename` may be null.
[[noreturn]] void raise_os_error(int error, PyObject* filename = nullptr);

// ---- implementation of the template ----

// The thread the exiting interpreter ends unwinds by a foreign exception
// (it has no C++ exception object), which must pass.  It is told apart in
// the catch-all, as the one with no current exception: naming its type in a
// handler binds a reference to a null object, which UBSan reports.
template <class Body>
PyObject* at_boundary(Body&& body) {
    try {
        return body().release();
    } catch (const ErrorSet&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        if (!std::current_exception())
            throw;
        PyErr_SetString(PyExc_SystemError, "avwatch: unexpected C++ exception");
    }
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "avwatch: error reported without an exception");
    return nullptr;
}

}  // namespace avwatch
