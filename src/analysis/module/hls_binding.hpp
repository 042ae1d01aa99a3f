// The HLS output analyser's part of the avwatch_analysis module.
#pragma once

#include "module/ref.hpp"

namespace avwatch::analysis {

// Adds HlsOutput, the parse functions and CHECK_CODES to `module`.
void add_hls(Borrowed module);

}  // namespace avwatch::analysis
