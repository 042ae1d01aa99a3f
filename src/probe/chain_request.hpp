// What the guard needs to start a prober chain as the interpreter's
// subprocess would have started it from this worker, now.
#pragma once

#include "module/ref.hpp"
#include "probe/guard_protocol.hpp"

namespace avwatch {

struct ChainRequest {
    guard_protocol::Body body;
    guard_protocol::SpawnRequest header;
    // The program as given, for the error that names it.
    Owned program;
};

// From `command` (a non-empty sequence of str, bytes or path-like), this
// process's environment and PATH, and its ignored signals.  Needs the
// interpreter lock: os.environ changes the environment under it.
ChainRequest chain_request(Borrowed command);

// The programs the interpreter's subprocess tries for `program`, in order:
// itself when it holds a slash, else one per entry of `path` (the default
// search path when null).
std::vector<std::string> exec_candidates(const std::string& program, const char* path);

}  // namespace avwatch
