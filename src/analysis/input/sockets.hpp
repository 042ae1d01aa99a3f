// The two ways an input is received without taking datagrams away from the
// channel service's own receiver or from the prober:
//
// - unicast: a packet socket (AF_PACKET, needs CAP_NET_RAW) with a kernel
//   filter on the UDP destination, which sees a copy of each datagram while
//   the bound socket still gets every one;
// - multicast: a UDP socket with address reuse that joins the group on the
//   input's interface; every member socket gets its own copy.
#pragma once

#include "analysis/input/batch.hpp"
#include "analysis/input/udp_uri.hpp"

#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace avwatch::input {

// The process lacks a privilege the receive method needs.
struct PrivilegeMissing : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Datagram {
    std::span<const std::uint8_t> payload;  // the UDP payload
    ts::Nanos arrival;                      // CLOCK_MONOTONIC
    bool truncated;
};

class Receiver {
public:
    virtual ~Receiver();
    int fd() const noexcept { return fd_; }
    // The datagrams ready now; valid until the next call.
    virtual std::span<const Datagram> receive() = 0;
    virtual const char* method() const noexcept = 0;

protected:
    int fd_ = -1;
    Batch batch_;
    std::vector<Datagram> ready_;
};

std::unique_ptr<Receiver> open_receiver(const UdpAddress& address, const std::string& uri);

// The UDP payload of an IPv4 packet, as a packet socket hands it over;
// empty when the headers do not fit the bytes.
std::span<const std::uint8_t> udp_payload(std::span<const std::uint8_t> ip_packet) noexcept;

}  // namespace avwatch::input
