#include "analysis/input/packet_hub.hpp"

#include "analysis/input/frame_datagram.hpp"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <optional>
#include <system_error>
#include <utility>

namespace avwatch::input {
namespace {

// The ring holds about as much per input as a socket of its own did (8 s
// of a 4 Mb/s input), within a bound; it is memory the kernel keeps whether
// used or not, so it grows with the inputs rather than being taken at once.
constexpr std::size_t ring_per_input = 4 * 1024 * 1024;
constexpr std::size_t least_ring = 8 * 1024 * 1024;
constexpr std::size_t most_ring = 128 * 1024 * 1024;
// The hub's thread reads the ring often enough that it never fills while
// the inputs' threads sleep: an eighth of the time the blocks handed over
// lately would take to fill it, within these bounds (a process with one
// input wakes a few times a second, not twenty).
constexpr ts::Nanos shortest_tick = ts::millis(50);
constexpr ts::Nanos longest_tick = ts::millis(200);
// An input's thread is woken once this much is handed out to it: it reads
// in a few large steps, not every tick.
constexpr std::size_t wake_bytes = 128 * 1024;
// What one input may hold handed out but not yet read: as many payload
// bytes as a socket of its own could hold (the kernel's doubled buffer),
// so that a stalled input costs the others nothing; past that, its newest
// datagrams drop.
constexpr std::size_t most_pending = 2 * std::size_t{receive_buffer};
// Frames of the old socket stamped this long before the new one opened
// cannot be in the new one.
constexpr ts::Nanos overlap_margin = ts::nanos_per_second;

[[noreturn]] void fail(const std::string& what) { throw std::system_error(errno, std::generic_category(), what); }

ts::Nanos realtime_now() noexcept {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return ts::Nanos{now.tv_sec} * ts::nanos_per_second + now.tv_nsec;
}

std::mutex shared_mutex;
std::weak_ptr<PacketHub> shared_hub;

}  // namespace

std::shared_ptr<PacketHub> PacketHub::shared(const std::string& uri) {
    std::lock_guard lock(shared_mutex);
    auto hub = shared_hub.lock();
    if (!hub) {
        hub = std::make_shared<PacketHub>(uri);
        shared_hub = hub;
    }
    return hub;
}

PacketHub::PacketHub(const std::string& uri) {
    // Probed first, for the missing privilege's own message.
    close(open_packet_socket(uri, 0));
    ring_ = open_socket(least_ring);
    thread_ = std::thread([this] { run(); });
}

PacketHub::~PacketHub() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    tick_.notify_all();
    thread_.join();
}

std::unique_ptr<ReceiveRing> PacketHub::open_socket(std::size_t bytes) {
    // Created with protocol 0 (receives nothing), given its filter and ring,
    // then bound to IPv4 on every interface: the route decides which one a
    // unicast input uses.
    int fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        fail("packet socket");
    try {
        refilter(fd);
        // Stamped when received, not when copied: every socket that gets a
        // frame then has the same stamp for it.
        int on = 1;
        if (setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) < 0)
            fail("SO_TIMESTAMPNS");
    } catch (...) {
        close(fd);
        throw;
    }
    auto ring = std::make_unique<ReceiveRing>(fd, bytes);
    sockaddr_ll bound{};
    bound.sll_family = AF_PACKET;
    bound.sll_protocol = htons(ETH_P_IP);
    bound.sll_ifindex = 0;
    if (bind(ring->fd(), reinterpret_cast<sockaddr*>(&bound), sizeof bound) < 0)
        fail("bind packet socket");
    return ring;
}

void PacketHub::refilter(int fd) {
    auto code = destination_filter(ports_);
    if (code.empty())
        throw std::length_error("too many destinations for one packet socket filter");
    sock_fprog program{static_cast<unsigned short>(code.size()), code.data()};
    // Replacing a filter is atomic: no datagram passes unfiltered meanwhile.
    if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) < 0)
        fail("SO_ATTACH_FILTER");
}

std::size_t PacketHub::wanted_ring() const noexcept {
    return std::clamp(ring_per_input * inputs_.size(), least_ring, most_ring);
}

void PacketHub::grow_if_wanted() noexcept {
    if (old_ || wanted_ring() <= ring_->bytes())
        return;
    try {
        // Doubled at least, so that inputs opened one by one replace it a few times only.
        grow(std::min(most_ring, std::max(wanted_ring(), 2 * ring_->bytes())));
    } catch (...) {
        // The ring in use serves on, smaller than wished.
    }
}

