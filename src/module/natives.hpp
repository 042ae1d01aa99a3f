// The interpreter's own objects behind the replaceable names that have a
// native equivalent here, and the lookups of those names.
//
// Callers replace module globals and their attributes (a fake
// os.path.getmtime, mock.patch("builtins.open", ...)), so every use looks
// the name up as the Python expression would.  The native path is an
// optimisation of the interpreter's own object: it runs only while the name
// still resolves to the object captured when the module was initialised
// (one pointer comparison); anything else is called as Python calls it.
#pragma once

#include "module/function.hpp"
#include "module/interpreter.hpp"

namespace avwatch {

// (open has none: a file from the interpreter's own open is entered and read
// through its methods, which release the lock themselves.)
enum class Native { listdir, getctime, getmtime, isdir, isfile, join, suppress };

// Once per module initialisation, from the interpreter's own modules.  The
// objects kept from an interpreter that has ended went with it: they are
// forgotten, not released.
void capture_natives(Claim claim);
bool is_native(Borrowed object, Native which) noexcept;

// os.<name> and os.path.<name>, with `os` the module global now.
Owned os_function(const Call& call, const char* name);
Owned os_path_function(const Call& call, const char* name);

// The module global `os` and its `path` now, each null (and no error) where
// the lookup would fail: the caller then takes the interpreted path, which
// raises where Python would.
struct OsModules {
    Owned os;
    Owned path;
};
OsModules os_modules_if_present(const Call& call);
// Whether holder.<name> is the native object (false for a null holder).
bool resolves_to_native(Borrowed holder, const char* name, Native which);

}  // namespace avwatch
