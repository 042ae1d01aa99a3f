// The unicast inputs of one process share one packet socket.  Each socket
// bound to every interface runs its filter on every IPv4 datagram the
// machine receives, so a socket per input makes each datagram cost as many
// filter runs as there are inputs; one socket whose filter holds every
// input's destination costs one.  Its datagrams are handed out here by
// destination address and port, each input getting what a socket of its own
// would have got, in the same order, with the same arrival times: checked
// and reassembled once here, then judged per input (a `udp://:PORT` input
// takes only what a socket bound to 0.0.0.0:PORT would get).
//
// The shared socket's own drops (its buffer overflowed, or a frame outgrew
// the slots) belong to no input that can be told: every input of the hub
// counts them as its receive drops and resumes after them with a receive
// gap, so that no input takes them for stream loss.
#pragma once

#include "analysis/input/batch.hpp"
#include "analysis/input/destination_filter.hpp"
#include "analysis/input/sockets.hpp"

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace avwatch::input {

// Datagrams queued for one input between two of its receives.
struct HubQueue {
    struct Item {
        std::size_t offset, length;
        ts::Nanos arrival;
        bool after_loss;
        std::uint64_t lost_before;
    };
    std::vector<std::uint8_t> bytes;
    std::vector<Item> items;
    void clear() noexcept {
        bytes.clear();
        items.clear();
    }
};

class PacketHub {
public:
    struct Input {
        std::uint32_t address;  // network byte order; INADDR_ANY: every address
        std::uint16_t port;
        HubQueue pending;
        // Lost since the last datagram queued: the hub's drops, and the
        // input's own when it did not read in time.
        std::uint64_t lost = 0;
        bool after_loss = false;
    };
    using Handle = std::list<Input>::iterator;

    // The process's hub, opened with its first input and closed with its last.
    static std::shared_ptr<PacketHub> shared(const std::string& uri);
    explicit PacketHub(const std::string& uri);
    ~PacketHub();
    PacketHub(const PacketHub&) = delete;
    PacketHub& operator=(const PacketHub&) = delete;

    // False when the filter cannot take one more destination.
    bool add(const UdpAddress& address, Handle& handle);
    void remove(Handle handle) noexcept;
    // Reads what the socket holds, hands it out, and gives `handle`'s share
    // in `out` (whose previous content is dropped); true when the socket may
    // hold more.
    bool take(Handle handle, HubQueue& out);
    void fit_first();
    // The socket's drops no frame carried yet, counted for every input;
    // `handle`'s not yet handed over with a datagram.
    std::uint64_t uncounted_drops(Handle handle);
    std::size_t buffer_bytes(Handle handle) noexcept;

private:
    void refilter();
    void reindex();
    bool drain();
    void hand_out(const Message& message, std::size_t& larger);
    void lose(std::uint64_t count, bool gap) noexcept;

    std::mutex mutex_;
    int fd_ = -1;
    Batch batch_;
    Reassembler reassembler_;
    LocalDestinations local_;
    DropCounter drops_;
    bool sized_ = false;
    std::list<Input> inputs_;
    std::map<std::uint16_t, PortDestinations> ports_;
    std::unordered_map<std::uint16_t, std::vector<Input*>> by_port_;
};

// A unicast input received through its process's hub.
class HubReceiver final : public Receiver {
public:
    HubReceiver(std::shared_ptr<PacketHub> hub, PacketHub::Handle handle);
    ~HubReceiver() override;
    std::size_t receive(const std::function<void(const Datagram&)>& take) override;
    void fit_first() override { hub_->fit_first(); }
    const char* method() const noexcept override { return "packet socket"; }
    std::uint64_t uncounted_drops() override { return hub_->uncounted_drops(handle_); }
    std::size_t buffer_bytes() const noexcept override { return hub_->buffer_bytes(handle_); }

private:
    std::shared_ptr<PacketHub> hub_;
    PacketHub::Handle handle_;
    HubQueue taken_;
};

// A receiver through the process's hub; nullptr when the hub's filter is full.
std::unique_ptr<Receiver> open_hub_receiver(const UdpAddress& address, const std::string& uri);

}  // namespace avwatch::input