bool PacketHub::add(const UdpAddress& address, Handle& handle) {
    std::lock_guard lock(mutex_);
    // What the ring holds now, and the drops counted so far, go to the
    // inputs there were: a socket of the input's own would not have had them.
    drain();
    lose(ring_->take_drops(), false);
    auto before = ports_;
    PortDestinations& port = ports_[address.port];
    if (address.host.s_addr == htonl(INADDR_ANY))
        port.any_address = true;
    else
        port.addresses.insert(address.host.s_addr);
    handle = inputs_.emplace(inputs_.end());
    handle->address = address.host.s_addr;
    handle->port = address.port;
    try {
        refilter(ring_->fd());
        reindex();
    } catch (const std::length_error&) {
        inputs_.erase(handle);
        ports_ = std::move(before);
        reindex();
        return false;
    } catch (...) {  // an error of the socket: the input is not taken
        inputs_.erase(handle);
        ports_ = std::move(before);
        reindex();
        throw;
    }
    // Frames in blocks not handed over yet may have arrived before: the
    // input takes those that arrive from now on.
    handle->opened = monotonic_now();
    grow_if_wanted();
    return true;
}

void PacketHub::grow(std::size_t bytes) {
    // The new socket gets every frame from its bind on, the old one none
    // once its filter drops all: the frames in between reach both, and are
    // told apart by their kernel stamp, length and first bytes.
    auto bigger = open_socket(bytes);
    ts::Nanos opened = realtime_now();
    sock_filter none = BPF_STMT(BPF_RET | BPF_K, 0);
    sock_fprog program{1, &none};
    if (setsockopt(ring_->fd(), SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) < 0)
        return;  // both would go on receiving: the old one stays
    old_ = std::move(ring_);
    ring_ = std::move(bigger);
    old_until_ = monotonic_now() + ReceiveRing::settle;
    overlap_from_ = opened - overlap_margin;
    overlap_.clear();
    overlap_last_ = 0;
}

void PacketHub::remove(Handle handle) noexcept {
    std::lock_guard lock(mutex_);
    inputs_.erase(handle);
    try {
        reindex();
        ports_.clear();
        for (const Input& input : inputs_) {
            PortDestinations& port = ports_[input.port];
            if (input.address == htonl(INADDR_ANY))
                port.any_address = true;
            else
                port.addresses.insert(input.address);
        }
        refilter(ring_->fd());  // a smaller filter always fits
    } catch (...) {
        // The wider filter stays: hand_out drops what no input takes.
    }
}

void PacketHub::reindex() {
    by_port_.clear();
    for (Input& input : inputs_)
        by_port_[input.port].push_back(&input);
}

void PacketHub::lose(std::uint64_t count, bool gap) noexcept {
    for (Input& input : inputs_) {
        input.lost += count;
        input.after_loss = input.after_loss || gap;
    }
}

PacketHub::FrameKey PacketHub::key_of(const Message& message) noexcept {
    // The IPv4 header (its identification and checksum) and the UDP header
    // are in the first bytes: frames the same there and stamped at the same
    // nanosecond are one frame.
    std::uint64_t hash = 14695981039346656037ull;
    for (std::uint8_t byte : message.bytes.first(std::min<std::size_t>(64, message.bytes.size())))
        hash = (hash ^ byte) * 1099511628211ull;
    return {message.stamp, message.length, hash};
}

void PacketHub::hand_out(const Message& m) {
    if (m.truncated()) {
        // Whose it was cannot be told from a cut frame (a later fragment
        // carries no port): a drop of the hub's.
        lose(1, true);
        return;
    }
    // The kernel filter let through only what some input may take.
    auto datagram = datagram_of(m, reassembler_, [](std::uint32_t) { return true; });
    if (!datagram)
        return;
    const UdpDatagram* udp = &datagram->udp;
    auto found = by_port_.find(udp->destination_port);
    if (found == by_port_.end())
        return;
    std::optional<bool> local;  // judged once, for the first input on every address
    for (Input* input : found->second) {
        if (m.arrival < input->opened)
            continue;
        if (input->address == htonl(INADDR_ANY)) {
            if (!local)
                local = local_.accepts(datagram->destination, m.link_type, m.interface, m.arrival);
            if (!*local)
                continue;
        } else if (input->address != datagram->destination) {
            continue;
        }
        HubQueue& queue = input->pending;
        if (queue.bytes.size() + udp->payload.size() > most_pending) {
            ++input->lost;
            input->after_loss = true;
            continue;
        }
        std::size_t offset = queue.bytes.size();
        queue.bytes.insert(queue.bytes.end(), udp->payload.begin(), udp->payload.end());
        queue.items.push_back({offset, udp->payload.size(), m.arrival, std::exchange(input->after_loss, false),
                               std::exchange(input->lost, 0)});
    }
}

