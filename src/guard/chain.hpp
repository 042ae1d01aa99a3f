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

// A chain just forked: its leader waits for go() before it sets up and
// execs, so that the worker holds a pidfd of it before anything of the
// chain can run.
struct ForkedChain {
    pid_t leader = -1;
    // The guard's end of the start socket: go() goes out on it; the
    // errno of a failed start comes back on it, or end of file when the
    // exec succeeded.  -1 when the fork failed.
    int start_socket = -1;
    int error = 0;  // the fork's errno
};

// Forks the chain as the interpreter's subprocess would start it from the
// worker, in a process group of its own, with the worker's ids, groups,
// limits and nice value of the request: each candidate is tried in order,
// and when none runs the first error other than "not found" is reported.
// Never waits for the exec.
ForkedChain fork_chain(const guard_protocol::Body& body, const guard_protocol::SpawnRequest& request,
                       const ChainFds& fds);

// Lets the leader go on to its exec.  A leader whose guard dies before
// this sees end of file instead and exits.
void go(int start_socket);

// The outcome of the start once the start socket is readable: 0 when the
// exec succeeded, else the errno.  Closes the socket.
int start_outcome(int start_socket);

}  // namespace avwatch::guard
