// How an input is received without taking datagrams away from the channel
// service's own receiver or from the prober, and without holding its port:
// a packet socket (AF_PACKET, needs CAP_NET_RAW) with a kernel filter on
// the IPv4/UDP destination, which sees a copy of each datagram while the
// bound sockets still get every one.  For a multicast input a UDP socket
// that is never bound joins the group, so that the group's traffic arrives
// and a later bind of the port by anyone still succeeds.  The unicast
// inputs of a process share one packet socket (packet_hub.hpp).
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

// A packet socket (protocol 0: it receives nothing until bound) for
// receiving `uri`; throws PrivilegeMissing, saying how to grant it, without
// CAP_NET_RAW.
int open_packet_socket(const std::string& uri, int flags);

struct Datagram {
    std::span<const std::uint8_t> payload;  // the UDP payload
    ts::Nanos arrival;                      // CLOCK_MONOTONIC
    // The receiver itself lost datagrams just before this one (its buffer
    // overflowed, or a frame was larger than its slot).
    bool after_loss;
    std::uint64_t lost_before;  // how many, of those not counted before
};

// An input's receive buffer: room for several seconds of it should the
// thread be held up (measured: an 8-s stop of a 4 Mb/s input; the kernel
// counts each frame's whole buffer, about twice its bytes, and holds twice
// what is asked).
constexpr int receive_buffer = 8 * 1024 * 1024;

// A packet socket's own drops (SO_RXQ_OVFL on each frame, SO_MEMINFO
// between frames), each counted once.  The counter is 32 bits, as the
// kernel keeps it.
class DropCounter {
public:
    // A frame's drop count seen: true when drops came just before it;
    // `lost` grows by those not counted yet.
    bool frame(const Message& message, std::uint64_t& lost) noexcept;
    // Drops the socket counted that no frame carried yet.
    std::uint64_t uncounted(int fd) noexcept;

private:
    std::uint32_t seen_ = 0;     // as the newest frame carried it
    std::uint32_t counted_ = 0;  // as far as counted
};

// What the input's thread reads through; one implementation per socket
// (PacketSocket) and one for the unicast inputs that share their process's
// (HubReceiver, packet_hub.hpp).
class Receiver {
public:
    Receiver() = default;
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;
    virtual ~Receiver() = default;

    // Hands every datagram ready now to `take`; Batch::messages when the
    // socket may hold more, less otherwise.
    virtual std::size_t receive(const std::function<void(const Datagram&)>& take) = 0;
    // Sleeps until there may be something worth reading, `deadline`
    // (monotonic) at the latest, or until wake().
    virtual void wait(ts::Nanos deadline) = 0;
    // Ends a wait at once (the watch stops).
    virtual void wake() noexcept {}
    // How long after its arrival a datagram may not be read yet.
    virtual ts::Nanos latency() const noexcept { return 0; }
    // Before the first frame is read, grows the slots when it would not fit
    // them: a stream of large datagrams then loses none to the discovery;
    // later, a frame that outgrows the slots costs its batch's frames that
    // did not fit (counted as the receiver's own drops), then they grow.
    virtual void fit_first() = 0;
    virtual const char* method() const noexcept = 0;
    // The socket's drops not yet handed over with a datagram: those after
    // the newest datagram, known before the next one comes.
    virtual std::uint64_t uncounted_drops() = 0;
    // Bytes of receive buffers held in this process for this input.
    virtual std::size_t buffer_bytes() const noexcept = 0;
};

// An input with a packet socket of its own: a group, or a unicast input
// that no longer fits its process's shared filter.
class PacketSocket final : public Receiver {
public:
    PacketSocket(const UdpAddress& address, const std::string& uri);

    std::size_t receive(const std::function<void(const Datagram&)>& take) override;
    void wait(ts::Nanos deadline) override;
    void fit_first() override;
    const char* method() const noexcept override;
    std::uint64_t uncounted_drops() override;
    std::size_t buffer_bytes() const noexcept override;

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
    DropCounter drops_;
    std::uint64_t lost_ = 0;  // counted since the last datagram handed over
    bool after_loss_ = false;
    bool sized_ = false;  // fit_first() saw a frame
};

// Peeks at the first frame queued on a packet socket and grows `batch`'s
// slots to fit it; false when none is queued yet.
bool fit_first_frame(int fd, Batch& batch);

std::unique_ptr<Receiver> open_receiver(const UdpAddress& address, const std::string& uri);

}  // namespace avwatch::input
