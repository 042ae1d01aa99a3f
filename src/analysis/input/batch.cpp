#include "analysis/input/batch.hpp"

#include <cerrno>
#include <ctime>
#include <system_error>

namespace avwatch::input {
namespace {

constexpr std::size_t control_size = CMSG_SPACE(sizeof(timespec));

ts::Nanos nanos(const timespec& at) { return ts::Nanos{at.tv_sec} * ts::nanos_per_second + at.tv_nsec; }

ts::Nanos clock_now(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return nanos(now);
}

}  // namespace

ts::Nanos monotonic_now() noexcept { return clock_now(CLOCK_MONOTONIC); }

Batch::Batch() : buffers_(messages * message_size), controls_(messages * control_size) {}

void Batch::enable_timestamps(int fd) {
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) < 0)
        throw std::system_error(errno, std::generic_category(), "SO_TIMESTAMPNS");
}

std::span<const Message> Batch::receive(int fd) {
    for (std::size_t i = 0; i < messages; ++i) {
        vectors_[i] = {buffers_.data() + i * message_size, message_size};
        headers_[i].msg_hdr = msghdr{};
        headers_[i].msg_hdr.msg_iov = &vectors_[i];
        headers_[i].msg_hdr.msg_iovlen = 1;
        headers_[i].msg_hdr.msg_control = controls_.data() + i * control_size;
        headers_[i].msg_hdr.msg_controllen = control_size;
    }
    int count = recvmmsg(fd, headers_.data(), messages, MSG_DONTWAIT, nullptr);
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
        ts::Nanos arrival = now;
        for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec stamp{};
                __builtin_memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
                arrival = nanos(stamp) - offset;
                if (arrival > now)  // a clock step between the two reads
                    arrival = now;
            }
        }
        std::size_t length = headers_[i].msg_len;
        bool truncated = (header.msg_flags & MSG_TRUNC) != 0 || length > message_size;
        if (length > message_size)
            length = message_size;
        received_[i] = Message{{buffers_.data() + i * message_size, length}, arrival, truncated};
    }
    return {received_.data(), static_cast<std::size_t>(count)};
}

}  // namespace avwatch::input
