// The public functions, in the order the module binds them.
#pragma once

#include "module/function.hpp"

#include <span>

namespace avwatch {

std::span<const FunctionSpec> public_functions();

}  // namespace avwatch
