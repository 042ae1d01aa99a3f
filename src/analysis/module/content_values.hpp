// The content checks' report as the "content" and "thumbnail" items of a
// report dict (the input analyser's and the HLS check's alike).
#pragma once

#include "analysis/content/content_report.hpp"
#include "module/api.hpp"

namespace avwatch::analysis {

void put_content(Borrowed dict, const content::ContentReport& report);

}  // namespace avwatch::analysis
