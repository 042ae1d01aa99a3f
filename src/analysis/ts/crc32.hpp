// The CRC-32 of PSI sections (polynomial 0x04C11DB7, no reflection): a
// section with its CRC appended checks to zero.
#pragma once

#include <cstddef>
#include <cstdint>

namespace avwatch::ts {

std::uint32_t section_crc32(const std::uint8_t* data, std::size_t size) noexcept;

}  // namespace avwatch::ts
