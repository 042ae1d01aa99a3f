#include "analysis/hls/segment_ts.hpp"

#include "analysis/ts/analyser.hpp"
#include "analysis/ts/packet.hpp"
#include "analysis/ts/psi.hpp"
#include "analysis/ts/sections.hpp"

#include <algorithm>
#include <array>
#include <vector>

namespace avwatch::hls {

namespace {

constexpr std::uint16_t last_table_pid = 0x1F;  // PAT, CAT, SDT, ... never media
// The start of the first video PES kept for the key-frame test: past the
// AUD, parameter sets and encoder SEI to the first slice.
constexpr std::size_t key_frame_window = 16 * 1024;

enum class VideoKind { h264, hevc, other };

VideoKind video_kind(std::string_view codec) {
    if (codec == "h264")
        return VideoKind::h264;
    if (codec == "hevc")
        return VideoKind::hevc;
    return VideoKind::other;
}

// Judges a video access unit from the first bytes of its PES packet: the
// first slice (or random-access picture) decides.
std::optional<bool> starts_on_key_frame(const std::vector<std::uint8_t>& pes, VideoKind kind) {
    if (kind == VideoKind::other || pes.size() < 9 || pes[0] != 0 || pes[1] != 0 || pes[2] != 1)
        return std::nullopt;
    for (std::size_t i = 9 + pes[8]; i + 3 < pes.size(); ++i) {
        if (pes[i] != 0 || pes[i + 1] != 0 || pes[i + 2] != 1)
            continue;
        std::uint8_t header = pes[i + 3];
        if (kind == VideoKind::h264) {
            int type = header & 0x1F;
            if (type == 5)
                return true;
            if (type == 1)
                return false;
        } else {
            int type = (header >> 1) & 0x3F;
            if (type >= 16 && type <= 21)
                return true;
            if (type <= 9)
                return false;
        }
        i += 2;
    }
    return std::nullopt;
}

bool random_access(const ts::Packet& packet, const std::uint8_t* bytes) {
    return packet.adaptation_length() > 0 && (bytes[5] & 0x40) != 0;
}

// The opening of a segment: the tables a decoder needs before the media,
// and the first video access unit.  Stops reading once both are judged.
class Opening {
public:
    explicit Opening(TsFacts& facts) : facts_(facts) {}

    // False once nothing more is to be learnt.
    bool packet(const std::uint8_t* bytes) {
        ts::Packet packet(bytes);
        std::uint16_t pid = packet.pid();
        if (pid == ts::pat_pid) {
            pat_.push(packet, false, [&](const ts::Section& section) { on_pat(section); });
            return true;
        }
        if (pid == ts::null_pid || pid <= last_table_pid)
            return true;
        if (pmt_pid_ && pid == *pmt_pid_ && !pmt_seen_) {
            pmt_.push(packet, false, [&](const ts::Section& section) { on_pmt(section); });
            return true;
        }
        if (!media_seen_) {
            media_seen_ = true;
            facts_.pat_before_media = pat_seen_;
            facts_.pmt_before_media = pmt_seen_;
            if (!pmt_seen_)
                return false;  // the video PID is unknown: nothing to judge
        }
        if (video_pid_ && pid == *video_pid_)
            return video(packet, bytes);
        return true;
    }

    void finish() {
        if (!media_seen_) {
            facts_.pat_before_media = pat_seen_;
            facts_.pmt_before_media = pmt_seen_;
        }
        if (collecting_ && !facts_.video_starts_on_key_frame)
            facts_.video_starts_on_key_frame = starts_on_key_frame(first_unit_, kind_);
    }

private:
    void on_pat(const ts::Section& section) {
        if (!section.crc_ok || section.table_id() != ts::pat_table_id || pat_seen_)
            return;
        auto pat = ts::decode_pat(section);
        if (!pat)
            return;
        for (const ts::PatEntry& entry : pat->entries)
            if (entry.program != 0) {  // the segment's first program is the one played
                pmt_pid_ = entry.pmt_pid;
                pat_seen_ = true;
                return;
            }
    }

    void on_pmt(const ts::Section& section) {
        if (!section.crc_ok || section.table_id() != ts::pmt_table_id)
            return;
        auto pmt = ts::decode_pmt(section);
        if (!pmt)
            return;
        pmt_seen_ = true;
        for (const ts::ElementaryStream& stream : pmt->streams)
            if (stream.kind == "video") {
                video_pid_ = stream.pid;
                kind_ = video_kind(stream.codec);
                facts_.has_video = true;
                return;
            }
    }

    bool video(const ts::Packet& packet, const std::uint8_t* bytes) {
        bool first = !video_seen_;
        video_seen_ = true;
        if (packet.payload_start()) {
            if (collecting_) {  // the next access unit: the first is whole
                facts_.video_starts_on_key_frame = starts_on_key_frame(first_unit_, kind_);
                return false;
            }
            if (random_access(packet, bytes)) {
                facts_.video_starts_on_key_frame = true;
                return false;
            }
            collecting_ = true;
        } else if (first) {  // cut inside an access unit
            facts_.video_starts_on_key_frame = false;
            return false;
        }
        std::size_t take = std::min(key_frame_window - first_unit_.size(), packet.payload_size());
        first_unit_.insert(first_unit_.end(), packet.payload(), packet.payload() + take);
        if (first_unit_.size() < key_frame_window)
            return true;
        facts_.video_starts_on_key_frame = starts_on_key_frame(first_unit_, kind_);
        collecting_ = false;
        return false;
    }

    TsFacts& facts_;
    ts::SectionAssembler pat_;
    ts::SectionAssembler pmt_;
    std::optional<std::uint16_t> pmt_pid_;
    std::optional<std::uint16_t> video_pid_;
    VideoKind kind_ = VideoKind::other;
    bool pat_seen_ = false;
    bool pmt_seen_ = false;
    bool media_seen_ = false;
    bool video_seen_ = false;
    bool collecting_ = false;
    std::vector<std::uint8_t> first_unit_;
};

}  // namespace

TsFacts read_ts_segment(std::span<const std::uint8_t> bytes) {
    TsFacts facts;
    facts.starts_with_sync = !bytes.empty() && bytes[0] == ts_sync_byte;
    facts.packets = bytes.size() / ts_packet_size;
    facts.trailing_bytes = bytes.size() % ts_packet_size;
    auto whole = bytes.first(facts.packets * ts_packet_size);
    if (!facts.starts_with_sync) {
        for (std::uint64_t i = 0; i < facts.packets; ++i)
            facts.sync_errors += whole[i * ts_packet_size] != ts_sync_byte;
        return facts;
    }
    // The whole segment as one datagram arriving at once: only the
    // counters that do not depend on arrival times are read.
    ts::Analyser analyser;
    analyser.datagram(whole, 0);
    const ts::Counters& totals = analyser.totals();
    facts.sync_errors = totals[ts::Counter::sync_byte_errors];
    facts.continuity_errors = totals[ts::Counter::continuity_errors];
    facts.table_crc_errors = totals[ts::Counter::crc_errors];

    Opening opening(facts);
    for (std::uint64_t i = 0; i < facts.packets; ++i) {
        const std::uint8_t* packet = whole.data() + i * ts_packet_size;
        if (packet[0] == ts_sync_byte && !opening.packet(packet))
            break;
    }
    opening.finish();
    return facts;
}

}  // namespace avwatch::hls
