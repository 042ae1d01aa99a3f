// The worker's link to its prober guard (avwatch-guard, installed beside
// the module), started on the first probe.
#pragma once

#include "probe/guard_protocol.hpp"

#include <cstdint>

namespace avwatch {

// Sends `request` with `fds` (SpawnFd order) to this process's guard,
// starting the guard first when there is none, or when it has died.  Hold
// the interpreter lock: it guards the link.  Throws ErrorSet (the OSError
// for the errno; naming the guard program when it would not start).
// Returns which guard got it, for abandon_guard().
std::uint64_t send_to_guard(const guard_protocol::SpawnRequest& request,
                            const int (&fds)[guard_protocol::SpawnFd::count]);

// A probe's channel ended without the guard closing it as asked: the guard
// is dying.  Stops using it (and collects it) unless it has been replaced
// already, so the next request starts a new one.  Hold the interpreter lock.
void abandon_guard(std::uint64_t generation);

}  // namespace avwatch
