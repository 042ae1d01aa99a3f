// Which datagrams a socket bound to 0.0.0.0:PORT would get, for a packet
// socket that sees every frame: unicast to one of this machine's addresses,
// broadcast, and multicast of groups this machine joined on the interface
// it came in on.  Both lists are read from the system now and then, not per
// datagram.
#pragma once

#include "analysis/ts/packet.hpp"

#include <cstdint>
#include <utility>
#include <vector>

namespace avwatch::input {

class LocalDestinations {
public:
    static constexpr ts::Nanos refresh_interval = 2 * ts::nanos_per_second;

    // `destination` in network byte order; `link_type` a PACKET_* type;
    // `interface` the index the frame came in on.
    bool accepts(std::uint32_t destination, unsigned link_type, int interface, ts::Nanos now);

private:
    void refresh();

    ts::Nanos next_refresh_ = 0;
    bool loaded_ = false;
    std::vector<std::uint32_t> addresses_;                  // local and broadcast addresses
    std::vector<std::pair<int, std::uint32_t>> groups_;     // (interface, group) joined
};

}  // namespace avwatch::input
