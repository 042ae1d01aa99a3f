// RTP around transport-stream packets: the header is stripped when the
// datagram is one, and the sequence numbers give delivery losses.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace avwatch::ts {

struct RtpHeader {
    std::uint16_t sequence;
    std::span<const std::uint8_t> payload;
};

// The RTP header of a datagram whose payload starts with a TS sync byte;
// nullopt when it is not RTP carrying TS (or its lengths do not fit).
std::optional<RtpHeader> parse_rtp(std::span<const std::uint8_t> datagram) noexcept;

class RtpSequence {
public:
    struct Step {
        std::uint64_t lost = 0;
        bool out_of_order = false;
    };
    Step next(std::uint16_t sequence) noexcept;

private:
    bool started_ = false;
    std::uint16_t expected_ = 0;
};

}  // namespace avwatch::ts
