#include "analysis/input/sockets.hpp"

#include "analysis/input/frame_datagram.hpp"
#include "analysis/input/packet_hub.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <linux/sock_diag.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace avwatch::input {
namespace {

[[noreturn]] void fail(const std::string& what) { throw std::system_error(errno, std::generic_category(), what); }

void grow_receive_buffer(int fd) {
    // The forced variant passes the system limit when we may (root).
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &receive_buffer, sizeof receive_buffer) < 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
}

// Accepts IPv4 UDP to the address (unless 0.0.0.0) and port, and any
// fragment to the address (the port is only in the first one: it is
// matched after reassembly).  Not this machine's own outgoing copies (a
// packet socket on lo sees both) nor frames for other hosts (promiscuous
// mode): no socket here gets those.
std::vector<sock_filter> udp_filter(const UdpAddress& address) {
    constexpr std::uint32_t drop = 0, accept = 0xFFFF;
    constexpr std::uint8_t to_drop = 0xFF, to_accept = 0xFE;  // patched below
    std::vector<sock_filter> code = {
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, static_cast<std::uint32_t>(SKF_AD_OFF + SKF_AD_PKTTYPE)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OUTGOING, to_drop, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OTHERHOST, to_drop, 0),
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 0),
        BPF_STMT(BPF_ALU | BPF_AND | BPF_K, 0xF0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0x40, 0, to_drop),
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 9),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_UDP, 0, to_drop),
    };
    if (address.host.s_addr != htonl(INADDR_ANY)) {
        code.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 16));
        code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ntohl(address.host.s_addr), 0, to_drop));
    }
    code.push_back(BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 6));
    code.push_back(BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, 0x3FFF, to_accept, 0));  // more fragments, or an offset
    code.push_back(BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0));
    code.push_back(BPF_STMT(BPF_LD | BPF_H | BPF_IND, 2));
    code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, address.port, to_accept, to_drop));
    code.push_back(BPF_STMT(BPF_RET | BPF_K, accept));
    code.push_back(BPF_STMT(BPF_RET | BPF_K, drop));
    std::size_t drop_at = code.size() - 1, accept_at = code.size() - 2;
    auto patch = [&](std::uint8_t& jump, std::size_t i) {
        if (jump == to_drop)
            jump = static_cast<std::uint8_t>(drop_at - i - 1);
        else if (jump == to_accept)
            jump = static_cast<std::uint8_t>(accept_at - i - 1);
    };
    for (std::size_t i = 0; i < code.size(); ++i) {
        if (BPF_CLASS(code[i].code) != BPF_JMP)
            continue;
        patch(code[i].jt, i);
        patch(code[i].jf, i);
    }
    return code;
}

// The index of the interface holding `address`; 0 (every interface) when none does.
int interface_of(in_addr address) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return 0;
    int index = 0;
    for (ifaddrs* entry = list; entry != nullptr && index == 0; entry = entry->ifa_next) {
        if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET &&
            reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr == address.s_addr)
            index = static_cast<int>(if_nametoindex(entry->ifa_name));
    }
    freeifaddrs(list);
    return index;
}

int join_group(const UdpAddress& address) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        fail("UDP socket");
    ip_mreq membership{};
    membership.imr_multiaddr = address.host;
    membership.imr_interface = address.interface ? *address.interface : in_addr{htonl(INADDR_ANY)};
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) < 0) {
        int error = errno;
        close(fd);
        errno = error;
        fail("joining the multicast group");
    }
    return fd;
}

}  // namespace

int open_packet_socket(const std::string& uri, int flags) {
    int fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | flags, 0);
    if (fd < 0) {
        if (errno == EPERM || errno == EACCES)
            throw PrivilegeMissing(
                "receiving " + uri +
                " beside the channel service's own socket, without holding its port, needs a packet socket, and so "
                "CAP_NET_RAW: run as root, or grant the capability (systemd: AmbientCapabilities=CAP_NET_RAW; "
                "otherwise setcap cap_net_raw+ep on the Python interpreter)");
        fail("packet socket");
    }
    return fd;
}

