// The address an input is received on, from its URI: udp://HOST:PORT or
// rtp://HOST:PORT (also udp://@HOST:PORT), with ?localaddr=ADDRESS naming the
// interface a multicast group is joined on.  IPv4 only, as the inputs are.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace avwatch::input {

struct UdpAddress {
    in_addr host{};                    // the destination address (INADDR_ANY: any of this machine's)
    std::uint16_t port = 0;            // host byte order
    std::optional<in_addr> interface;  // localaddr=, for multicast membership
    bool multicast() const noexcept { return (ntohl(host.s_addr) >> 28) == 0xE; }
};

// Throws std::invalid_argument with a message that says what is wrong.
UdpAddress parse_udp_uri(std::string_view uri);

}  // namespace avwatch::input
