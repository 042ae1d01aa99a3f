// How an input is received without taking datagrams away from the channel
// service's own receiver or from the prober, and without holding its port:
// a packet socket (AF_PACKET, needs CAP_NET_RAW) with a kernel filter on
// the IPv4/UDP destination, which sees a copy of each datagram while the
// bound sockets still get every one.  For a multicast input a UDP socket
// that is never bound joins the group, so that the group's traffic arrives
// and a later bind of the port by anyone still succeeds.
//
// What is counted is what a socket bound to the input's address and port
// would get: the IP and UDP headers and the UDP checksum are checked,
// fragments are put back together, frames for other hosts are left out.
#pragma once

#include "analysis/input/batch.hpp"
#include "analysis/input/ip_datagram.hpp"
#include "analysis/input/local_destinations.hpp"
#include "analysis/input/udp_uri.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>

namespace avwatch::input {

// The process lacks a privilege the receive method needs.
struct PrivilegeMissing : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Datagram {
    std::span<const std::uint8_t> payload;  // the UDP payload
    ts::Nanos arrival;                      // CLOCK_MONOTONIC
    // The receiver itself lost datagrams just before this one (its buffer
    // overflowed, or a frame was larger than its slot).
    bool after_loss;
    std::uint64_t lost_before;  // how many, of those not counted before
};

class Receiver {
public:
    Receiver(const UdpAddress& address, const std::string& uri);
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    int fd() const noexcept { return fd_.value; }
    // Hands every datagram ready now to `take`; the number of frames read
    // from the socket (Batch::messages when there may be more).
    std::size_t receive(const std::function<void(const Datagram&)>& take);
    // Before the first frame is read, grows the slots when it would not fit
    // them: a stream of large datagrams then loses none to the discovery;
    // later, a frame that outgrows the slots costs its batch's frames that
    // did not fit (counted as the receiver's own drops), then they grow.
    void fit_first();
    const char* method() const noexcept;
    // The socket's drops not yet handed over with a datagram: those after
    // the newest datagram, known before the next one comes.
    std::uint64_t uncounted_drops();
    // Bytes of receive buffers held in this process.
    std::size_t buffer_bytes() const noexcept;

private:
    // Members, so that a constructor that throws half-way closes what it opened.
    struct Descriptor {
        int value = -1;
        Descriptor() = default;
        Descriptor(const Descriptor&) = delete;
        Descriptor& operator=(const Descriptor&) = delete;
        ~Descriptor();
    };
    Descriptor fd_;
    Descriptor membership_;  // multicast: joins the group, holds no port
    std::uint16_t port_;
    bool wildcard_;
    Batch batch_;
    Reassembler reassembler_;
    LocalDestinations local_;
    // The socket's drop counter (32 bits, as the kernel keeps it): as the
    // newest datagram carried it, and as far as counted.
    std::uint32_t drops_seen_ = 0;
    std::uint32_t drops_counted_ = 0;
    std::uint64_t lost_ = 0;  // counted since the last datagram handed over
    bool after_loss_ = false;
    bool sized_ = false;  // fit_first() saw a frame
};

std::unique_ptr<Receiver> open_receiver(const UdpAddress& address, const std::string& uri);

}  // namespace avwatch::input
