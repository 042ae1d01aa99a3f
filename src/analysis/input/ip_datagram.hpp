// IPv4 and UDP judged as the kernel's own receive path judges them, on the
// bytes a packet socket hands over: the IP header, the UDP length and
// checksum, and the reassembly of fragmented datagrams.  Bytes and times in,
// payloads out: no sockets and no clocks, so that it can be fuzzed and used
// by any receiver.
#pragma once

#include "analysis/ts/packet.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace avwatch::input {

struct Ipv4Packet {
    std::uint32_t source = 0;       // network byte order, as in the header
    std::uint32_t destination = 0;  // network byte order
    std::uint16_t id = 0;
    std::uint8_t protocol = 0;
    std::uint32_t offset = 0;  // of this fragment's data within the datagram, in bytes
    bool more_fragments = false;
    std::span<const std::uint8_t> data;  // after the header, up to the total length
    bool fragment() const noexcept { return more_fragments || offset != 0; }
};

// The IPv4 packet at the start of `bytes`; nullopt where the kernel drops
// it before any socket: not version 4, header shorter than 20 bytes, total
// length outside the bytes, bad header checksum.  Link padding past the
// total length is left out.
std::optional<Ipv4Packet> parse_ipv4(std::span<const std::uint8_t> bytes) noexcept;

struct UdpDatagram {
    std::uint16_t source_port = 0;       // host byte order
    std::uint16_t destination_port = 0;  // host byte order
    std::span<const std::uint8_t> payload;
};

// The UDP datagram in a whole IPv4 datagram's data; nullopt where a socket
// would never get it: a length field out of range, or a checksum that fails
// (none to check when it is zero, or when `checksum_verified` says the
// kernel or the sender's own stack vouches for it).
std::optional<UdpDatagram> parse_udp(std::uint32_t source, std::uint32_t destination,
                                     std::span<const std::uint8_t> data, bool checksum_verified) noexcept;

// Fragments put back together, for a few datagrams at a time.  A datagram
// is dropped, as the kernel drops it, when its fragments overlap (a repeat
// of bytes already held is ignored), disagree on its length or pass 65,535
// bytes, or when it is not complete 30 s after its first fragment.  When
// all slots are busy the oldest gives way: fragments of one datagram come
// together, so an incomplete one that old has lost a fragment on the way.
// A slot's 64 KiB are taken when it is first used.
class Reassembler {
public:
    static constexpr std::size_t slots = 8;
    static constexpr std::size_t max_fragments = 128;  // 64 KiB in fragments of 512 bytes
    static constexpr std::size_t max_data = 65535 - 20;
    static constexpr ts::Nanos timeout = 30 * ts::nanos_per_second;

    // Takes one fragment (`fragment.fragment()` is true); the whole
    // datagram's data once this one completes it, valid until the next call.
    std::optional<std::span<const std::uint8_t>> add(const Ipv4Packet& fragment, ts::Nanos now);

    // Incomplete datagrams pushed out by others while every slot was busy.
    std::uint64_t evicted() const noexcept { return evicted_; }
    // Incomplete datagrams given up: timed out, overlapping, inconsistent.
    std::uint64_t discarded() const noexcept { return discarded_; }
    // Bytes held: nothing until the first fragment, at most slots * max_data.
    std::size_t memory() const noexcept;

private:
    struct Piece {
        std::uint32_t begin;
        std::uint32_t end;
    };
    struct Slot {
        bool busy = false;
        std::uint32_t source = 0, destination = 0;
        std::uint16_t id = 0;
        std::uint8_t protocol = 0;
        ts::Nanos first = 0;
        std::uint32_t length = 0;  // known once the last fragment came
        bool last_seen = false;
        std::uint32_t received = 0;
        std::vector<Piece> pieces;
        std::vector<std::uint8_t> data;  // max_data bytes once used
    };

    Slot& slot_for(const Ipv4Packet& fragment, ts::Nanos now);
    void discard(Slot& slot) noexcept;

    std::array<Slot, slots> slots_;
    std::uint64_t evicted_ = 0;
    std::uint64_t discarded_ = 0;
};

}  // namespace avwatch::input
