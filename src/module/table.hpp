// The public functions, in the order the module binds them.
#pragma once

#include "module/function.hpp"

#include <span>

namespace avwatch {

std::span<const FunctionDefinition> public_functions();

}  // namespace avwatch
