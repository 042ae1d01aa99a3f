// The unicast inputs of one process share one packet socket.  Each socket
// bound to every interface runs its filter on every IPv4 datagram the
// machine receives, so a socket per input makes each datagram cost as many
// filter runs as there are inputs; one socket whose filter holds every
// input's destination costs one.  Its datagrams are handed out here by
// destination address and port, each input getting what a socket of its own
// would have got, in the same order, with the same arrival times.
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
        bool truncated;
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
        std::uint64_t overflowed = 0;  // datagrams dropped because the input did not read in time
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
    // in `out` (whose previous content is dropped).
    void take(Handle handle, HubQueue& out);

private:
    void refilter();
    void reindex();
    void drain();
    void hand_out(const Message& message);

    std::mutex mutex_;
    int fd_ = -1;
    Batch batch_;
    std::list<Input> inputs_;
    std::map<std::uint16_t, PortDestinations> ports_;
    std::unordered_map<std::uint16_t, std::vector<Input*>> by_port_;
};

// A unicast input received through its process's hub.
class HubReceiver final : public Receiver {
public:
    HubReceiver(std::shared_ptr<PacketHub> hub, PacketHub::Handle handle);
    ~HubReceiver() override;
    std::span<const Datagram> receive() override;
    const char* method() const noexcept override { return "packet socket"; }

private:
    std::shared_ptr<PacketHub> hub_;
    PacketHub::Handle handle_;
    HubQueue taken_;
};

// A receiver through the process's hub; nullptr when the hub's filter is full.
std::unique_ptr<Receiver> open_hub_receiver(const UdpAddress& address, const std::string& uri);

}  // namespace avwatch::input
