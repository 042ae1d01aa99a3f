#include "analysis/input/ip_datagram.hpp"

#include <algorithm>
#include <cstring>

namespace avwatch::input {
namespace {

std::uint16_t big16(const std::uint8_t* p) noexcept { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

// The ones' complement sum (RFC 1071) in the machine's byte order: whether
// a checksummed whole sums to 0xFFFF does not depend on it, and loading
// words as they lie is what keeps this cheap.
std::uint64_t add_words(std::uint64_t sum, std::span<const std::uint8_t> bytes) noexcept {
    std::size_t i = 0;
    for (; i + 4 <= bytes.size(); i += 4) {
        std::uint32_t word;
        std::memcpy(&word, bytes.data() + i, 4);
        sum += word;
    }
    if (i + 2 <= bytes.size()) {
        std::uint16_t half;
        std::memcpy(&half, bytes.data() + i, 2);
        sum += half;
        i += 2;
    }
    if (i < bytes.size()) {
        std::uint8_t last[2] = {bytes[i], 0};
        std::uint16_t half;
        std::memcpy(&half, last, 2);
        sum += half;
    }
    return sum;
}

std::uint16_t fold(std::uint64_t sum) noexcept {
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(sum);
}

}  // namespace

std::optional<Ipv4Packet> parse_ipv4(std::span<const std::uint8_t> bytes) noexcept {
    if (bytes.size() < 20 || (bytes[0] >> 4) != 4)
        return std::nullopt;
    std::size_t header = std::size_t{bytes[0] & 0x0Fu} * 4;
    std::size_t total = big16(&bytes[2]);
    if (header < 20 || total < header || total > bytes.size())
        return std::nullopt;
    if (fold(add_words(0, bytes.first(header))) != 0xFFFF)
        return std::nullopt;
    Ipv4Packet packet;
    std::memcpy(&packet.source, &bytes[12], 4);
    std::memcpy(&packet.destination, &bytes[16], 4);
    packet.id = big16(&bytes[4]);
    packet.protocol = bytes[9];
    std::uint16_t flags = big16(&bytes[6]);
    packet.more_fragments = (flags & 0x2000) != 0;
    packet.offset = std::uint32_t{flags & 0x1FFFu} * 8;
    packet.data = bytes.subspan(header, total - header);
    return packet;
}

std::optional<UdpDatagram> parse_udp(std::uint32_t source, std::uint32_t destination,
                                     std::span<const std::uint8_t> data, bool checksum_verified) noexcept {
    if (data.size() < 8)
        return std::nullopt;
    std::size_t length = big16(&data[4]);
    if (length < 8 || length > data.size())
        return std::nullopt;
    data = data.first(length);  // the kernel trims what lies past the UDP length
    if (!checksum_verified && big16(&data[6]) != 0) {
        std::uint8_t pseudo[12];
        std::memcpy(pseudo, &source, 4);
        std::memcpy(pseudo + 4, &destination, 4);
        pseudo[8] = 0;
        pseudo[9] = 17;
        pseudo[10] = static_cast<std::uint8_t>(length >> 8);
        pseudo[11] = static_cast<std::uint8_t>(length);
        if (fold(add_words(add_words(0, pseudo), data)) != 0xFFFF)
            return std::nullopt;
    }
    return UdpDatagram{big16(&data[0]), big16(&data[2]), data.subspan(8)};
}

std::size_t Reassembler::memory() const noexcept {
    std::size_t bytes = 0;
    for (const Slot& slot : slots_)
        bytes += slot.data.capacity() + slot.pieces.capacity() * sizeof(Piece);
    return bytes;
}

void Reassembler::discard(Slot& slot) noexcept {
    slot.busy = false;
    slot.pieces.clear();
}

Reassembler::Slot& Reassembler::slot_for(const Ipv4Packet& f, ts::Nanos now) {
    Slot* free = nullptr;
    Slot* oldest = nullptr;
    for (Slot& slot : slots_) {
        if (slot.busy && now - slot.first > timeout) {
            discard(slot);
            ++discarded_;
        }
        if (slot.busy && slot.source == f.source && slot.destination == f.destination && slot.id == f.id &&
            slot.protocol == f.protocol)
            return slot;
        if (!slot.busy && free == nullptr)
            free = &slot;
        if (slot.busy && (oldest == nullptr || slot.first < oldest->first))
            oldest = &slot;
    }
    if (free == nullptr) {
        free = oldest;
        discard(*free);
        ++evicted_;
    }
    Slot& slot = *free;
    slot.busy = true;
    slot.source = f.source;
    slot.destination = f.destination;
    slot.id = f.id;
    slot.protocol = f.protocol;
    slot.first = now;
    slot.length = 0;
    slot.last_seen = false;
    slot.received = 0;
    if (slot.data.empty())
        slot.data.resize(max_data);
    return slot;
}

std::optional<std::span<const std::uint8_t>> Reassembler::add(const Ipv4Packet& f, ts::Nanos now) {
    Slot& slot = slot_for(f, now);
    std::uint32_t begin = f.offset;
    std::size_t size = f.data.size();
    if (f.more_fragments)
        size &= ~std::size_t{7};  // the kernel keeps whole 8-byte blocks of a middle fragment
    std::uint64_t end = std::uint64_t{begin} + size;
    bool bad = end > max_data || end == begin;
    if (!bad && !f.more_fragments) {
        bad = end < slot.length || (slot.last_seen && end != slot.length);
        slot.last_seen = true;
    } else if (!bad && end > slot.length) {
        bad = slot.last_seen;
    }
    if (!bad) {
        slot.length = std::max(slot.length, static_cast<std::uint32_t>(end));
        // Bytes already held are a repeat, ignored; a fragment partly over
        // others is an overlap, and the whole datagram goes (RFC 5722's rule,
        // which the kernel applies to IPv4 too).
        std::uint64_t covered = 0;
        for (const Piece& piece : slot.pieces)
            if (piece.begin < end && begin < piece.end)
                covered += std::min<std::uint64_t>(piece.end, end) - std::max(piece.begin, begin);
        if (covered == end - begin)
            return std::nullopt;
        bad = covered > 0;
    }
    if (bad || slot.pieces.size() == max_fragments) {
        discard(slot);
        ++discarded_;
        return std::nullopt;
    }
    slot.pieces.push_back({begin, static_cast<std::uint32_t>(end)});
    std::memcpy(slot.data.data() + begin, f.data.data(), end - begin);
    slot.received += static_cast<std::uint32_t>(end - begin);
    if (!slot.last_seen || slot.received != slot.length)
        return std::nullopt;
    discard(slot);  // free again; the bytes stay until the slot is next used
    return std::span<const std::uint8_t>(slot.data.data(), slot.length);
}

}  // namespace avwatch::input
