#include "analysis/input/receive_ring.hpp"

#include <linux/if_packet.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <system_error>

namespace avwatch::input {
namespace {

ts::Nanos clock_nanos(clockid_t clock) noexcept {
    timespec now{};
    clock_gettime(clock, &now);
    return ts::Nanos{now.tv_sec} * ts::nanos_per_second + now.tv_nsec;
}

tpacket_block_desc* block_at(std::uint8_t* map, std::size_t index) noexcept {
    return reinterpret_cast<tpacket_block_desc*>(map + index * ReceiveRing::block_size);
}

}  // namespace

ReceiveRing::ReceiveRing(int fd, std::size_t bytes)
    : fd_(fd), blocks_(std::max<std::size_t>(2, (bytes + block_size - 1) / block_size)) {
    try {
        int version = TPACKET_V3;
        if (setsockopt(fd_, SOL_PACKET, PACKET_VERSION, &version, sizeof version) < 0)
            throw std::system_error(errno, std::generic_category(), "PACKET_VERSION");
        constexpr unsigned frame_size = 2048;  // V3 packs frames; this only has to divide the block
        tpacket_req3 request{};
        request.tp_block_size = block_size;
        request.tp_block_nr = static_cast<unsigned>(blocks_);
        request.tp_frame_size = frame_size;
        request.tp_frame_nr = static_cast<unsigned>(block_size / frame_size * blocks_);
        request.tp_retire_blk_tov = retire_ms;
        if (setsockopt(fd_, SOL_PACKET, PACKET_RX_RING, &request, sizeof request) < 0)
            throw std::system_error(errno, std::generic_category(), "PACKET_RX_RING");
        void* map = mmap(nullptr, this->bytes(), PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
        if (map == MAP_FAILED)
            throw std::system_error(errno, std::generic_category(), "mmap receive ring");
        map_ = static_cast<std::uint8_t*>(map);
    } catch (...) {
        close(fd_);
        throw;
    }
}

ReceiveRing::~ReceiveRing() {
    munmap(map_, bytes());
    close(fd_);
}

ReceiveRing::Block ReceiveRing::next() {
    if (held_)
        release();
    tpacket_block_desc* block = block_at(map_, current_);
    std::uint32_t status = __atomic_load_n(&block->hdr.bh1.block_status, __ATOMIC_ACQUIRE);
    if ((status & TP_STATUS_USER) == 0)
        return {};
    held_ = true;
    messages_.clear();
    Block read;
    std::uint64_t seq = block->hdr.bh1.seq_num;
    if (status & TP_STATUS_LOSING) {
        read.after_drops = true;
        read.drops = take_drops();
    }
    if (gap_from_seq_ != 0 && seq >= gap_from_seq_) {
        read.after_drops = true;
        gap_from_seq_ = 0;
    }
    last_seq_ = seq;
    // The kernel stamps with the real-time clock; one offset per block maps
    // those stamps onto the monotonic clock the analyser runs on.
    ts::Nanos now = clock_nanos(CLOCK_MONOTONIC);
    ts::Nanos offset = clock_nanos(CLOCK_REALTIME) - now;
    const auto* base = reinterpret_cast<const std::uint8_t*>(block);
    std::size_t at = block->hdr.bh1.offset_to_first_pkt;
    for (std::uint32_t i = 0; i < block->hdr.bh1.num_pkts; ++i) {
        // The kernel wrote the block, but a frame that would lie outside it is not read.
        if (at + sizeof(tpacket3_hdr) > block_size)
            break;
        const auto* frame = reinterpret_cast<const tpacket3_hdr*>(base + at);
        std::size_t start = at + frame->tp_net;
        if (start > block_size || frame->tp_snaplen > block_size - start)
            break;
        const auto* link = reinterpret_cast<const sockaddr_ll*>(base + at + TPACKET_ALIGN(sizeof(tpacket3_hdr)));
        Message message{};
        message.bytes = {base + start, frame->tp_snaplen};
        message.length = std::max<std::size_t>(frame->tp_len, frame->tp_snaplen);
        message.stamp = ts::Nanos{frame->tp_sec} * ts::nanos_per_second + frame->tp_nsec;
        message.arrival = std::min(message.stamp - offset, now);  // min: a clock step between the reads
        message.status = frame->tp_status;
        message.link_type = link->sll_pkttype;
        message.interface = link->sll_ifindex;
        messages_.push_back(message);
        if (frame->tp_next_offset == 0)
            break;
        at += frame->tp_next_offset;
    }
    read.frames = messages_;
    return read;
}

void ReceiveRing::release() noexcept {
    if (!held_)
        return;
    __atomic_store_n(&block_at(map_, current_)->hdr.bh1.block_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
    current_ = (current_ + 1) % blocks_;
    held_ = false;
}

std::uint64_t ReceiveRing::take_drops() noexcept {
    tpacket_stats_v3 stats{};
    socklen_t size = sizeof stats;
    if (getsockopt(fd_, SOL_PACKET, PACKET_STATISTICS, &stats, &size) < 0 || stats.tp_drops == 0)
        return 0;
    // Blocks handed over since the drops closed with the count not zero and
    // are marked; the one open now, or opened next, followed the last drops
    // and closes unmarked, the count being read: mark it here.
    std::uint64_t newest = last_seq_;
    for (std::size_t i = 0; i < blocks_; ++i) {
        tpacket_block_desc* block = block_at(map_, i);
        if (__atomic_load_n(&block->hdr.bh1.block_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER)
            newest = std::max<std::uint64_t>(newest, block->hdr.bh1.seq_num);
    }
    gap_from_seq_ = newest + 1;
    return stats.tp_drops;
}

}  // namespace avwatch::input
