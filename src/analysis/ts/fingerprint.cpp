#include "analysis/ts/fingerprint.hpp"

#include <bit>
#include <cstring>

namespace avwatch::ts {
namespace {

constexpr std::uint64_t prime1 = 0x9E3779B185EBCA87ull;
constexpr std::uint64_t prime2 = 0xC2B2AE3D27D4EB4Full;

// Multiply-rotate-multiply rounds on four independent lanes, so that the
// multiplications of neighbouring words overlap in the pipeline.
std::uint64_t round(std::uint64_t lane, std::uint64_t word) noexcept {
    return std::rotl(lane + word * prime2, 31) * prime1;
}

std::uint64_t load(const std::uint8_t* at) noexcept {
    std::uint64_t word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

}  // namespace

std::uint64_t fingerprint(const Packet& packet) noexcept {
    const std::uint8_t* p = packet.bytes();
    std::uint64_t lanes[4] = {prime1 + prime2, prime2, 0, 0 - prime1};
    // The header and the two bytes after it: the adaptation field's length
    // and flags (so whether a PCR is there), or the payload's start.
    std::uint64_t head = 0;
    std::memcpy(&head, p, 6);
    lanes[0] = round(lanes[0], head);
    std::size_t from = packet.has_pcr() ? 12 : 6;
    std::size_t index = 1;
    std::size_t at = from;
    for (; at + 8 <= packet_size; at += 8, ++index)
        lanes[index & 3] = round(lanes[index & 3], load(p + at));
    if (at < packet_size)  // the tail: the last eight bytes, overlapping
        lanes[index & 3] = round(lanes[index & 3], load(p + packet_size - 8));
    std::uint64_t h = std::rotl(lanes[0], 1) + std::rotl(lanes[1], 7) + std::rotl(lanes[2], 12) + std::rotl(lanes[3], 18);
    h ^= h >> 33;
    h *= prime2;
    h ^= h >> 29;
    return h;
}

}  // namespace avwatch::ts
