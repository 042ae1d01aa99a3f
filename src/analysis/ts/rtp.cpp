#include "analysis/ts/rtp.hpp"

#include "analysis/ts/packet.hpp"

#include <bit>

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
        highest_ = sequence;
        seen_ = ~std::uint64_t{0};  // nothing before the first is missing
        return step;
    }
    auto ahead = static_cast<std::uint16_t>(sequence - highest_);
    if (ahead != 0 && ahead < 0x8000) {
        // The numbers that leave the window unseen are lost.
        if (ahead >= reorder_window) {
            step.lost = reorder_window - std::popcount(seen_) + (ahead - reorder_window);
            seen_ = 1;
        } else {
            step.lost = ahead - std::popcount(seen_ >> (reorder_window - ahead));
            seen_ = (seen_ << ahead) | 1;
        }
        highest_ = sequence;
        strays_ = 0;
        return step;
    }
    step.out_of_order = true;
    auto behind = static_cast<std::uint16_t>(highest_ - sequence);
    if (behind < reorder_window) {
        seen_ |= std::uint64_t{1} << behind;  // late, or a copy
        strays_ = 0;
    } else if (++strays_ == 8) {
        started_ = false;  // numbering restarted far behind: follow it
        strays_ = 0;
    }
    return step;
}

}  // namespace avwatch::ts
