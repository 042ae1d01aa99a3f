// Reading a text file the way `with open(path) as file:` does.
//
// The file is opened by the interpreter's own io.open (locale encoding,
// strict errors, universal newlines, the usual OSError subclasses), so the
// interpreter also releases the GIL around the open and every read.
#pragma once

#include "module/api.hpp"

namespace avwatch {

Owned open_text_file(Borrowed path);

// Closes `file`.  Called while an error is pending, it keeps that error; if
// close() itself fails then, its error wins and carries the first one as
// __context__, as a with-block's exit does.
void close_text_file(Borrowed file);

// Opens `path`, hands the file to `use` and closes it on every way out.
template <class Use>
Owned with_text_file(Borrowed path, Use&& use) {
    Owned file = open_text_file(path);
    Owned result;
    try {
        result = use(Borrowed(file));
    } catch (const abi::__forced_unwind&) {
        throw;  // the thread is ending without the lock: no Python now
    } catch (...) {
        close_text_file(file);
        throw;
    }
    close_text_file(file);
    return result;
}

}  // namespace avwatch
