#include "analysis/ts/rtp.hpp"

#include "analysis/ts/packet.hpp"

namespace avwatch::ts {

std::optional<RtpHeader> parse_rtp(std::span<const std::uint8_t> d) noexcept {
    if (d.size() < 12 || (d[0] >> 6) != 2)
        return std::nullopt;
    std::size_t header = 12 + 4 * std::size_t{d[0] & 0x0Fu};
    if ((d[0] & 0x10) != 0) {  // extension: 4 bytes, then its length in words
        if (d.size() < header + 4)
            return std::nullopt;
        header += 4 + 4 * std::size_t((d[header + 2] << 8) | d[header + 3]);
    }
    std::size_t end = d.size();
    if ((d[0] & 0x20) != 0) {  // padding: the last byte says how much
        std::size_t padding = d[end - 1];
        if (padding > end)
            return std::nullopt;
        end -= padding;
    }
    if (header >= end || d[header] != sync_byte)
        return std::nullopt;
    return RtpHeader{static_cast<std::uint16_t>((d[2] << 8) | d[3]), d.subspan(header, end - header)};
}

RtpSequence::Step RtpSequence::next(std::uint16_t sequence) noexcept {
    Step step;
    if (!started_) {
        started_ = true;
    } else {
        auto ahead = static_cast<std::uint16_t>(sequence - expected_);
        if (ahead >= 0x8000) {  // behind the newest: a late or repeated packet
            step.out_of_order = true;
            return step;
        }
        step.lost = ahead;
    }
    expected_ = static_cast<std::uint16_t>(sequence + 1);
    return step;
}

}  // namespace avwatch::ts
