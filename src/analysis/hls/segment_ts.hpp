// What one MPEG-TS segment tells a player that fetches it: whether it is
// TS at all, whether it opens with the tables a decoder needs, whether its
// video starts on a key frame, and continuity inside it.
//
// Read with the shared TS layer's packet and table decoders (CRC-checked
// section reassembly), in one pass that can take the segment in pieces as
// it is read from disk, while each piece is still in the cache.  (The input
// analyser's own per-packet timing work is of no use on a file, and would
// cost several times the read.)
#pragma once

#include "analysis/ts/packet.hpp"
#include "analysis/ts/sections.hpp"

#include <array>
#include <memory>
#include <vector>

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

    bool operator==(const TsFacts&) const = default;
};

// One segment, fed in order.  Pieces may split packets anywhere.
class TsSegmentReader {
public:
    TsSegmentReader();
    ~TsSegmentReader();
    void feed(std::span<const std::uint8_t> bytes);
    TsFacts finish();

private:
    struct Opening;
    void packet(const std::uint8_t* bytes);
    void continuity(const ts::Packet& packet);
    // A whole TS packet once the opening is judged: continuity and the tables only.
    void after_opening(const ts::Packet& packet);
    // The usual case of continuity(), done: no payload (the counter advances
    // only with one), a null packet (its counter is free), the next count.
    bool usual_continuity(const ts::Packet& packet, std::uint16_t pid) {
        if (pid == ts::null_pid || !packet.has_payload())
            return true;
        std::int16_t& last = last_cc_[pid];
        std::uint8_t cc = packet.continuity();
        if (cc != ((last + 1) & 0x0F))
            return false;
        last = cc;
        repeated_[pid] = false;
        return true;
    }

    TsFacts facts_;
    bool first_byte_ = true;
    std::array<std::uint8_t, ts_packet_size> partial_{};
    std::size_t partial_size_ = 0;
    std::array<std::int16_t, ts::pid_count> last_cc_;  // not a char type: no aliasing with the bytes
    std::array<bool, ts::pid_count> repeated_{};
    std::unique_ptr<Opening> opening_;
    bool opening_done_ = false;
    std::uint16_t table_pid_ = 0;  // the PMT's, once known
};

TsFacts read_ts_segment(std::span<const std::uint8_t> bytes);

}  // namespace avwatch::hls
