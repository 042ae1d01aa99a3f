#include "module/function.hpp"
#include "module/interpreter.hpp"

#include <cstddef>
#include <structmember.h>

namespace avwatch {

Owned Call::global(const char* name) const {
    PyObject* found = PyDict_GetItemString(globals_, name);  // borrowed
    if (found != nullptr)
        return Owned::share(found);
    return builtin(name);
}

Owned Call::global_if_present(const char* name) const {
    PyObject* found = PyDict_GetItemString(globals_, name);  // borrowed
    return Owned::share(found != nullptr ? found : builtin_if_present(name));
}

namespace {

constexpr Py_ssize_t max_parameters = 8;

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDefinition* definition;
    Py_ssize_t parameter_count;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;     // tuple, or None
    PyObject* annotations;  // dict
    PyObject* globals;      // the module's namespace
    PyObject* dict;
    PyObject* weakrefs;
};

FunctionObject* as_function(PyObject* object) { return reinterpret_cast<FunctionObject*>(object); }

Py_ssize_t default_count(const FunctionObject* self) {
    return static_cast<Py_ssize_t>(self->definition->empty_string_defaults);
}

// ---- argument binding, worded as the interpreter words it ----

Py_ssize_t parameter_index(const FunctionObject* self, PyObject* keyword) {
    for (Py_ssize_t i = 0; i < self->parameter_count; ++i) {
        if (PyUnicode_Check(keyword) && PyUnicode_CompareWithASCIIString(keyword, self->definition->parameters[i]) == 0)
            return i;
    }
    return -1;
}

[[noreturn]] void raise_too_many_positional(const FunctionObject* self, Py_ssize_t given) {
    Py_ssize_t count = self->parameter_count;
    Py_ssize_t defaults = default_count(self);
    Owned signature = Owned::steal(defaults ? PyUnicode_FromFormat("from %zd to %zd", count - defaults, count)
                                            : PyUnicode_FromFormat("%zd", count));
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given", self->qualname,
                 signature.get(), (count != 1 || defaults) ? "s" : "", given, given == 1 ? "was" : "were");
    throw ErrorSet{};
}

[[noreturn]] void raise_missing(const FunctionObject* self, PyObject* const* bound, Py_ssize_t first_unset) {
    Owned names = Owned::steal(PyList_New(0));
    for (Py_ssize_t i = first_unset; i < self->parameter_count - default_count(self); ++i) {
        if (bound[i] == nullptr) {
            Owned quoted = Owned::steal(PyUnicode_FromFormat("'%s'", self->definition->parameters[i]));
            check(PyList_Append(names.get(), quoted.get()));
        }
    }
    Py_ssize_t missing = PyList_GET_SIZE(names.get());
    Owned listed;
    if (missing == 1) {
        listed = Owned::share(PyList_GET_ITEM(names.get(), 0));
    } else {
        // 'a' and 'b'; 'a', 'b', and 'c'
        Owned last = Owned::share(PyList_GET_ITEM(names.get(), missing - 1));
        Owned head = Owned::steal(PyList_GetSlice(names.get(), 0, missing - 1));
        Owned separator = text(", ");
        Owned joined = Owned::steal(PyUnicode_Join(separator.get(), head.get()));
        listed = Owned::steal(PyUnicode_FromFormat(missing == 2 ? "%U and %U" : "%U, and %U", joined.get(), last.get()));
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", self->qualname, missing,
                 missing == 1 ? "" : "s", listed.get());
    throw ErrorSet{};
}

