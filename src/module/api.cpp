#include "module/api.hpp"

#include <cerrno>
#include <new>
#include <stdexcept>
#include <vector>

namespace avwatch {

Owned text(std::string_view utf8) {
    return Owned::steal(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

Owned integer(long long value) { return Owned::steal(PyLong_FromLongLong(value)); }

Owned none() { return Owned::share(Py_None); }

Owned attr(Borrowed object, const char* name) {
    return Owned::steal(PyObject_GetAttrString(object.get(), name));
}

Owned item(Borrowed mapping, const char* key) {
    Owned name = text(key);
    return Owned::steal(PyObject_GetItem(mapping.get(), name.get()));
}

Owned item_or_none(Borrowed mapping, const char* key) {
    return call_method(mapping, "get", {text(key)});
}

bool contains(Borrowed container, Borrowed item) {
    return check(PySequence_Contains(container.get(), item.get())) == 1;
}

bool contains(Borrowed container, const char* item) { return contains(container, text(item)); }

void set_item(Borrowed mapping, const char* key, Borrowed value) {
    Owned name = text(key);
    check(PyObject_SetItem(mapping.get(), name.get(), value.get()));
}

bool truthy(Borrowed object) { return check(PyObject_IsTrue(object.get())) == 1; }

namespace {

bool compares(Borrowed a, Borrowed b, int op) {
    return truthy(Owned::steal(PyObject_RichCompare(a.get(), b.get(), op)));
}

}  // namespace

bool equals(Borrowed a, Borrowed b) { return compares(a, b, Py_EQ); }

bool equals(Borrowed a, const char* literal) { return equals(a, text(literal)); }

bool differs(Borrowed a, Borrowed b) { return compares(a, b, Py_NE); }

Owned attr_if_present(Borrowed object, const char* name) {
    PyObject* found = PyObject_GetAttrString(object.get(), name);
    if (found == nullptr) {
        if (!error_matches(PyExc_AttributeError))
            throw ErrorSet{};
        PyErr_Clear();
        return Owned{};
    }
    return Owned::steal(found);
}

Owned to_str(Borrowed object) { return Owned::steal(PyObject_Str(object.get())); }

Owned formatted(Borrowed object) { return Owned::steal(PyObject_Format(object.get(), nullptr)); }

Owned concat(std::initializer_list<Borrowed> pieces) {
    Owned list = Owned::steal(PyList_New(0));
    for (Borrowed piece : pieces)
        check(PyList_Append(list.get(), piece.get()));
    Owned empty = text("");
    return Owned::steal(PyUnicode_Join(empty.get(), list.get()));
}

Owned call(Borrowed callable, std::initializer_list<Borrowed> args) {
    std::vector<PyObject*> stack;
    stack.reserve(args.size());
    for (Borrowed arg : args)
        stack.push_back(arg.get());
    return Owned::steal(PyObject_Vectorcall(callable.get(), stack.data(), stack.size(), nullptr));
}

Owned call_method(Borrowed object, const char* name, std::initializer_list<Borrowed> args) {
    Owned method_name = Owned::steal(PyUnicode_InternFromString(name));
    std::vector<PyObject*> stack;
    stack.reserve(args.size() + 1);
    stack.push_back(object.get());
    for (Borrowed arg : args)
        stack.push_back(arg.get());
    return Owned::steal(PyObject_VectorcallMethod(method_name.get(), stack.data(),
                                                  stack.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Owned import(const char* name) { return Owned::steal(PyImport_ImportModule(name)); }

PyObject* builtin_if_present(const char* name) { return PyDict_GetItemString(PyEval_GetBuiltins(), name); }

Owned builtin(const char* name) {
    PyObject* found = builtin_if_present(name);
    if (found == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw ErrorSet{};
    }
    return Owned::share(found);
}

bool error_matches(PyObject* type) { return PyErr_ExceptionMatches(type) != 0; }

void raise_os_error(int error, PyObject* filename) {
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
    throw ErrorSet{};
}

}  // namespace avwatch
