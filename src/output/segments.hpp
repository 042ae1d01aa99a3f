// The newest segment in a channel's HLS folder, found by a native scan.
#pragma once

#include "module/api.hpp"

namespace avwatch {

struct SegmentScan {
    enum class Outcome {
        no_folder,      // not an existing directory (links followed)
        no_candidates,  // a directory, but every name is excluded (or none)
        found,
    };
    Outcome outcome;
    Owned newest;  // when found: the bare name, as os.listdir decodes it
};

// Lists `folder` (a str), drops names ending in ".tmp" or starting with
// "chunks", and picks the entry with the greatest status-change time, the
// first in listing order among equal times.  The file system work runs
// without the interpreter lock.  Failures raise what os.listdir and
// os.path.getctime raise: OSError with the folder, or with the joined path
// of a candidate that vanished between the listing and its stat.
SegmentScan scan_segments(Borrowed folder);

}  // namespace avwatch
