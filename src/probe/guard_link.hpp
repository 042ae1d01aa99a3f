// The worker's link to its prober guard (avwatch-guard, installed beside
// the module), started on the first probe and replaced whenever it is gone,
// stuck or no longer reachable through the descriptors we kept.
#pragma once

#include "probe/guard_protocol.hpp"

#include <chrono>
#include <memory>

namespace avwatch {

struct GuardProcess;
// Shared by the probes in flight on one guard: its descriptors close when
// the last of them is done, never under another thread's feet.
using GuardRef = std::shared_ptr<GuardProcess>;

// Sends `request` with `fds` (SpawnFd order) to this process's guard,
// starting one first when there is none, or when it has died.  A guard
// that takes nothing in (it is stopped, or hung) is waited on only until
// `deadline`, with the interpreter lock released and signals checked; it is
// then retired and null returned.  Hold the interpreter lock.  Throws
// ErrorSet (the OSError for the errno, naming the guard program when it
// would not start; or what a signal handler raised).
GuardRef send_to_guard(const guard_protocol::SpawnRequest& request,
                       const int (&fds)[guard_protocol::SpawnFd::count],
                       std::chrono::steady_clock::time_point deadline);

// Stops sending to `guard`, so that the next request starts a new one:
// it went away during a probe, or, with `kill`, it stopped answering and is
// killed.  Hold the interpreter lock.  (By value: `current` itself may be
// what is passed.)
void retire_guard(GuardRef guard, bool kill);

// Whether this worker retired `guard` for not answering.
bool was_retired_as_stuck(const GuardRef& guard) noexcept;

}  // namespace avwatch