PacketSocket::PacketSocket(const UdpAddress& address, const std::string& uri)
    : port_(address.port), wildcard_(address.host.s_addr == htonl(INADDR_ANY)) {
    // Filtered before any frame can queue: created with protocol 0
    // (receives nothing), filtered, then bound to IPv4.
    fd_.value = open_packet_socket(uri, SOCK_NONBLOCK);
    auto code = udp_filter(address);
    sock_fprog program{static_cast<unsigned short>(code.size()), code.data()};
    if (setsockopt(fd_.value, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) < 0)
        fail("SO_ATTACH_FILTER");
    grow_receive_buffer(fd_.value);
    Batch::enable_metadata(fd_.value);
    sockaddr_ll bound{};
    bound.sll_family = AF_PACKET;
    bound.sll_protocol = htons(ETH_P_IP);
    // A unicast input: every interface, the route decides which one it uses.
    // A group: the interface it is joined on, when named.
    bound.sll_ifindex = address.multicast() && address.interface ? interface_of(*address.interface) : 0;
    if (bind(fd_.value, reinterpret_cast<sockaddr*>(&bound), sizeof bound) < 0)
        fail("bind packet socket");
    if (address.multicast())
        membership_.value = join_group(address);
}

PacketSocket::Descriptor::~Descriptor() {
    if (value >= 0)
        close(value);
}

const char* PacketSocket::method() const noexcept {
    return membership_.value >= 0 ? "packet socket + membership" : "packet socket";
}

std::size_t PacketSocket::buffer_bytes() const noexcept {
    return Batch::messages * batch_.slot_size() + reassembler_.memory();
}

std::size_t PacketSocket::receive(const std::function<void(const Datagram&)>& take) {
    auto messages = batch_.receive(fd_.value);
    std::size_t larger = 0;  // the slots grow once the batch's bytes are no longer needed
    for (const Message& m : messages) {
        if (drops_.frame(m, lost_))
            after_loss_ = true;
        if (m.truncated()) {
            larger = std::max(larger, m.length);
            ++lost_;
            after_loss_ = true;
            continue;
        }
        auto datagram = datagram_of(m, reassembler_, [&](std::uint32_t destination) {
            return !wildcard_ || local_.accepts(destination, m.link_type, m.interface, m.arrival);
        });
        if (!datagram || datagram->udp.destination_port != port_)
            continue;
        take(Datagram{datagram->udp.payload, m.arrival, std::exchange(after_loss_, false), std::exchange(lost_, 0)});
    }
    std::size_t read = messages.size();
    if (larger > 0)
        batch_.grow(larger);
    return read;
}

void PacketSocket::wait(ts::Nanos deadline) {
    // One wake-up per interval instead of one per datagram: the kernel
    // stamps each datagram's arrival, so reading late loses no timing.
    constexpr ts::Nanos interval = ts::millis(50);
    std::this_thread::sleep_for(std::chrono::nanoseconds(std::clamp<ts::Nanos>(deadline - monotonic_now(), 0, interval)));
}

bool fit_first_frame(int fd, Batch& batch) {
    // MSG_TRUNC: a packet socket tells the frame's whole length; MSG_PEEK leaves it queued.
    ssize_t length = recv(fd, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    if (length <= 0)
        return false;
    if (static_cast<std::size_t>(length) > batch.slot_size())
        batch.grow(static_cast<std::size_t>(length));
    return true;
}

void PacketSocket::fit_first() {
    if (!sized_)
        sized_ = fit_first_frame(fd_.value, batch_);
}

bool DropCounter::frame(const Message& message, std::uint64_t& lost) noexcept {
    if (!message.drop_count || *message.drop_count == seen_)
        return false;
    seen_ = *message.drop_count;
    auto ahead = static_cast<std::int32_t>(seen_ - counted_);
    if (ahead > 0) {
        lost += static_cast<std::uint64_t>(ahead);
        counted_ = seen_;
    }
    return true;
}

std::uint64_t DropCounter::uncounted(int fd) noexcept {
    std::uint32_t info[SK_MEMINFO_VARS] = {};
    socklen_t size = sizeof info;
    if (getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &size) < 0 || size <= SK_MEMINFO_DROPS * sizeof(std::uint32_t))
        return 0;
    auto ahead = static_cast<std::int32_t>(info[SK_MEMINFO_DROPS] - counted_);
    if (ahead <= 0)
        return 0;
    counted_ = info[SK_MEMINFO_DROPS];
    return static_cast<std::uint64_t>(ahead);
}

std::uint64_t PacketSocket::uncounted_drops() { return drops_.uncounted(fd_.value); }

std::unique_ptr<Receiver> open_receiver(const UdpAddress& address, const std::string& uri) {
    if (!address.multicast()) {
        // Unicast inputs share their process's packet socket (see
        // packet_hub.hpp); one whose destination no longer fits its filter
        // gets a socket of its own.
        if (auto shared = open_hub_receiver(address, uri))
            return shared;
    }
    return std::make_unique<PacketSocket>(address, uri);
}

}  // namespace avwatch::input
