#include "module/natives.hpp"

#include <array>
#include <utility>

namespace avwatch {
namespace {

struct Source {
    const char* module;
    const char* name;
};

// Indexed by Native.
constexpr std::array<Source, 7> sources = {{
    {"os", "listdir"},
    {"os.path", "getctime"},
    {"os.path", "getmtime"},
    {"os.path", "isdir"},
    {"os.path", "isfile"},
    {"os.path", "join"},
    {"contextlib", "suppress"},
}};

// Strong references, kept for the life of the process: importing the module
// again (under a dotted name too) captures the same objects anew.
std::array<PyObject*, sources.size()> captured = {};

Owned os_path(const Call& call) { return attr(call.global("os"), "path"); }

}  // namespace

void capture_natives(Claim claim) {
    if (claim == Claim::adopted)
        captured.fill(nullptr);
    for (std::size_t i = 0; i < sources.size(); ++i) {
        Owned module = import(sources[i].module);
        Owned object = attr(module, sources[i].name);
        Py_XSETREF(captured[i], object.release());
    }
}

bool is_native(Borrowed object, Native which) noexcept {
    return object.get() == captured[static_cast<std::size_t>(which)];
}

Owned os_function(const Call& call, const char* name) { return attr(call.global("os"), name); }

Owned os_path_function(const Call& call, const char* name) { return attr(os_path(call), name); }

OsModules os_modules_if_present(const Call& call) {
    Owned os = call.global_if_present("os");
    Owned path = os ? attr_if_present(os, "path") : Owned();
    return OsModules{std::move(os), std::move(path)};
}

bool resolves_to_native(Borrowed holder, const char* name, Native which) {
    if (holder.get() == nullptr)
        return false;
    Owned found = attr_if_present(holder, name);
    return found && is_native(found, which);
}

}  // namespace avwatch
