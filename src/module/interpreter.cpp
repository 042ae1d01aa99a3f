#include "module/interpreter.hpp"

#include <cstdint>

namespace avwatch {
namespace {

// Interpreter ids are never reused within a process; -1 before the first
// import.
std::int64_t owner = -1;

std::int64_t current_id() { return PyInterpreterState_GetID(PyInterpreterState_Get()); }

bool is_running(std::int64_t id) {
    for (PyInterpreterState* each = PyInterpreterState_Head(); each != nullptr; each = PyInterpreterState_Next(each))
        if (PyInterpreterState_GetID(each) == id)
            return true;
    return false;
}

}  // namespace

Claim claim_interpreter() {
    std::int64_t here = current_id();
    if (here < 0)
        throw ErrorSet{};
    if (owner == here)
        return Claim::again;
    if (owner >= 0 && is_running(owner)) {
        PyErr_Format(PyExc_ImportError,
                     "avwatch serves one interpreter per process and interpreter %lld imported it first; "
                     "it cannot be imported in interpreter %lld while that one runs",
                     static_cast<long long>(owner), static_cast<long long>(here));
        throw ErrorSet{};
    }
    Claim claim = owner < 0 ? Claim::first : Claim::adopted;
    owner = here;
    return claim;
}

void require_owner() {
    std::int64_t here = current_id();
    if (here == owner)
        return;
    if (here >= 0)
        PyErr_Format(PyExc_RuntimeError,
                     "avwatch serves only interpreter %lld, which imported it first; it cannot be called from "
                     "interpreter %lld",
                     static_cast<long long>(owner), static_cast<long long>(here));
    throw ErrorSet{};
}

}  // namespace avwatch
