// Batched receives (recvmmsg) with the kernel's arrival time of each message
// (SO_TIMESTAMPNS), converted to CLOCK_MONOTONIC.  Fixed buffers: the memory
// of an input does not depend on what arrives.
#pragma once

#include "analysis/ts/packet.hpp"

#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace avwatch::input {

struct Message {
    std::span<const std::uint8_t> bytes;
    ts::Nanos arrival;
    bool truncated;
};

class Batch {
public:
    static constexpr std::size_t messages = 32;
    static constexpr std::size_t message_size = 2048;  // TS over UDP is 1316 bytes, over RTP 1328

    Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    // Asks the socket for arrival times; once, before receiving.
    static void enable_timestamps(int fd);
    // The messages ready now (MSG_DONTWAIT); empty when none.
    std::span<const Message> receive(int fd);

private:
    std::vector<std::uint8_t> buffers_;
    std::array<mmsghdr, messages> headers_{};
    std::array<iovec, messages> vectors_{};
    std::vector<std::uint8_t> controls_;
    std::array<Message, messages> received_{};
};

ts::Nanos monotonic_now() noexcept;

}  // namespace avwatch::input
