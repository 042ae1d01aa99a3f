// A packet socket's receive ring (TPACKET_V3): the kernel copies each frame
// into blocks of memory shared with this process, with its arrival time,
// status and link address, and hands a block over when it is full or a
// while after it opened.  Reading costs no system call and no copy
// per frame, and the kernel keeps no socket buffer per frame.
#pragma once

#include "analysis/input/batch.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace avwatch::input {

class ReceiveRing {
public:
    // A frame of the largest IPv4 datagram fits one block.
    static constexpr std::size_t block_size = 128 * 1024;
    // A block with frames is handed over this long after it opened at most
    // (the kernel's timer may add a tick): what the reader may not see yet.
    static constexpr unsigned retire_ms = 100;
    static constexpr ts::Nanos settle = ts::millis(retire_ms + 30);

    // Takes `fd` (a packet socket, not bound yet: a ring set up later misses
    // nothing, but frames queued before it would be read by no one) and
    // closes it with the ring, or at once when the ring cannot be set up.
    // `bytes` is rounded up to whole blocks.
    ReceiveRing(int fd, std::size_t bytes);
    ~ReceiveRing();
    ReceiveRing(const ReceiveRing&) = delete;
    ReceiveRing& operator=(const ReceiveRing&) = delete;

    // The kernel drops frames only while every block is full, so drops lie
    // between blocks: a block closed while the kernel's count (reset by
    // reading it) was not zero is marked, and the block opened after the
    // count was read is the one after the drops it held.
    struct Block {
        std::span<const Message> frames;  // in arrival order
        bool after_drops = false;         // frames were dropped just before the first
        std::uint64_t drops = 0;          // how many, of those not counted before
    };

    int fd() const noexcept { return fd_; }
    // The oldest block handed over and not yet released; no frames when
    // none.  Valid until release().
    Block next();
    // Gives the block read by next() back to the kernel.
    void release() noexcept;
    // Frames dropped that no block counted yet; the block that follows them is marked.
    std::uint64_t take_drops() noexcept;
    std::size_t bytes() const noexcept { return blocks_ * block_size; }
    std::size_t blocks() const noexcept { return blocks_; }

private:
    int fd_;
    std::size_t blocks_;
    std::uint8_t* map_ = nullptr;
    std::size_t current_ = 0;
    bool held_ = false;
    std::uint64_t last_seq_ = 0;      // of the newest block read
    std::uint64_t gap_from_seq_ = 0;  // the first block opened after drops counted; 0: none
    std::vector<Message> messages_;
};

}  // namespace avwatch::input
