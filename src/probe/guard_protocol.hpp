// What a worker and its prober guard say to each other.
//
// The worker holds one end of a SOCK_SEQPACKET socket pair whose other end
// is the guard's descriptor 3.  Each probe sends one SpawnRequest on it,
// carrying SpawnFd::count descriptors, among them one end of a new socket
// pair of its own: the probe's channel.  On that channel the guard reports
// Event messages (started or failed, then exited), and the worker's end
// request (any message, or end of file) makes the guard kill the chain's
// process group, collect the leader and close the channel.  End of file on
// the guard's descriptor 3 means the worker is gone: the guard kills every
// group in flight and exits.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <span>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <vector>

namespace avwatch::guard_protocol {

constexpr int control_fd = 3;

// The descriptors attached to a SpawnRequest, in this order.
enum SpawnFd : int {
    channel,   // the probe's channel (the guard's end)
    body,      // a memfd holding the encoded Body
    out,       // write end of the stdout pipe
    err,       // write end of the stderr pipe
    cwd,       // the worker's current directory (O_PATH)
    count
};

// What a child of the worker would inherit, as the worker's thread has it at
// the time of the probe.  The guard itself has what the worker had at its
// first probe, and the worker may have changed it since: dropped its
// privileges, lowered a limit, reniced the thread.  (Supplementary groups
// travel in the Body: there may be many.)
struct Inherited {
    // Real and effective; exec makes the saved ones the effective ones.
    uid_t uids[2];
    gid_t gids[2];
    int nice;
    rlimit limits[RLIM_NLIMITS];
};

struct SpawnRequest {
    // Bit n-1 set: signal n is ignored in the worker (and so stays ignored
    // in the chain, as across the interpreter's own exec).
    std::uint64_t ignored_signals;
    Inherited inherited;
};

enum class EventKind : std::int32_t { started, failed, exited };

struct Event {
    EventKind kind;
    // started: the leader's pid; failed: the errno; exited: the exit
    // status, or minus the signal that ended the leader.
    std::int32_t value;
};

// The programs to try in order, then argv, then the environment; and the
// worker's supplementary groups.
struct Body {
    std::vector<std::string> candidates;
    std::vector<std::string> argv;
    std::vector<std::string> environment;
    std::vector<gid_t> groups;
};

// Sends one message of `size` bytes with `fds` attached (none when empty),
// never blocking: the bytes sent, or -1 with errno set.
inline ssize_t send_with_fds(int socket, const void* data, std::size_t size, std::span<const int> fds) {
    constexpr std::size_t most = SpawnFd::count;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * most)] = {};
    iovec part{const_cast<void*>(data), size};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    if (!fds.empty() && fds.size() <= most) {
        message.msg_control = control;
        message.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
        std::memcpy(CMSG_DATA(header), fds.data(), sizeof(int) * fds.size());
    }
    return ::sendmsg(socket, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
}

// Four counts, then every string NUL-terminated, then the groups.
inline std::string encode(const Body& body) {
    std::string encoded;
    auto append_count = [&](std::size_t size) {
        auto count = static_cast<std::uint32_t>(size);
        encoded.append(reinterpret_cast<const char*>(&count), sizeof count);
    };
    for (const auto* list : {&body.candidates, &body.argv, &body.environment})
        append_count(list->size());
    append_count(body.groups.size());
    for (const auto* list : {&body.candidates, &body.argv, &body.environment})
        for (const std::string& item : *list)
            encoded.append(item.c_str(), item.size() + 1);
    if (!body.groups.empty())
        encoded.append(reinterpret_cast<const char*>(body.groups.data()), body.groups.size() * sizeof(gid_t));
    return encoded;
}

// False when `encoded` is not what encode() makes.
inline bool decode(std::string_view encoded, Body& body) {
    std::uint32_t counts[4];
    if (encoded.size() < sizeof counts)
        return false;
    encoded.copy(reinterpret_cast<char*>(counts), sizeof counts);
    encoded.remove_prefix(sizeof counts);
    std::vector<std::string>* lists[] = {&body.candidates, &body.argv, &body.environment};
    for (int list = 0; list < 3; ++list) {
        for (std::uint32_t i = 0; i < counts[list]; ++i) {
            std::size_t end = encoded.find('\0');
            if (end == std::string_view::npos)
                return false;
            lists[list]->emplace_back(encoded.substr(0, end));
            encoded.remove_prefix(end + 1);
        }
    }
    if (encoded.size() != counts[3] * sizeof(gid_t))
        return false;
    body.groups.resize(counts[3]);
    if (!body.groups.empty())
        std::memcpy(body.groups.data(), encoded.data(), encoded.size());
    return true;
}

}  // namespace avwatch::guard_protocol
