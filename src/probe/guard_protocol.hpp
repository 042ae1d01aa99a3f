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
#include <string>
#include <string_view>
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

struct SpawnRequest {
    // Bit n-1 set: signal n is ignored in the worker (and so stays ignored
    // in the chain, as across the interpreter's own exec).
    std::uint64_t ignored_signals;
};

enum class EventKind : std::int32_t { started, failed, exited };

struct Event {
    EventKind kind;
    // started: the leader's pid; failed: the errno; exited: the exit
    // status, or minus the signal that ended the leader.
    std::int32_t value;
};

// The programs to try in order, then argv, then the environment.
struct Body {
    std::vector<std::string> candidates;
    std::vector<std::string> argv;
    std::vector<std::string> environment;
};

// Three counts, then every string NUL-terminated.
inline std::string encode(const Body& body) {
    std::string encoded;
    for (const auto* list : {&body.candidates, &body.argv, &body.environment}) {
        auto count = static_cast<std::uint32_t>(list->size());
        encoded.append(reinterpret_cast<const char*>(&count), sizeof count);
    }
    for (const auto* list : {&body.candidates, &body.argv, &body.environment})
        for (const std::string& item : *list)
            encoded.append(item.c_str(), item.size() + 1);
    return encoded;
}

// False when `encoded` is not what encode() makes.
inline bool decode(std::string_view encoded, Body& body) {
    std::uint32_t counts[3];
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
    return encoded.empty();
}

}  // namespace avwatch::guard_protocol
