// What one MPEG-TS segment tells a player that fetches it: whether it is
// TS at all, whether it opens with the tables a decoder needs, whether its
// video starts on a key frame, and continuity inside it.
//
// The counters come from the input analyser's TS layer, fed the segment as
// one datagram; the opening of the segment (tables, first access unit) is
// read here with the same layer's packet and table decoders.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace avwatch::hls {

inline constexpr std::size_t ts_packet_size = 188;
inline constexpr std::uint8_t ts_sync_byte = 0x47;

struct TsFacts {
    std::uint64_t packets = 0;          // whole 188-byte packets
    std::uint64_t sync_errors = 0;      // of them, without the sync byte
    std::uint64_t trailing_bytes = 0;   // after the last whole packet
    bool starts_with_sync = false;
    bool pat_before_media = false;      // a PAT before the first elementary packet
    bool pmt_before_media = false;      // and a PMT the PAT names
    bool has_video = false;
    // Unknown when the first video access unit could not be judged.
    std::optional<bool> video_starts_on_key_frame;
    std::uint64_t continuity_errors = 0;
    std::uint64_t table_crc_errors = 0;  // PAT or PMT sections failing their CRC
};

TsFacts read_ts_segment(std::span<const std::uint8_t> bytes);

}  // namespace avwatch::hls
