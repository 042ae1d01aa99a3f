#include "analysis/input/packet_hub.hpp"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace avwatch::input {
namespace {

// As much per input as a socket of its own would hold, within a bound.
constexpr int buffer_per_input = 2 * 1024 * 1024;
constexpr int most_buffer = 128 * 1024 * 1024;
// What an input that stopped reading may hold before its newest datagrams drop.
constexpr std::size_t most_pending = 2 * 1024 * 1024;

[[noreturn]] void fail(const std::string& what) { throw std::system_error(errno, std::generic_category(), what); }

struct Destination {
    std::uint32_t address;  // network byte order
    std::uint16_t port;
};

// Where an IPv4 UDP packet goes; the filter let only such packets through,
// but their lengths are checked again here.
bool destination_of(std::span<const std::uint8_t> ip, Destination& out) noexcept {
    if (ip.size() < 20)
        return false;
    std::size_t header = std::size_t{ip[0] & 0x0Fu} * 4;
    if (header < 20 || header + 4 > ip.size())
        return false;
    std::memcpy(&out.address, ip.data() + 16, sizeof out.address);
    out.port = static_cast<std::uint16_t>((ip[header + 2] << 8) | ip[header + 3]);
    return true;
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
    // Created with protocol 0 (receives nothing), given a filter that takes
    // nothing yet, then bound to IPv4 on every interface: the route decides
    // which one a unicast input uses.
    fd_ = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) {
        if (errno == EPERM || errno == EACCES)
            throw PrivilegeMissing(
                "receiving unicast " + uri +
                " beside the channel service's own socket needs a packet socket, and so CAP_NET_RAW: run as "
                "root, or grant the capability (systemd: AmbientCapabilities=CAP_NET_RAW; otherwise setcap "
                "cap_net_raw+ep on the Python interpreter)");
        fail("packet socket");
    }
    try {
        refilter();
        Batch::enable_timestamps(fd_);
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
    int buffer = static_cast<int>(std::min<std::size_t>(most_buffer, buffer_per_input * inputs));
    // The forced variant passes the system limit when we may (root).
    if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer) < 0)
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
}

bool PacketHub::add(const UdpAddress& address, Handle& handle) {
    std::lock_guard lock(mutex_);
    // What the socket holds arrived before this input was opened: it goes
    // to the inputs there were, as a socket of the input's own would not
    // have had it.
    drain();
    auto before = ports_;
    PortDestinations& port = ports_[address.port];
    if (address.host.s_addr == htonl(INADDR_ANY))
        port.any_address = true;
    else
        port.addresses.insert(address.host.s_addr);
    handle = inputs_.insert(inputs_.end(), Input{address.host.s_addr, address.port, {}});
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

void PacketHub::hand_out(const Message& message) {
    Destination to{};
    if (!destination_of(message.bytes, to))
        return;
    auto found = by_port_.find(to.port);
    if (found == by_port_.end())
        return;
    auto payload = udp_payload(message.bytes);
    for (Input* input : found->second) {
        if (input->address != htonl(INADDR_ANY) && input->address != to.address)
            continue;
        HubQueue& queue = input->pending;
        if (queue.bytes.size() + payload.size() > most_pending) {
            ++input->overflowed;
            continue;
        }
        std::size_t offset = queue.bytes.size();
        queue.bytes.insert(queue.bytes.end(), payload.begin(), payload.end());
        queue.items.push_back({offset, payload.size(), message.arrival, message.truncated});
    }
}

void PacketHub::drain() {
    // Enough batches to empty a buffer every input filled for one interval.
    std::size_t most_batches = 64 * std::max<std::size_t>(1, inputs_.size());
    for (std::size_t batches = 0; batches < most_batches; ++batches) {
        auto messages = batch_.receive(fd_);
        for (const Message& message : messages)
            hand_out(message);
        if (messages.size() < Batch::messages)
            break;
    }
}

void PacketHub::take(Handle handle, HubQueue& out) {
    std::lock_guard lock(mutex_);
    drain();
    out.clear();
    std::swap(out, handle->pending);  // keeps both buffers' capacity
}

HubReceiver::HubReceiver(std::shared_ptr<PacketHub> hub, PacketHub::Handle handle)
    : hub_(std::move(hub)), handle_(handle) {}

HubReceiver::~HubReceiver() { hub_->remove(handle_); }

std::span<const Datagram> HubReceiver::receive() {
    hub_->take(handle_, taken_);
    ready_.clear();
    for (const HubQueue::Item& item : taken_.items)
        ready_.push_back({{taken_.bytes.data() + item.offset, item.length}, item.arrival, item.truncated});
    return ready_;
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
