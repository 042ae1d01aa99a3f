// The worker's link to its prober guard (avwatch-guard, installed beside
// the module), started on the first probe.
#pragma once

#include "probe/guard_protocol.hpp"

namespace avwatch {

// Sends `request` with `fds` (SpawnFd order) to this process's guard,
// starting the guard first when there is none, or when it has died.  Hold
// the interpreter lock: it guards the link.  0, or the errno of the
// failure; `failed_path` then names the guard program when starting it
// failed, and is empty otherwise.
int send_to_guard(const guard_protocol::SpawnRequest& request, const int (&fds)[guard_protocol::SpawnFd::count],
                  std::string& failed_path);

}  // namespace avwatch
