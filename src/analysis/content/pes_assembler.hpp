// Reassembles one PID's PES packets from its TS packets into EsUnits.
//
// Memory is bounded by the cap given: a PES growing past it is dropped and
// counted, as is one whose header lies (no start code, a length that the
// packets do not match, a header longer than the packet).  A lost packet
// drops the unit in progress: a unit with a hole would only feed the
// decoders garbage.  No sockets, clocks or Python.
#pragma once

#include "analysis/content/es_unit.hpp"
#include "analysis/ts/packet.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace avwatch::content {

inline constexpr std::size_t video_pes_cap = 4 << 20;
// Each unit handed on is followed by this many zero bytes: FFmpeg's parsers
// and decoders read a little past the end of what they are given.
inline constexpr std::size_t es_padding = 64;
inline constexpr std::size_t audio_pes_cap = 64 << 10;

struct PesCounts {
    std::uint64_t units = 0;    // handed on
    std::uint64_t dropped = 0;  // lying headers, overflows, units cut by a loss
};

class PesAssembler {
public:
    explicit PesAssembler(std::size_t cap) : cap_(cap) {}

    // One TS packet of the PID, in order; `lost`: packets are missing just
    // before it.  Calls on_unit(const EsUnit&) for each unit completed (at
    // most two: the one it ends and one it holds whole).
    template <class OnUnit>
    void packet(const ts::Packet& packet, bool lost, OnUnit&& on_unit) {
        if (lost)
            drop_open();
        if (packet.payload_start()) {
            if (open_ && ready_at_start())
                on_unit(unit_);
            begin(packet);
        } else if (!open_ || !append(packet.payload(), packet.payload_size())) {
            return;
        }
        if (open_ && ready_at_length())
            on_unit(unit_);
    }

    // Forgets the unit in progress (not counted: the caller knows why).
    void reset() noexcept {
        open_ = false;
        buffer_.clear();
    }

    const PesCounts& counts() const noexcept { return counts_; }

private:
    void drop_open() noexcept;
    void begin(const ts::Packet& packet);
    bool append(const std::uint8_t* data, std::size_t size);
    // The open unit ends at a new payload start: true when unit_ holds it.
    bool ready_at_start();
    // The open unit has its declared length: true when unit_ holds it.
    bool ready_at_length();
    bool close();

    std::size_t cap_;
    std::vector<std::uint8_t> buffer_;  // the PES packet from its start code
    bool open_ = false;
    bool random_access_ = false;
    EsUnit unit_;
    PesCounts counts_;
};

}  // namespace avwatch::content
