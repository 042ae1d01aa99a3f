// Starting one prober chain from the guard.
#pragma once

#include "probe/guard_protocol.hpp"

#include <sys/types.h>

namespace avwatch::guard {

// The descriptors the chain starts with (stdin is /dev/null).
struct ChainFds {
    int devnull;
    int out;
    int err;
    int cwd;
};

// Starts the chain as the interpreter's subprocess would from the worker, in
// a process group of its own, with the worker's ids, groups, limits and nice
// value of the request: each candidate is tried in order, and when none runs
// the first error other than "not found" is the one reported.  Returns the
// leader's pid, or minus the errno.
pid_t start_chain(const guard_protocol::Body& body, const guard_protocol::SpawnRequest& request,
                  const ChainFds& fds);

}  // namespace avwatch::guard