// Fills `bound` with one borrowed value per parameter, or raises TypeError.
void bind(const FunctionObject* self, PyObject* const* args, Py_ssize_t given, PyObject* keywords, PyObject** bound) {
    Py_ssize_t count = self->parameter_count;
    for (Py_ssize_t i = 0; i < given && i < count; ++i)
        bound[i] = args[i];

    Py_ssize_t keyword_count = keywords ? PyTuple_GET_SIZE(keywords) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(keywords, k);
        Py_ssize_t index = parameter_index(self, keyword);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", self->qualname, keyword);
            throw ErrorSet{};
        }
        if (bound[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", self->qualname, keyword);
            throw ErrorSet{};
        }
        bound[index] = args[given + k];
    }

    if (given > count)
        raise_too_many_positional(self, given);
    Py_ssize_t first_default = count - default_count(self);
    for (Py_ssize_t i = given; i < first_default; ++i) {
        if (bound[i] == nullptr)
            raise_missing(self, bound, given);
    }
    for (Py_ssize_t i = first_default; i < count; ++i) {
        if (bound[i] == nullptr)
            bound[i] = PyTuple_GET_ITEM(self->defaults, i - first_default);
    }
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* keywords) {
    FunctionObject* self = as_function(callable);
    PyObject* bound[max_parameters] = {};
    return at_boundary([&] {
        require_owner();
        bind(self, args, PyVectorcall_NARGS(nargsf), keywords, bound);
        return self->definition->body(Call(self->globals, bound));
    });
}

// ---- attributes ----

PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

// inspect.signature() and help() read this.
PyObject* get_signature(PyObject* object, void*) {
    FunctionObject* self = as_function(object);
    return at_boundary([&] {
        Owned inspect = import("inspect");
        Owned parameter_type = attr(inspect, "Parameter");
        Owned kind = attr(parameter_type, "POSITIONAL_OR_KEYWORD");
        Owned empty = attr(parameter_type, "empty");
        Owned parameters = Owned::steal(PyList_New(0));
        Py_ssize_t first_default = self->parameter_count - default_count(self);
        for (Py_ssize_t i = 0; i < self->parameter_count; ++i) {
            const char* name = self->definition->parameters[i];
            Owned keywords = Owned::steal(PyDict_New());
            if (i >= first_default)
                check(PyDict_SetItemString(keywords.get(), "default",
                                           PyTuple_GET_ITEM(self->defaults, i - first_default)));
            if (PyObject* annotation = PyDict_GetItemString(self->annotations, name))
                check(PyDict_SetItemString(keywords.get(), "annotation", annotation));
            Owned positional = Owned::steal(Py_BuildValue("(sO)", name, kind.get()));
            Owned parameter = Owned::steal(PyObject_Call(parameter_type.get(), positional.get(), keywords.get()));
            check(PyList_Append(parameters.get(), parameter.get()));
        }
        PyObject* returns = PyDict_GetItemString(self->annotations, "return");
        Owned keywords = Owned::steal(Py_BuildValue("{sO}", "return_annotation", returns ? returns : empty.get()));
        Owned positional = Owned::steal(PyTuple_Pack(1, parameters.get()));
        return Owned::steal(PyObject_Call(attr(inspect, "Signature").get(), positional.get(), keywords.get()));
    });
}

// Pickled by reference, as the interpreter pickles its own functions.
PyObject* function_reduce(PyObject* object, PyObject*) { return Py_NewRef(as_function(object)->qualname); }

PyObject* function_repr(PyObject* object) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(object)->qualname, object);
}

// Bound like a function defined in Python when stored on a class.
PyObject* function_descr_get(PyObject* object, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None)
        return Py_NewRef(object);
    return PyMethod_New(object, instance);
}

int function_traverse(PyObject* object, visitproc visit, void* arg) {
    FunctionObject* self = as_function(object);
    Py_VISIT(self->name);
    Py_VISIT(self->qualname);
    Py_VISIT(self->module);
    Py_VISIT(self->doc);
    Py_VISIT(self->defaults);
    Py_VISIT(self->annotations);
    Py_VISIT(self->globals);
    Py_VISIT(self->dict);
    return 0;
}

