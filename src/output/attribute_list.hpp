// Values in an HLS tag's attribute list.
#pragma once

#include "module/api.hpp"

namespace avwatch {

// The raw value of the attribute `name` in `tag` (a str such as
// `#EXT-X-STREAM-INF:BANDWIDTH=1,CODECS="a,b"`): the list is the text after
// the first ':', attributes are separated by commas outside double quotes,
// and names are compared after trimming whitespace.  The first attribute of
// that name wins; an empty Owned when there is none (no error set).
Owned attribute_value(Borrowed tag, std::string_view name);

}  // namespace avwatch
