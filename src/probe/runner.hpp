// The prober chain as a child process group that never outlives the probe.
//
// The chain is nice -> cpulimit -> ffprobe.  cpulimit forks ffprobe and a
// limiter, so killing only the started process would leave both behind; and
// the limiter holds the output pipes open for seconds after ffprobe is done.
// The chain therefore runs as its own process group, the answer is taken as
// soon as the started process has exited and stdout is at end of file or
// holds a complete JSON value, and then the whole group is killed.
//
// The worker may die without running any code (SIGKILL, SIGTERM's default
// action), so the chain is started and killed by this worker's guard
// process (src/guard/), which kills it too when the worker is gone.
#pragma once

#include "module/ref.hpp"

#include <chrono>
#include <optional>
#include <string>

namespace avwatch {

struct ProberOutput {
    // The started process's exit status, or minus the signal that ended it.
    int returncode;
    // The first complete JSON value on stdout (raw bytes), or all of stdout
    // when it holds none.
    std::string answer;
};

// Runs `command` (a sequence of str, bytes or path-like; the first is looked
// up on PATH) as the interpreter's subprocess would start it, but in a new
// process group with stdin from /dev/null, and waits with the interpreter
// lock released.  Returns nothing when `limit` expired first.  Whatever the
// outcome, the group has been killed and the started process collected on
// return (by the guard, whose child it is).  Throws ErrorSet when the chain
// cannot be started (the OSError subclass for the errno, naming the
// program) or a signal handler raised (Ctrl-C: KeyboardInterrupt).
std::optional<ProberOutput> run_prober(Borrowed command, std::chrono::milliseconds limit);

}  // namespace avwatch
