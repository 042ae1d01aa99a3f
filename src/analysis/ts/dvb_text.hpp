// DVB text fields (service and provider names) as UTF-8.  The first byte
// may select a character table; the ones met in practice are decoded (the
// default Latin table ISO 6937, ISO 8859-1 and -15, UCS-2, UTF-8), others
// keep their ASCII and show U+FFFD for the rest.  The result is always valid
// UTF-8 and at most max_text_bytes long: names come from the stream and are
// shown to people.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace avwatch::ts {

inline constexpr std::size_t max_text_bytes = 64;

std::string dvb_text(std::span<const std::uint8_t> bytes);

}  // namespace avwatch::ts
