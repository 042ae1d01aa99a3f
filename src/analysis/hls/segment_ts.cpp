#include "analysis/hls/segment_ts.hpp"

#include <algorithm>
#include <array>
#include <vector>

namespace avwatch::hls {

namespace {

constexpr std::uint16_t pat_pid = 0;
constexpr std::uint16_t null_pid = 0x1FFF;
constexpr std::uint16_t last_table_pid = 0x1F;  // PAT, CAT, SDT, ... never media
// The start of the first video PES kept for the key-frame test: past the
// AUD, parameter sets and encoder SEI to the first slice.
constexpr std::size_t key_frame_window = 16 * 1024;

enum class VideoKind { none, h264, hevc, other };

VideoKind video_kind(std::uint8_t stream_type) {
    switch (stream_type) {
    case 0x1B:
        return VideoKind::h264;
    case 0x24:
        return VideoKind::hevc;
    case 0x01:
    case 0x02:
    case 0x10:
    case 0x42:
    case 0xEA:
        return VideoKind::other;
    default:
        return VideoKind::none;
    }
}

struct Packet {
    std::uint16_t pid;
    bool unit_start;
    bool has_payload;
    std::uint8_t continuity;
    bool discontinuity;
    bool random_access;
    std::span<const std::uint8_t> payload;
};

Packet parse_packet(std::span<const std::uint8_t, ts_packet_size> p) {
    Packet packet{};
    packet.pid = static_cast<std::uint16_t>(((p[1] & 0x1F) << 8) | p[2]);
    packet.unit_start = (p[1] & 0x40) != 0;
    std::uint8_t control = (p[3] >> 4) & 0x3;
    packet.has_payload = (control & 1) != 0;
    packet.continuity = p[3] & 0x0F;
    std::size_t start = 4;
    if (control & 2) {
        std::size_t length = p[4];
        if (length > 0) {
            packet.discontinuity = (p[5] & 0x80) != 0;
            packet.random_access = (p[5] & 0x40) != 0;
        }
        start = 5 + length;
    }
    if (packet.has_payload && start < ts_packet_size)
        packet.payload = std::span<const std::uint8_t>(p).subspan(start);
    else
        packet.has_payload = packet.has_payload && start < ts_packet_size;
    return packet;
}

// The section a payload unit starts, within this one packet (PAT and PMT
// of a segment are a few dozen bytes).  Empty when it does not fit.
std::span<const std::uint8_t> section_in(const Packet& packet, std::uint8_t table_id) {
    auto payload = packet.payload;
    if (!packet.unit_start || payload.empty())
        return {};
    std::size_t at = 1 + payload[0];  // pointer_field
    if (at + 3 > payload.size() || payload[at] != table_id)
        return {};
    std::size_t length = ((payload[at + 1] & 0x0F) << 8) | payload[at + 2];
    if (length < 9 || at + 3 + length > payload.size())
        return {};
    // The body, without the CRC.
    return payload.subspan(at, 3 + length - 4);
}

// Judges a video access unit from the first bytes of its PES packet: the
// first slice (or random-access picture) decides.
std::optional<bool> starts_on_key_frame(const std::vector<std::uint8_t>& pes, VideoKind kind) {
    if (pes.size() < 9 || pes[0] != 0 || pes[1] != 0 || pes[2] != 1)
        return std::nullopt;
    std::size_t i = 9 + pes[8];
    for (; i + 3 < pes.size(); ++i) {
        if (pes[i] != 0 || pes[i + 1] != 0 || pes[i + 2] != 1)
            continue;
        std::uint8_t header = pes[i + 3];
        if (kind == VideoKind::h264) {
            int type = header & 0x1F;
            if (type == 5)
                return true;
            if (type == 1)
                return false;
        } else if (kind == VideoKind::hevc) {
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

class Reader {
public:
    TsFacts facts;

    void packet(const Packet& packet) {
        continuity(packet);
        if (packet.pid == pat_pid) {
            read_pat(packet);
            return;
        }
        if (packet.pid == null_pid || packet.pid <= last_table_pid)
            return;
        if (is_pmt_[packet.pid]) {
            read_pmt(packet);
            return;
        }
        if (!media_seen_) {
            media_seen_ = true;
            facts.pat_before_media = pat_seen_;
            facts.pmt_before_media = pmt_seen_;
        }
        if (packet.pid == video_pid_)
            video(packet);
    }

    void finish() {
        if (!media_seen_) {
            facts.pat_before_media = pat_seen_;
            facts.pmt_before_media = pmt_seen_;
        }
        if (collecting_ || !first_pes_.empty()) {
            if (!facts.video_starts_on_key_frame)
                facts.video_starts_on_key_frame = starts_on_key_frame(first_pes_, video_kind_);
        }
    }

private:
    void continuity(const Packet& packet) {
        // The counter advances only with a payload; a null packet's is free.
        if (packet.pid == null_pid || !packet.has_payload)
            return;
        int& last = last_cc_[packet.pid];
        bool& repeated = repeated_[packet.pid];
        if (last < 0 || packet.discontinuity) {
            last = packet.continuity;
            repeated = false;
            return;
        }
        if (packet.continuity == last) {
            // One repetition of a packet is allowed; a second is an error.
            if (repeated)
                ++facts.continuity_errors;
            repeated = true;
            return;
        }
        if (packet.continuity != ((last + 1) & 0x0F))
            ++facts.continuity_errors;
        last = packet.continuity;
        repeated = false;
    }

    void read_pat(const Packet& packet) {
        auto body = section_in(packet, 0x00);
        if (body.empty())
            return;
        pat_seen_ = true;
        for (std::size_t at = 8; at + 4 <= body.size(); at += 4) {
            std::uint16_t program = static_cast<std::uint16_t>((body[at] << 8) | body[at + 1]);
            std::uint16_t pid = static_cast<std::uint16_t>(((body[at + 2] & 0x1F) << 8) | body[at + 3]);
            if (program != 0 && pid != null_pid && pid > last_table_pid)
                is_pmt_[pid] = true;
        }
    }

    void read_pmt(const Packet& packet) {
        auto body = section_in(packet, 0x02);
        if (body.size() < 12)
            return;
        pmt_seen_ = true;
        std::size_t info = ((body[10] & 0x0F) << 8) | body[11];
        for (std::size_t at = 12 + info; at + 5 <= body.size();) {
            std::uint8_t type = body[at];
            std::uint16_t pid = static_cast<std::uint16_t>(((body[at + 1] & 0x1F) << 8) | body[at + 2]);
            std::size_t es_info = ((body[at + 3] & 0x0F) << 8) | body[at + 4];
            VideoKind kind = video_kind(type);
            if (kind != VideoKind::none && video_kind_ == VideoKind::none) {
                video_kind_ = kind;
                video_pid_ = pid;
                facts.has_video = true;
            }
            at += 5 + es_info;
        }
    }

    void video(const Packet& packet) {
        bool first = !video_seen_;
        video_seen_ = true;
        if (facts.video_starts_on_key_frame || (!collecting_ && !first_pes_.empty()))
            return;
        if (first && !packet.unit_start) {  // cut inside an access unit
            facts.video_starts_on_key_frame = false;
            return;
        }
        if (packet.unit_start) {
            if (collecting_) {  // the next access unit: the first is complete
                collecting_ = false;
                facts.video_starts_on_key_frame = starts_on_key_frame(first_pes_, video_kind_);
                return;
            }
            collecting_ = true;
            if (packet.random_access) {
                facts.video_starts_on_key_frame = true;
                collecting_ = false;
                return;
            }
        }
        if (!collecting_ || !packet.has_payload)
            return;
        std::size_t room = key_frame_window - first_pes_.size();
        std::size_t take = std::min(room, packet.payload.size());
        first_pes_.insert(first_pes_.end(), packet.payload.begin(), packet.payload.begin() + take);
        if (first_pes_.size() >= key_frame_window)
            collecting_ = false;
    }

    std::array<int, 8192> last_cc_ = filled(-1);
    std::array<bool, 8192> repeated_{};
    std::array<bool, 8192> is_pmt_{};
    bool pat_seen_ = false;
    bool pmt_seen_ = false;
    bool media_seen_ = false;
    bool video_seen_ = false;
    VideoKind video_kind_ = VideoKind::none;
    std::uint16_t video_pid_ = null_pid;
    bool collecting_ = false;
    std::vector<std::uint8_t> first_pes_;

    static std::array<int, 8192> filled(int value) {
        std::array<int, 8192> out;
        out.fill(value);
        return out;
    }
};

}  // namespace

TsFacts read_ts_segment(std::span<const std::uint8_t> bytes) {
    Reader reader;
    TsFacts& facts = reader.facts;
    facts.starts_with_sync = !bytes.empty() && bytes[0] == ts_sync_byte;
    facts.packets = bytes.size() / ts_packet_size;
    facts.trailing_bytes = bytes.size() % ts_packet_size;
    for (std::uint64_t i = 0; i < facts.packets; ++i) {
        auto packet = bytes.subspan(i * ts_packet_size).first<ts_packet_size>();
        if (packet[0] != ts_sync_byte) {
            ++facts.sync_errors;
            continue;
        }
        reader.packet(parse_packet(packet));
    }
    reader.finish();
    return facts;
}

}  // namespace avwatch::hls
