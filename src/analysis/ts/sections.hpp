// Reassembles PSI sections (PAT, PMT) from the payloads of one PID's
// packets.  Memory is one fixed buffer: a section longer than the limit for
// these tables is reported as malformed and dropped, never grown into.
#pragma once

#include "analysis/ts/packet.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace avwatch::ts {

// PAT and PMT sections: section_length at most 1021, plus the 3 bytes before it.
inline constexpr std::size_t max_section_size = 1024;

struct Section {
    std::span<const std::uint8_t> bytes;  // from table_id up to and including the CRC
    bool crc_ok;
    std::uint8_t table_id() const noexcept { return bytes[0]; }
};

class SectionAssembler {
public:
    // Feeds one packet of the PID; `lost_before` when packets are known to be
    // missing just before it (a partial section is then dropped).  Calls
    // on_section(const Section&) per complete section; returns how many
    // malformed sections (length over the limit, or too short to hold a CRC)
    // were dropped.
    template <class OnSection>
    unsigned push(const Packet& packet, bool lost_before, OnSection&& on_section);

    void reset() noexcept { size_ = 0; }

private:
    // Appends up to what the current section still needs; true when complete.
    std::size_t append(const std::uint8_t* data, std::size_t available) noexcept;
    bool complete() const noexcept { return size_ >= 3 && size_ == expected(); }
    std::size_t expected() const noexcept { return 3 + (((buffer_[1] & 0x0F) << 8) | buffer_[2]); }

    std::array<std::uint8_t, max_section_size> buffer_{};
    std::size_t size_ = 0;  // bytes of the section in progress; 0 when none
};

Section checked(std::span<const std::uint8_t> bytes) noexcept;

template <class OnSection>
unsigned SectionAssembler::push(const Packet& packet, bool lost_before, OnSection&& on_section) {
    const std::uint8_t* data = packet.payload();
    std::size_t left = packet.payload_size();
    unsigned malformed = 0;
    if (lost_before)
        size_ = 0;
    if (left == 0)
        return 0;
    // One section's end: emitted, or counted when it cannot be a section.
    auto finish = [&]() {
        if (size_ >= 3 && expected() > max_section_size) {
            ++malformed;
            size_ = 0;
            return false;
        }
        if (!complete())
            return true;
        if (size_ < 3 + 5 + 4 && (buffer_[1] & 0x80))  // long form: header and CRC at least
            ++malformed;
        else
            on_section(checked({buffer_.data(), size_}));
        size_ = 0;
        return true;
    };
    if (!packet.payload_start()) {
        if (size_ > 0) {
            std::size_t used = append(data, left);
            (void)used;
            finish();
        }
        return malformed;
    }
    std::size_t pointer = data[0];
    ++data;
    --left;
    if (pointer > left) {  // points past the packet: nothing here can be trusted
        size_ = 0;
        return malformed + 1;
    }
    if (size_ > 0) {
        append(data, pointer);
        if (!complete())
            size_ = 0;  // the next section starts here, so this one was cut short
        else
            finish();
    }
    data += pointer;
    left -= pointer;
    while (left > 0 && data[0] != 0xFF) {
        std::size_t used = append(data, left);
        data += used;
        left -= used;
        if (!finish())
            break;
        if (size_ > 0)  // the section continues in the next packet
            break;
    }
    return malformed;
}

}  // namespace avwatch::ts
