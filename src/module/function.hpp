// The function type of the module's public functions.
//
// Each public function is one instance of a single static type.  It carries
// what a function defined in Python carries (__name__, __qualname__,
// __defaults__, __annotations__, __globals__, ...), binds its arguments the
// way the interpreter binds them for such a function, and then runs a C++
// body with every parameter filled in.
#pragma once

#include "module/api.hpp"

#include <cstddef>

namespace avwatch {

// One call of a body: its module namespace and its bound arguments.
class Call {
public:
    Call(PyObject* globals, PyObject* const* args) noexcept : globals_(globals), args_(args) {}

    // The i-th parameter's value (borrowed from the caller or the defaults).
    Borrowed arg(std::size_t i) const noexcept { return args_[i]; }
    // A module global, looked up now, so a replacement takes effect at once;
    // like a Python function, falls back to the builtins.
    Owned global(const char* name) const;
    // The same, but null (and no error) when the name is bound nowhere.
    Owned global_if_present(const char* name) const;
    Borrowed globals() const noexcept { return globals_; }

private:
    PyObject* globals_;
    PyObject* const* args_;
};

using Body = Owned (*)(const Call&);
// Builds the function's __annotations__ when it is created; may read globals.
using AnnotationsBuilder = Owned (*)(Borrowed globals);

struct FunctionDefinition {
    const char* name;
    const char* const* parameters;  // null-terminated
    std::size_t empty_string_defaults;  // how many trailing parameters default to ""
    AnnotationsBuilder annotations;
    Body body;
};

// Prepares the type; once per interpreter, before any function is created.
void ready_function_type();
// A new function object bound to the module namespace `globals`.
Owned new_function(const FunctionDefinition& definition, Borrowed globals);

}  // namespace avwatch