int function_clear(PyObject* object) {
    FunctionObject* self = as_function(object);
    Py_CLEAR(self->name);
    Py_CLEAR(self->qualname);
    Py_CLEAR(self->module);
    Py_CLEAR(self->doc);
    Py_CLEAR(self->defaults);
    Py_CLEAR(self->annotations);
    Py_CLEAR(self->globals);
    Py_CLEAR(self->dict);
    return 0;
}

void function_dealloc(PyObject* object) {
    PyObject_GC_UnTrack(object);
    if (as_function(object)->weakrefs != nullptr)
        PyObject_ClearWeakRefs(object);
    function_clear(object);
    PyObject_GC_Del(object);
}

#define MEMBER(name, field, flags) \
    { name, Py_T_OBJECT_EX, offsetof(FunctionObject, field), flags, nullptr }

PyMemberDef function_members[] = {
    MEMBER("__name__", name, Py_READONLY),
    MEMBER("__qualname__", qualname, Py_READONLY),
    MEMBER("__module__", module, 0),
    MEMBER("__doc__", doc, 0),
    MEMBER("__defaults__", defaults, Py_READONLY),
    MEMBER("__annotations__", annotations, Py_READONLY),
    MEMBER("__globals__", globals, Py_READONLY),
    {nullptr, 0, 0, 0, nullptr},
};
#undef MEMBER

PyGetSetDef function_getset[] = {
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Filled in by ready_function_type(): C++ has no designated initialisers
// out of order, so only the header is set here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject function_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

}  // namespace

void ready_function_type() {
    PyTypeObject& type = function_type;
    if (type.tp_flags & Py_TPFLAGS_READY)
        return;
    type.tp_name = "avwatch.function";
    type.tp_basicsize = sizeof(FunctionObject);
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                    Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    type.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    type.tp_call = PyVectorcall_Call;
    type.tp_repr = function_repr;
    type.tp_dealloc = function_dealloc;
    type.tp_traverse = function_traverse;
    type.tp_clear = function_clear;
    type.tp_descr_get = function_descr_get;
    type.tp_dictoffset = offsetof(FunctionObject, dict);
    type.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    type.tp_members = function_members;
    type.tp_getset = function_getset;
    type.tp_methods = function_methods;
    check(PyType_Ready(&type));
}

Owned new_function(const FunctionDefinition& definition, Borrowed globals) {
    Py_ssize_t count = 0;
    while (definition.parameters[count] != nullptr)
        ++count;
    if (count > max_parameters) {
        PyErr_SetString(PyExc_SystemError, "avwatch: too many parameters");
        throw ErrorSet{};
    }
    Owned annotations = definition.annotations(globals);
    Owned defaults = none();
    if (definition.empty_string_defaults > 0) {
        defaults = Owned::steal(PyTuple_New(static_cast<Py_ssize_t>(definition.empty_string_defaults)));
        for (std::size_t i = 0; i < definition.empty_string_defaults; ++i)
            PyTuple_SET_ITEM(defaults.get(), i, text("").release());
    }
    Owned name = Owned::steal(PyUnicode_InternFromString(definition.name));
    // As for a function defined in Python: the namespace's __name__, which is
    // the dotted name when the module is imported inside a package.
    PyObject* module_name = PyDict_GetItemString(globals.get(), "__name__");  // borrowed
    Owned module = Owned::share(module_name ? module_name : Py_None);

    FunctionObject* self = PyObject_GC_New(FunctionObject, &function_type);
    if (self == nullptr)
        throw ErrorSet{};
    self->vectorcall = function_vectorcall;
    self->definition = &definition;
    self->parameter_count = count;
    self->name = Py_NewRef(name.get());
    self->qualname = name.release();
    self->module = module.release();
    self->doc = Py_NewRef(Py_None);
    self->defaults = defaults.release();
    self->annotations = annotations.release();
    self->globals = Py_NewRef(globals.get());
    self->dict = nullptr;
    self->weakrefs = nullptr;
    PyObject_GC_Track(self);
    return Owned::steal(reinterpret_cast<PyObject*>(self));
}

}  // namespace avwatch
