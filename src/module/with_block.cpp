#include "module/with_block.hpp"

#include "module/catching.hpp"

namespace avwatch {
namespace {

// type(object).name, bound to object as a special method lookup binds it;
// null (and no error) when the type has no such attribute.
Owned special_method(Borrowed object, const char* name) {
    Owned interned = Owned::steal(PyUnicode_InternFromString(name));
    PyTypeObject* type = Py_TYPE(object.get());
    PyObject* found = _PyType_Lookup(type, interned.get());  // borrowed, no error set
    if (found == nullptr)
        return Owned();
    descrgetfunc bind = Py_TYPE(found)->tp_descr_get;
    if (bind == nullptr)
        return Owned::share(found);
    return Owned::steal(bind(found, object.get(), reinterpret_cast<PyObject*>(type)));
}

}  // namespace

ContextManager::ContextManager(Borrowed manager) {
    Owned enter = special_method(manager, "__enter__");
    if (!enter) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                     Py_TYPE(manager.get())->tp_name);
        throw ErrorSet{};
    }
    exit_ = special_method(manager, "__exit__");
    if (!exit_) {
        PyErr_Format(PyExc_TypeError,
                     "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                     Py_TYPE(manager.get())->tp_name);
        throw ErrorSet{};
    }
    value_ = call(enter);
}

bool ContextManager::exit_after_error() {
    Owned error = Owned::steal(PyErr_GetRaisedException());
    bool suppressed;
    {
        // __exit__ runs while the error is being handled, as in the
        // interpreter: an error it raises carries this one as context.
        Handling handling(error);
        Owned type = Owned::share(reinterpret_cast<PyObject*>(Py_TYPE(error.get())));
        PyObject* traceback = PyException_GetTraceback(error.get());  // new, or null
        Owned traceback_or_none = traceback ? Owned::steal(traceback) : none();
        suppressed = truthy(call(exit_, {type, error, traceback_or_none}));
    }
    if (suppressed)
        return true;
    PyErr_SetRaisedException(error.release());
    return false;
}

void ContextManager::exit_cleanly() {
    Owned nothing = none();
    call(exit_, {nothing, nothing, nothing});
}

}  // namespace avwatch
