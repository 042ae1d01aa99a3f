// The content checks of one program: its first video stream and up to
// eight audio streams, each fed the PES units of its PID.  Rebuilt when the
// program's streams change; fed TS packets of those PIDs only.
#pragma once

#include "analysis/content/audio_check.hpp"
#include "analysis/content/content_report.hpp"
#include "analysis/content/pes_assembler.hpp"
#include "analysis/content/video_check.hpp"
#include "analysis/ts/packet.hpp"
#include "analysis/ts/psi.hpp"

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace avwatch::content {

inline constexpr std::size_t max_audio_checks = 8;

class ContentAnalyser {
public:
    // The program's streams (those of its PMT; empty when it has none).
    // True when the watched PIDs changed: the checks were rebuilt.
    bool program(std::span<const ts::ElementaryStream> streams);
    // The PIDs whose packets packet() wants.
    const std::vector<std::uint16_t>& pids() const noexcept { return pids_; }
    // One packet of a watched PID (others are ignored); `lost`: packets of
    // its PID are missing just before it.
    void packet(const ts::Packet& packet, bool lost);
    // Packets of every PID may have been lost: the units in progress go.
    void gap();
    ContentReport report();

private:
    struct Video {
        std::uint16_t pid;
        PesAssembler pes{video_pes_cap};
        std::unique_ptr<VideoCheck> check;
        std::uint64_t dropped = 0;  // PES drops already told to the check
    };
    struct Audio {
        std::uint16_t pid;
        PesAssembler pes{audio_pes_cap};
        std::unique_ptr<AudioCheck> check;
    };

    // The streams as last given: (pid, stream_type, codec) of the watched ones.
    std::vector<ts::ElementaryStream> watched_;
    std::vector<std::uint16_t> pids_;
    std::unique_ptr<Video> video_;
    std::vector<std::unique_ptr<Audio>> audio_;
};

}  // namespace avwatch::content
