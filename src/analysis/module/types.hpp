// The classes of the avwatch_analysis module.
#pragma once

#include "module/ref.hpp"

namespace avwatch::analysis {

// `Analyser`: the parse layer driven from Python (datagrams and times in,
// report dicts out): for tests, and for analysing recorded segments.
Owned analyser_type();
// `Watch`: one input received and analysed continuously by a native thread.
Owned watch_type();


}  // namespace avwatch::analysis
