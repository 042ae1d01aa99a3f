// Batched receives (recvmmsg) from a packet socket, with what the kernel
// says of each frame: its arrival time (SO_TIMESTAMPNS, converted to
// CLOCK_MONOTONIC), the socket's drop count when it was queued
// (SO_RXQ_OVFL), whether its checksum is known good (PACKET_AUXDATA), and
// the link's type and interface.  Slots start small and grow once to the
// largest frame seen, so an input's memory follows what it carries, not
// the 64 KiB a datagram may reach.
#pragma once

#include "analysis/ts/packet.hpp"

#include <linux/if_packet.h>
#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#ifndef TP_STATUS_CSUM_VALID
#define TP_STATUS_CSUM_VALID (1 << 7)
#endif

namespace avwatch::input {

struct Message {
    std::span<const std::uint8_t> bytes;
    ts::Nanos arrival;
    ts::Nanos stamp;                           // the kernel's own, on the real-time clock (0 when none)
    std::size_t length;                        // the frame's own length: more than bytes when cut
    std::optional<std::uint32_t> drop_count;   // the socket's drops so far, once there were any
    std::uint32_t status;                      // tp_status of PACKET_AUXDATA (0 without it)
    unsigned link_type;                        // PACKET_HOST, PACKET_MULTICAST, ...
    int interface;
    bool truncated() const noexcept { return length > bytes.size(); }
};

class Batch {
public:
    static constexpr std::size_t messages = 32;
    // A frame of a 1,500-byte MTU fits at first (7 TS packets, RTP or not);
    // larger datagrams make the slots grow.
    static constexpr std::size_t initial_slot = 2048;
    static constexpr std::size_t largest_slot = 65536;

    Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    // Asks the packet socket for all the above; once, before receiving.
    static void enable_metadata(int fd);
    // The messages ready now (MSG_DONTWAIT); empty when none.
    std::span<const Message> receive(int fd);
    // Makes room for frames of `length` bytes from the next receive on; the
    // messages of the last receive are then gone.
    void grow(std::size_t length);
    std::size_t slot_size() const noexcept { return slot_; }

private:
    std::size_t slot_ = initial_slot;
    std::vector<std::uint8_t> buffers_;
    std::array<mmsghdr, messages> headers_{};
    std::array<iovec, messages> vectors_{};
    std::array<sockaddr_ll, messages> names_{};
    std::vector<std::uint8_t> controls_;
    std::array<Message, messages> received_{};
};

ts::Nanos monotonic_now() noexcept;

}  // namespace avwatch::input
