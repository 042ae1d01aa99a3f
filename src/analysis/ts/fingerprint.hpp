// A 64-bit digest of one packet, to tell a repeated packet from a new one
// with the same continuity counter without keeping a copy per PID.  A
// repetition must repeat every byte except the PCR field, which carries the
// value of its own sending time: those six bytes are left out.
#pragma once

#include "analysis/ts/packet.hpp"

#include <cstdint>

namespace avwatch::ts {

std::uint64_t fingerprint(const Packet& packet) noexcept;

}  // namespace avwatch::ts
