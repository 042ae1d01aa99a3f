// The UDP datagram a frame from a packet socket carries or completes, held
// to what the port's own socket would get: the IPv4 and UDP checks, the
// kernel's word on the checksum where it gives one, fragments put back
// together first.
#pragma once

#include "analysis/input/batch.hpp"
#include "analysis/input/ip_datagram.hpp"

#include <linux/if_packet.h>
#include <netinet/in.h>

#include <cstdint>
#include <optional>

namespace avwatch::input {

struct FrameDatagram {
    std::uint32_t destination;  // the IPv4 destination, network byte order
    UdpDatagram udp;
};

// nullopt for a frame that is no UDP datagram a socket would get, one to a
// destination `wanted` refuses (asked before a fragment takes room in the
// reassembler), or a fragment that completes none yet.
template <class Wanted>
std::optional<FrameDatagram> datagram_of(const Message& frame, Reassembler& reassembler, Wanted wanted) {
    auto ip = parse_ipv4(frame.bytes);
    if (!ip || ip->protocol != IPPROTO_UDP || !wanted(ip->destination))
        return std::nullopt;
    std::span<const std::uint8_t> data = ip->data;
    // The kernel's word on a frame's checksum; a fragment's says nothing of the datagram's.
    bool verified = (frame.status & (TP_STATUS_CSUM_VALID | TP_STATUS_CSUMNOTREADY)) != 0;
    if (ip->fragment()) {
        auto whole = reassembler.add(*ip, frame.arrival);
        if (!whole)
            return std::nullopt;
        data = *whole;
        verified = false;
    }
    auto udp = parse_udp(ip->source, ip->destination, data, verified);
    if (!udp)
        return std::nullopt;
    return FrameDatagram{ip->destination, *udp};
}

}  // namespace avwatch::input