void PacketHub::drain_ring(ReceiveRing& ring, bool old) {
    // A ring's worth at most: a flood does not hold the lock for good.
    for (std::size_t blocks = 0; blocks < ring.blocks(); ++blocks) {
        ReceiveRing::Block block = ring.next();
        if (block.frames.empty())
            break;
        ++blocks_read_;
        if (block.after_drops)
            lose(block.drops, true);
        for (const Message& message : block.frames) {
            if (old) {
                if (message.stamp >= overlap_from_) {
                    overlap_.insert(key_of(message));
                    overlap_last_ = std::max(overlap_last_, message.stamp);
                }
            } else if (!overlap_.empty()) {
                auto seen = overlap_.find(key_of(message));
                if (seen != overlap_.end()) {
                    overlap_.erase(seen);
                    continue;
                }
                if (message.stamp > overlap_last_ + overlap_margin)
                    overlap_.clear();
            }
            hand_out(message);
        }
        ring.release();
    }
}

void PacketHub::drain() {
    if (old_) {
        // The new socket's frames wait until the old one's last block is read.
        drain_ring(*old_, true);
        if (monotonic_now() < old_until_)
            return;
        drain_ring(*old_, true);
        if (std::uint64_t drops = old_->take_drops())
            lose(drops, true);
        old_.reset();
    }
    drain_ring(*ring_, false);
}

void PacketHub::run() noexcept {
    std::unique_lock lock(mutex_);
    ts::Nanos interval = shortest_tick, last = monotonic_now();
    while (!stopping_) {
        tick_.wait_for(lock, std::chrono::nanoseconds(interval), [&] { return stopping_; });
        if (stopping_)
            break;
        ts::Nanos now = monotonic_now();
        // Blocks per second since the last tick, the inputs' own reads included.
        double seconds = static_cast<double>(std::max<ts::Nanos>(1, now - last)) / ts::nanos_per_second;
        double rate = static_cast<double>(blocks_read_) / seconds;
        double fill = static_cast<double>(ring_->blocks()) / std::max(rate, 1.0) * ts::nanos_per_second;
        interval = std::clamp(static_cast<ts::Nanos>(fill / 8), shortest_tick, longest_tick);
        blocks_read_ = 0;
        last = now;
        try {
            drain();
        } catch (...) {
            // Memory ran out handing out: the inputs' own reads meet it and report it.
            continue;
        }
        // Inputs opened while the ring was being replaced.
        grow_if_wanted();
        for (Input& input : inputs_)
            if (input.pending.bytes.size() >= wake_bytes)
                input.ready.notify_one();
    }
}

void PacketHub::wait(Handle handle, ts::Nanos deadline) {
    std::unique_lock lock(mutex_);
    auto until = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(deadline));
    handle->ready.wait_until(lock, until, [&] { return handle->woken || handle->pending.bytes.size() >= wake_bytes; });
    handle->woken = false;
}

void PacketHub::wake(Handle handle) noexcept {
    {
        std::lock_guard lock(mutex_);
        handle->woken = true;
    }
    handle->ready.notify_one();
}

void PacketHub::take(Handle handle, HubQueue& out) {
    std::lock_guard lock(mutex_);
    drain();
    out.clear();
    std::swap(out, handle->pending);  // keeps both buffers' capacity
}

std::uint64_t PacketHub::uncounted_drops(Handle handle) {
    std::lock_guard lock(mutex_);
    lose(ring_->take_drops(), false);
    return std::exchange(handle->lost, 0);
}

std::size_t PacketHub::buffer_bytes(Handle handle) noexcept {
    std::lock_guard lock(mutex_);
    // The hub's ring and reassembly are the first input's.
    std::size_t own = handle->pending.bytes.capacity() + handle->pending.items.capacity() * sizeof(HubQueue::Item);
    if (handle != inputs_.begin())
        return own;
    return own + ring_->bytes() + (old_ ? old_->bytes() : 0) + reassembler_.memory();
}

HubReceiver::HubReceiver(std::shared_ptr<PacketHub> hub, PacketHub::Handle handle)
    : hub_(std::move(hub)), handle_(handle) {}

HubReceiver::~HubReceiver() { hub_->remove(handle_); }

std::size_t HubReceiver::receive(const std::function<void(const Datagram&)>& take) {
    hub_->take(handle_, taken_);
    // Handed over outside the hub's lock: the other inputs' threads go on meanwhile.
    for (const HubQueue::Item& item : taken_.items)
        take(Datagram{{taken_.bytes.data() + item.offset, item.length}, item.arrival, item.after_loss,
                      item.lost_before});
    // The hub's thread keeps the ring drained: nothing more to read at once.
    return 0;
}

std::unique_ptr<Receiver> open_hub_receiver(const UdpAddress& address, const std::string& uri) {
    auto hub = PacketHub::shared(uri);
    PacketHub::Handle handle;
    if (!hub->add(address, handle))
        return nullptr;
    try {
        return std::make_unique<HubReceiver>(hub, handle);
    } catch (...) {
        hub->remove(handle);
        throw;
    }
}

}  // namespace avwatch::input
