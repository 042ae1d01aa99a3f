// The module entry: single-phase initialisation, registered in sys.modules
// before the body runs, and removed again if the body fails.
#include "module/interpreter.hpp"
#include "module/natives.hpp"
#include "module/table.hpp"

namespace avwatch {
namespace {

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "avwatch",
    nullptr,  // no docstring
    -1,       // all state lives in the namespace
    nullptr,  // no method table
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

constexpr const char* imported_modules[] = {"contextlib", "json", "logging", "os", "subprocess", "time", "redis"};

// import NAME, as the statement does it: builtins.__import__, level 0.
Owned import_absolute(const char* name, Borrowed globals) {
    Owned importer = builtin("__import__");
    Owned module_name = text(name);
    Owned level = integer(0);
    return call(importer, {module_name, globals, Py_None, Py_None, level});
}

void run_body(Borrowed module) {
    Claim claim = claim_interpreter();
    PyObject* globals = PyModule_GetDict(module.get());  // borrowed
    check(PyDict_SetItemString(globals, "__doc__", Py_None));
    for (const char* name : imported_modules)
        check(PyDict_SetItemString(globals, name, import_absolute(name, globals).get()));
    capture_natives(claim);
    ready_function_type();
    for (const FunctionDefinition& definition : public_functions())
        check(PyDict_SetItemString(globals, definition.name, new_function(definition, globals).get()));
}

PyObject* initialise() {
    // The dotted name, when imported as a submodule, comes from the
    // interpreter's package context through module creation.
    Owned module = Owned::steal(PyModule_Create2(&definition, 1013));
    Owned name = Owned::steal(PyModule_GetNameObject(module.get()));
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    check(PyObject_SetItem(modules, name.get(), module.get()));
    PyObject* done = at_boundary([&] {
        run_body(module);
        return none();
    });
    if (done == nullptr) {
        // Nothing stays loaded; the body's exception is what import raises.
        PyObject* pending = PyErr_GetRaisedException();
        if (PyObject_DelItem(modules, name.get()) < 0)
            PyErr_Clear();
        PyErr_SetRaisedException(pending);
        throw ErrorSet{};
    }
    Py_DECREF(done);
    return module.release();
}

}  // namespace
}  // namespace avwatch

PyMODINIT_FUNC PyInit_avwatch(void) {
    return avwatch::at_boundary([] { return avwatch::Owned::steal(avwatch::initialise()); });
}
