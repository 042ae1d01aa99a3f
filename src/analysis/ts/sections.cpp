#include "analysis/ts/sections.hpp"

#include "analysis/ts/crc32.hpp"

#include <algorithm>
#include <cstring>

namespace avwatch::ts {

Section checked(std::span<const std::uint8_t> bytes) noexcept {
    // Only long-form sections (PAT, PMT: section_syntax_indicator set) carry a CRC.
    bool long_form = bytes.size() >= 3 && (bytes[1] & 0x80) != 0;
    bool crc_ok = !long_form || section_crc32(bytes.data(), bytes.size()) == 0;
    return Section{bytes, crc_ok};
}

std::size_t SectionAssembler::append(const std::uint8_t* data, std::size_t available) noexcept {
    std::size_t used = 0;
    // The three bytes that give the length first.
    while (size_ < 3 && used < available)
        buffer_[size_++] = data[used++];
    if (size_ < 3)
        return used;
    std::size_t want = expected();
    if (want > max_section_size)
        return used;  // reported as malformed by the caller
    std::size_t take = std::min(want - size_, available - used);
    std::memcpy(buffer_.data() + size_, data + used, take);
    size_ += take;
    return used + take;
}

}  // namespace avwatch::ts
