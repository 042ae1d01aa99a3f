// The prober's answer: its standard output as text, ready for json.loads.
#pragma once

#include "module/function.hpp"

#include <optional>

namespace avwatch {

// Runs `command` with the 3-second limit.  Nothing when the default record
// is due (timed out, a status other than 0, or nothing printed); otherwise
// the first complete JSON value on stdout, or all of stdout when it holds
// none (json.loads then rejects it).
//
// When `subprocess.run` (module global `subprocess`) is the interpreter's
// own, the chain runs natively so that no process outlives the probe;
// a replacement (a test double, a caller's wrapper) is called instead, as
// run(cmd, capture_output=True, text=True, timeout=3).
std::optional<Owned> prober_answer(const Call& call, Borrowed command);

// The first complete JSON value of `stdout_text` (a str; anything else
// unchanged): what a wrapper appends after the document is not ours.
Owned first_json_value(Borrowed stdout_text);

}  // namespace avwatch
