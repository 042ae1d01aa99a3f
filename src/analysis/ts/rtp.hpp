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

// Losses by sequence number.  A number missing when the newest is 64 or
// more ahead of it counts as lost; until then it may still come late (a
// reordering, counted out of order but not lost), so that the count only
// ever grows.
class RtpSequence {
public:
    static constexpr unsigned reorder_window = 64;
    struct Step {
        std::uint64_t lost = 0;
        bool out_of_order = false;
    };
    Step next(std::uint16_t sequence) noexcept;

private:
    bool started_ = false;
    std::uint16_t highest_ = 0;
    std::uint64_t seen_ = 0;  // bit i: highest_ - i was received
    unsigned strays_ = 0;     // packets in a row far behind: the sender started again
};

}  // namespace avwatch::ts
