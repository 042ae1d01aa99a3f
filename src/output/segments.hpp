// The newest segment in a channel's HLS folder.
#pragma once

#include "module/function.hpp"

namespace avwatch {

struct SegmentScan {
    enum class Outcome {
        no_folder,      // os.path.isdir(folder) is false
        no_candidates,  // every name is excluded (or there is none)
        found,
    };
    Outcome outcome;
    Owned newest;  // when found: the name as os.listdir gives it
    Owned path;    // when found: os.path.join(folder, newest)
};

// The selection the output pass makes:
//
//     if not os.path.isdir(folder): ...
//     names = [name for name in os.listdir(folder)
//              if not name.endswith(".tmp") and not name.startswith("chunks")]
//     newest = max(names, key=lambda name: os.path.getctime(os.path.join(folder, name)))
//
// (the greatest status-change time, the first in listing order among equal
// times), with `os` the module global at each use.  While the four os
// functions are the interpreter's own, it is one native scan with the
// interpreter lock released, raising what they raise (OSError with the
// folder, or with the joined path of a candidate that vanished between the
// listing and its stat); otherwise those functions are called as above.
SegmentScan scan_segments(const Call& call, Borrowed folder);

}  // namespace avwatch
