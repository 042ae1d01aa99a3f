#include "analysis/input/batch.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <system_error>

namespace avwatch::input {
namespace {

constexpr std::size_t control_size =
    CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(std::uint32_t)) + CMSG_SPACE(sizeof(tpacket_auxdata));

ts::Nanos nanos(const timespec& at) { return ts::Nanos{at.tv_sec} * ts::nanos_per_second + at.tv_nsec; }

ts::Nanos clock_now(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return nanos(now);
}

void enable(int fd, int level, int option, const char* name) {
    int on = 1;
    if (setsockopt(fd, level, option, &on, sizeof on) < 0)
        throw std::system_error(errno, std::generic_category(), name);
}

}  // namespace

ts::Nanos monotonic_now() noexcept { return clock_now(CLOCK_MONOTONIC); }

Batch::Batch() : buffers_(messages * initial_slot), controls_(messages * control_size) {}

void Batch::enable_metadata(int fd) {
    enable(fd, SOL_SOCKET, SO_TIMESTAMPNS, "SO_TIMESTAMPNS");
    enable(fd, SOL_SOCKET, SO_RXQ_OVFL, "SO_RXQ_OVFL");
    enable(fd, SOL_PACKET, PACKET_AUXDATA, "PACKET_AUXDATA");
}

void Batch::grow(std::size_t length) {
    std::size_t wanted = initial_slot;
    while (wanted < length && wanted < largest_slot)
        wanted *= 2;
    if (wanted <= slot_)
        return;
    slot_ = wanted;
    buffers_.assign(messages * slot_, 0);
    buffers_.shrink_to_fit();
}

std::span<const Message> Batch::receive(int fd) {
    for (std::size_t i = 0; i < messages; ++i) {
        vectors_[i] = {buffers_.data() + i * slot_, slot_};
        headers_[i].msg_hdr = msghdr{};
        headers_[i].msg_hdr.msg_name = &names_[i];
        headers_[i].msg_hdr.msg_namelen = sizeof names_[i];
        headers_[i].msg_hdr.msg_iov = &vectors_[i];
        headers_[i].msg_hdr.msg_iovlen = 1;
        headers_[i].msg_hdr.msg_control = controls_.data() + i * control_size;
        headers_[i].msg_hdr.msg_controllen = control_size;
    }
    // MSG_TRUNC: a packet socket then tells a cut frame's whole length.
    int count = recvmmsg(fd, headers_.data(), messages, MSG_DONTWAIT | MSG_TRUNC, nullptr);
    if (count < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return {};
        throw std::system_error(errno, std::generic_category(), "recvmmsg");
    }
    // The kernel stamps with the real-time clock; one offset per batch maps
    // those stamps onto the monotonic clock the analyser runs on.
    ts::Nanos now = clock_now(CLOCK_MONOTONIC);
    ts::Nanos offset = clock_now(CLOCK_REALTIME) - now;
    for (int i = 0; i < count; ++i) {
        msghdr& header = headers_[i].msg_hdr;
        Message message{};
        message.arrival = now;
        for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec stamp{};
                std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
                message.stamp = nanos(stamp);
                message.arrival = std::min(message.stamp - offset, now);  // min: a clock step between the reads
            } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
                std::uint32_t drops = 0;
                std::memcpy(&drops, CMSG_DATA(c), sizeof drops);
                message.drop_count = drops;
            } else if (c->cmsg_level == SOL_PACKET && c->cmsg_type == PACKET_AUXDATA) {
                tpacket_auxdata aux{};
                std::memcpy(&aux, CMSG_DATA(c), sizeof aux);
                message.status = aux.tp_status;
            }
        }
        message.length = headers_[i].msg_len;
        message.bytes = {buffers_.data() + i * slot_, std::min<std::size_t>(message.length, slot_)};
        if (header.msg_flags & MSG_TRUNC)
            message.length = std::max(message.length, slot_ + 1);
        message.link_type = names_[i].sll_pkttype;
        message.interface = names_[i].sll_ifindex;
        received_[i] = message;
    }
    return {received_.data(), static_cast<std::size_t>(count)};
}

}  // namespace avwatch::input
