// The kernel filter of a packet socket that receives the unicast inputs of a
// process: IPv4 UDP, neither this machine's own outgoing copy nor a frame for
// another host, to one of a set of destinations (a port, with any address or
// with one of a few), found by a search over the ports: a datagram meets one
// filter and a few comparisons whatever the number of inputs sharing the
// socket.  Fragments pass when they go to a watched address (any, once an
// input takes its port on every address): the port is only in the first
// one, so it is matched after reassembly.
#pragma once

#include <linux/filter.h>
#include <netinet/in.h>

#include <cstdint>
#include <map>
#include <set>
#include <vector>

namespace avwatch::input {

struct PortDestinations {
    bool any_address = false;          // some input takes the port on every address
    std::set<std::uint32_t> addresses;  // network byte order
};

// Empty when `ports` does not fit one classic program (BPF_MAXINSNS), or
// has a port (or all ports together) with more addresses than a jump can skip.
std::vector<sock_filter> destination_filter(const std::map<std::uint16_t, PortDestinations>& ports);

}  // namespace avwatch::input
