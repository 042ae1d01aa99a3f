// The worker's link to its prober guard (avwatch-guard, installed beside
// the module), started on the first probe.
#pragma once

#include "probe/guard_protocol.hpp"

namespace avwatch {

// Sends `request` with `fds` (SpawnFd order) to this process's guard,
// starting the guard first when there is none, or when it has died.  Hold
// the interpreter lock: it guards the link.  Throws ErrorSet (the OSError
// for the errno; naming the guard program when it would not start).
void send_to_guard(const guard_protocol::SpawnRequest& request, const int (&fds)[guard_protocol::SpawnFd::count]);

}  // namespace avwatch
