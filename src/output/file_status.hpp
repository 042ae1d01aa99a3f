// File metadata as the interpreter's os.path reads it, by a stat() made
// without the GIL.
#pragma once

#include "module/api.hpp"

namespace avwatch {

// os.path.isfile(path) for a path we fix ourselves: a regular file after
// symbolic links are followed; any failure of stat() is a plain false.
bool is_regular_file(const char* path);

// os.path.getmtime(path): the modification time in seconds as a float.
// `path` is a str, bytes, os.PathLike or file descriptor, as os.stat takes
// it; failures raise what os.stat raises (OSError with the filename, ...).
Owned modification_time(Borrowed path);

}  // namespace avwatch
