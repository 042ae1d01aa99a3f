// One 188-byte transport-stream packet: the header fields the analyser reads.
// Every accessor reads only inside the 188 bytes it was given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace avwatch::ts {

inline constexpr std::size_t packet_size = 188;
inline constexpr std::uint8_t sync_byte = 0x47;
inline constexpr std::uint16_t pat_pid = 0x0000;
inline constexpr std::uint16_t cat_pid = 0x0001;
inline constexpr std::uint16_t null_pid = 0x1FFF;
inline constexpr std::size_t pid_count = 8192;

// Time as the caller measures it: monotonic nanoseconds.
using Nanos = std::int64_t;
inline constexpr Nanos nanos_per_second = 1'000'000'000;
inline constexpr Nanos millis(std::int64_t ms) { return ms * 1'000'000; }

class Packet {
public:
    explicit Packet(const std::uint8_t* bytes) noexcept : p_(bytes) {}

    const std::uint8_t* bytes() const noexcept { return p_; }

    bool synced() const noexcept { return p_[0] == sync_byte; }
    bool transport_error() const noexcept { return (p_[1] & 0x80) != 0; }
    bool payload_start() const noexcept { return (p_[1] & 0x40) != 0; }
    std::uint16_t pid() const noexcept { return static_cast<std::uint16_t>(((p_[1] & 0x1F) << 8) | p_[2]); }
    std::uint8_t scrambling() const noexcept { return static_cast<std::uint8_t>(p_[3] >> 6); }
    bool has_adaptation() const noexcept { return (p_[3] & 0x20) != 0; }
    bool has_payload() const noexcept { return (p_[3] & 0x10) != 0; }
    std::uint8_t continuity() const noexcept { return p_[3] & 0x0F; }

    // The adaptation field's length byte, clamped to what the packet holds.
    std::size_t adaptation_length() const noexcept {
        if (!has_adaptation())
            return 0;
        std::size_t declared = p_[4];
        return declared > 183 ? 183 : declared;
    }
    bool discontinuity() const noexcept { return adaptation_length() > 0 && (p_[5] & 0x80) != 0; }
    // The program clock reference in 27 MHz ticks, when this packet has one.
    // The PCR field, when present, is bytes 6 to 11.
    bool has_pcr() const noexcept { return adaptation_length() >= 7 && (p_[5] & 0x10) != 0; }
    std::optional<std::int64_t> pcr() const noexcept {
        if (!has_pcr())
            return std::nullopt;
        const std::uint8_t* f = p_ + 6;
        std::int64_t base = (std::int64_t{f[0]} << 25) | (std::int64_t{f[1]} << 17) | (std::int64_t{f[2]} << 9) |
                            (std::int64_t{f[3]} << 1) | (f[4] >> 7);
        std::int64_t extension = ((f[4] & 0x01) << 8) | f[5];
        return base * 300 + extension;
    }
    // The payload: after the header and the adaptation field; empty when the
    // adaptation field claims the whole packet.
    const std::uint8_t* payload() const noexcept { return p_ + payload_offset(); }
    std::size_t payload_size() const noexcept { return has_payload() ? packet_size - payload_offset() : 0; }

private:
    std::size_t payload_offset() const noexcept {
        std::size_t offset = 4 + (has_adaptation() ? 1 + adaptation_length() : 0);
        return offset > packet_size ? packet_size : offset;
    }
    const std::uint8_t* p_;
};

}  // namespace avwatch::ts
