#include "analysis/ts/fingerprint.hpp"

#include <cstring>

namespace avwatch::ts {
namespace {

constexpr std::uint64_t keys[4] = {0xA0761D6478BD642Full, 0xE7037ED1A0B428DBull, 0x8EBC6AF09C88C6E3ull,
                                   0x589965CC75374CC3ull};

std::uint64_t load(const std::uint8_t* at) noexcept {
    std::uint64_t word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

// The 128-bit product of two words, folded: every input bit reaches every output bit.
__extension__ typedef unsigned __int128 Wide;

std::uint64_t mix(std::uint64_t a, std::uint64_t b) noexcept {
    Wide product = static_cast<Wide>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

}  // namespace

std::uint64_t fingerprint(const Packet& packet) noexcept {
    const std::uint8_t* p = packet.bytes();
    std::uint64_t head = 0;
    std::memcpy(&head, p, 6);
    std::size_t from = packet.has_pcr() ? 12 : 6;
    // Sixteen bytes a step, each step on its own: the products overlap in the pipeline.
    std::uint64_t sum = mix(head ^ keys[0], from ^ keys[1]);
    std::size_t step = 0;
    std::size_t at = from;
    for (; at + 16 <= packet_size; at += 16, ++step)
        sum += mix(load(p + at) ^ keys[step & 3], load(p + at + 8) ^ keys[(step + 1) & 3] ^ step);
    if (at < packet_size)  // the tail: the last sixteen bytes, overlapping
        sum += mix(load(p + packet_size - 16) ^ keys[step & 3], load(p + packet_size - 8) ^ keys[(step + 1) & 3] ^ step);
    return mix(sum ^ keys[2], keys[3]);
}

}  // namespace avwatch::ts
