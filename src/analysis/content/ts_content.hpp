// The content checks of a transport stream read as a file (HLS segments,
// one after another): the first program of its PAT is followed through its
// PMT, and its streams' packets go to a ContentAnalyser.  State carries
// over from one feed to the next, as segments continue one stream.
#pragma once

#include "analysis/content/content_analyser.hpp"
#include "analysis/ts/sections.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace avwatch::content {

class TsContent {
public:
    // Bytes of the stream in order; pieces may split packets anywhere.
    void feed(std::span<const std::uint8_t> bytes);
    // What comes next does not follow what came (a skipped segment, a
    // discontinuity): the packet and units in progress are dropped.
    void gap();
    ContentReport report() { return analyser_.report(); }

private:
    void packet(const std::uint8_t* bytes);
    void pat(const ts::Section& section);
    void pmt(const ts::Section& section);

    ts::SectionAssembler pat_assembler_;
    ts::SectionAssembler pmt_assembler_;
    std::optional<std::uint16_t> pmt_pid_;
    std::uint16_t program_ = 0;
    ContentAnalyser analyser_;
    // The continuity counter last seen on each watched PID.
    std::vector<std::pair<std::uint16_t, std::int8_t>> counters_;
    std::array<std::uint8_t, ts::packet_size> partial_{};
    std::size_t partial_size_ = 0;
};

}  // namespace avwatch::content
