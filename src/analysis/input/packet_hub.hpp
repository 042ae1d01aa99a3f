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
// The socket has a receive ring (receive_ring.hpp), read by a thread of the
// hub's often enough that it does not fill; each input's thread sleeps
// until its share is worth reading or a window is due: few wake-ups per
// input and no contention between the inputs' threads.  As inputs are added the
// ring grows (it cannot be resized in place): a socket with a larger ring
// takes over, the old one is read to its end, and the frames both got are
// read once.
//
// The shared socket's own drops (its ring was full) belong to no input that
// can be told: every input of the hub counts them as its receive drops and
// resumes after them with a receive gap, so that no input takes them for
// stream loss.
#pragma once

#include "analysis/input/batch.hpp"
#include "analysis/input/destination_filter.hpp"
#include "analysis/input/receive_ring.hpp"
#include "analysis/input/sockets.hpp"

#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
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
        ts::Nanos opened;  // what arrived before is not this input's
        HubQueue pending;
        // Lost since the last datagram queued: the hub's drops, and the
        // input's own when it did not read in time.
        std::uint64_t lost = 0;
        bool after_loss = false;
        bool woken = false;
        std::condition_variable ready;
    };
    using Handle = std::list<Input>::iterator;

    // How long after its arrival a datagram may not have been handed out
    // yet: a block's retirement, twice when the ring is being replaced.
    static constexpr ts::Nanos latency = 2 * ReceiveRing::settle;

    // The process's hub, opened with its first input and closed with its last.
    static std::shared_ptr<PacketHub> shared(const std::string& uri);
    explicit PacketHub(const std::string& uri);
    ~PacketHub();
    PacketHub(const PacketHub&) = delete;
    PacketHub& operator=(const PacketHub&) = delete;

    // False when the filter cannot take one more destination.
    bool add(const UdpAddress& address, Handle& handle);
    void remove(Handle handle) noexcept;
    // Waits until `handle`'s share is worth reading, until `deadline`
    // (monotonic), or until wake().
    void wait(Handle handle, ts::Nanos deadline);
    void wake(Handle handle) noexcept;
    // Reads what the ring holds, hands it out, and gives `handle`'s share in
    // `out` (whose previous content is dropped).
    void take(Handle handle, HubQueue& out);
    // The socket's drops not handed over yet, counted for every input;
    // `handle`'s not yet handed over with a datagram.
    std::uint64_t uncounted_drops(Handle handle);
    std::size_t buffer_bytes(Handle handle) noexcept;

private:
    // A frame both the old and the new socket got while the ring was replaced.
    using FrameKey = std::tuple<ts::Nanos, std::size_t, std::uint64_t>;
    static FrameKey key_of(const Message& message) noexcept;

    std::unique_ptr<ReceiveRing> open_socket(std::size_t bytes);
    void refilter(int fd);
    void reindex();
    void grow(std::size_t bytes);
    void grow_if_wanted() noexcept;
    void run() noexcept;
    void drain();
    void drain_ring(ReceiveRing& ring, bool old);
    void hand_out(const Message& message);
    void lose(std::uint64_t count, bool gap) noexcept;
    std::size_t wanted_ring() const noexcept;

    std::mutex mutex_;
    std::unique_ptr<ReceiveRing> ring_;
    // The socket being replaced, read to its end before ring_ is read.
    std::unique_ptr<ReceiveRing> old_;
    ts::Nanos old_until_ = 0;   // monotonic: its last block has been handed over by then
    ts::Nanos overlap_from_ = 0;  // real-time stamp: frames from then on may be in both
    std::multiset<FrameKey> overlap_;
    ts::Nanos overlap_last_ = 0;
    bool gap_pending_ = false;  // drops were counted that no frame marked yet
    Reassembler reassembler_;
    LocalDestinations local_;
    std::list<Input> inputs_;
    std::map<std::uint16_t, PortDestinations> ports_;
    std::unordered_map<std::uint16_t, std::vector<Input*>> by_port_;
    bool stopping_ = false;
    std::uint64_t blocks_read_ = 0;  // since the hub's thread last woke
    std::condition_variable tick_;
    std::thread thread_;
};

// A unicast input received through its process's hub.
class HubReceiver final : public Receiver {
public:
    HubReceiver(std::shared_ptr<PacketHub> hub, PacketHub::Handle handle);
    ~HubReceiver() override;
    std::size_t receive(const std::function<void(const Datagram&)>& take) override;
    void fit_first() override {}  // a block holds the largest frame
    void wait(ts::Nanos deadline) override { hub_->wait(handle_, deadline); }
    void wake() noexcept override { hub_->wake(handle_); }
    ts::Nanos latency() const noexcept override { return PacketHub::latency; }
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
