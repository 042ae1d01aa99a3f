#include "analysis/input/packet_hub.hpp"

#include "analysis/input/frame_datagram.hpp"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <sys/socket.h>
#include <linux/sock_diag.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>
#include <utility>

namespace avwatch::input {
namespace {

// As much per input as a socket of its own holds, within a bound.
constexpr std::size_t most_buffer = 128 * 1024 * 1024;
// What one input may hold handed out but not yet read: as many payload
// bytes as a socket of its own could hold (the kernel's doubled buffer),
// so that another input's thread draining the socket while this one sleeps
// costs it nothing; past that, its newest datagrams drop.
constexpr std::size_t most_pending = 2 * std::size_t{receive_buffer};

[[noreturn]] void fail(const std::string& what) { throw std::system_error(errno, std::generic_category(), what); }

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
    // Created with protocol 0 (receives nothing), given a filter that takes
    // nothing yet, then bound to IPv4 on every interface: the route decides
    // which one a unicast input uses.
    fd_ = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) {
        if (errno == EPERM || errno == EACCES)
            throw PrivilegeMissing(
                "receiving " + uri +
                " beside the channel service's own socket, without holding its port, needs a packet socket, and so "
                "CAP_NET_RAW: run as root, or grant the capability (systemd: AmbientCapabilities=CAP_NET_RAW; "
                "otherwise setcap cap_net_raw+ep on the Python interpreter)");
        fail("packet socket");
    }
    try {
        refilter();
        Batch::enable_metadata(fd_);
        sockaddr_ll bound{};
        bound.sll_family = AF_PACKET;
        bound.sll_protocol = htons(ETH_P_IP);
        bound.sll_ifindex = 0;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&bound), sizeof bound) < 0)
            fail("bind packet socket");
    } catch (...) {
        close(fd_);
        throw;
    }
}

PacketHub::~PacketHub() { close(fd_); }

void PacketHub::refilter() {
    auto code = destination_filter(ports_);
    if (code.empty())
        throw std::length_error("too many destinations for one packet socket filter");
    sock_fprog program{static_cast<unsigned short>(code.size()), code.data()};
    // Replacing a filter is atomic: no datagram passes unfiltered meanwhile.
    if (setsockopt(fd_, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) < 0)
        fail("SO_ATTACH_FILTER");
    std::size_t inputs = std::max<std::size_t>(1, inputs_.size());
    int buffer = static_cast<int>(std::min<std::size_t>(most_buffer, receive_buffer * inputs));
    // The forced variant passes the system limit when we may (root).
    if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer) < 0)
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
}

bool PacketHub::add(const UdpAddress& address, Handle& handle) {
    std::lock_guard lock(mutex_);
    // What the socket holds arrived before this input was opened: it goes
    // to the inputs there were, as a socket of the input's own would not
    // have had it; so do the drops the socket counted so far.
    drain();
    lose(drops_.uncounted(fd_), false);
    auto before = ports_;
    PortDestinations& port = ports_[address.port];
    if (address.host.s_addr == htonl(INADDR_ANY))
        port.any_address = true;
    else
        port.addresses.insert(address.host.s_addr);
    handle = inputs_.insert(inputs_.end(), Input{address.host.s_addr, address.port, {}, 0, false});
    try {
        refilter();
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
    return true;
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
        refilter();  // a smaller filter always fits
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

void PacketHub::hand_out(const Message& m, std::size_t& larger) {
    std::uint64_t dropped = 0;
    if (drops_.frame(m, dropped))
        lose(dropped, true);
    if (m.truncated()) {
        // Whose it was cannot be told from a cut frame (a later fragment
        // carries no port): a drop of the hub's.
        larger = std::max(larger, m.length);
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

bool PacketHub::drain() {
    // Enough batches to empty a buffer every input filled for one interval.
    std::size_t most_batches = 64 * std::max<std::size_t>(1, inputs_.size());
    for (std::size_t batches = 0; batches < most_batches; ++batches) {
        auto messages = batch_.receive(fd_);
        std::size_t larger = 0;  // the slots grow once the batch's bytes are no longer needed
        for (const Message& message : messages)
            hand_out(message, larger);
        std::size_t read = messages.size();
        if (larger > 0)
            batch_.grow(larger);
        if (read < Batch::messages)
            return false;
    }
    return true;
}

bool PacketHub::take(Handle handle, HubQueue& out) {
    std::lock_guard lock(mutex_);
    bool more = drain();
    out.clear();
    std::swap(out, handle->pending);  // keeps both buffers' capacity
    return more;
}

void PacketHub::fit_first() {
    std::lock_guard lock(mutex_);
    if (!sized_)
        sized_ = fit_first_frame(fd_, batch_);
}

std::uint64_t PacketHub::uncounted_drops(Handle handle) {
    std::lock_guard lock(mutex_);
    lose(drops_.uncounted(fd_), false);
    return std::exchange(handle->lost, 0);
}

std::size_t PacketHub::buffer_bytes(Handle handle) noexcept {
    std::lock_guard lock(mutex_);
    // The hub's slots and reassembly are the first input's.
    std::size_t own = handle->pending.bytes.capacity() + handle->pending.items.capacity() * sizeof(HubQueue::Item);
    if (handle != inputs_.begin())
        return own;
    return own + Batch::messages * batch_.slot_size() + reassembler_.memory();
}

HubReceiver::HubReceiver(std::shared_ptr<PacketHub> hub, PacketHub::Handle handle)
    : hub_(std::move(hub)), handle_(handle) {}

HubReceiver::~HubReceiver() { hub_->remove(handle_); }

std::size_t HubReceiver::receive(const std::function<void(const Datagram&)>& take) {
    bool more = hub_->take(handle_, taken_);
    // Handed over outside the hub's lock: the other inputs' threads go on meanwhile.
    for (const HubQueue::Item& item : taken_.items)
        take(Datagram{{taken_.bytes.data() + item.offset, item.length}, item.arrival, item.after_loss,
                      item.lost_before});
    return more ? Batch::messages : 0;
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
