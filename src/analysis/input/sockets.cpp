#include "analysis/input/sockets.hpp"

#include "analysis/input/packet_hub.hpp"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace avwatch::input {
namespace {

// Large enough for a second of 8 Mb/s should the thread fall behind.
constexpr int receive_buffer = 2 * 1024 * 1024;

[[noreturn]] void fail(const std::string& what) { throw std::system_error(errno, std::generic_category(), what); }

void grow_receive_buffer(int fd) {
    // The forced variant passes the system limit when we may (root).
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &receive_buffer, sizeof receive_buffer) < 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
}

// Accepts IPv4 UDP to the address and port that are not fragments and not
// this machine's own outgoing copies (a packet socket on lo sees both).
std::vector<sock_filter> udp_filter(const UdpAddress& address) {
    constexpr std::uint32_t drop = 0, accept = 0xFFFF;
    std::vector<sock_filter> code = {
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, static_cast<std::uint32_t>(SKF_AD_OFF + SKF_AD_PKTTYPE)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OUTGOING, 0xFF, 0),  // jumps patched below
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 0),
        BPF_STMT(BPF_ALU | BPF_AND | BPF_K, 0xF0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0x40, 0, 0xFF),
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 9),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_UDP, 0, 0xFF),
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 6),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, 0x3FFF, 0xFF, 0),  // more fragments, or an offset
    };
    if (address.host.s_addr != htonl(INADDR_ANY)) {
        code.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 16));
        code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ntohl(address.host.s_addr), 0, 0xFF));
    }
    code.push_back(BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0));
    code.push_back(BPF_STMT(BPF_LD | BPF_H | BPF_IND, 2));
    code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, address.port, 0, 0xFF));
    code.push_back(BPF_STMT(BPF_RET | BPF_K, accept));
    code.push_back(BPF_STMT(BPF_RET | BPF_K, drop));
    // Every 0xFF is "go to drop", the last instruction.
    std::size_t last = code.size() - 1;
    for (std::size_t i = 0; i < code.size(); ++i) {
        if (BPF_CLASS(code[i].code) != BPF_JMP)
            continue;
        if (code[i].jt == 0xFF)
            code[i].jt = static_cast<std::uint8_t>(last - i - 1);
        if (code[i].jf == 0xFF)
            code[i].jf = static_cast<std::uint8_t>(last - i - 1);
    }
    return code;
}

class PacketSocket final : public Receiver {
public:
    PacketSocket(const UdpAddress& address, const std::string& uri) {
        // Filtered before any datagram can queue: created with protocol 0
        // (receives nothing), filtered, then bound to IPv4.
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
        auto code = udp_filter(address);
        sock_fprog program{static_cast<unsigned short>(code.size()), code.data()};
        if (setsockopt(fd_, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) < 0)
            fail("SO_ATTACH_FILTER");
        grow_receive_buffer(fd_);
        Batch::enable_timestamps(fd_);
        sockaddr_ll bound{};
        bound.sll_family = AF_PACKET;
        bound.sll_protocol = htons(ETH_P_IP);
        bound.sll_ifindex = 0;  // every interface: the route decides which one a unicast input uses
        if (bind(fd_, reinterpret_cast<sockaddr*>(&bound), sizeof bound) < 0)
            fail("bind packet socket");
    }

    std::span<const Datagram> receive() override {
        ready_.clear();
        for (const Message& message : batch_.receive(fd_)) {
            auto payload = udp_payload(message.bytes);
            ready_.push_back({payload, message.arrival, message.truncated});
        }
        return ready_;
    }
    const char* method() const noexcept override { return "packet socket"; }
};

class MulticastSocket final : public Receiver {
public:
    MulticastSocket(const UdpAddress& address, const std::string&) {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd_ < 0)
            fail("UDP socket");
        int on = 1;
        if (setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0)
            fail("SO_REUSEADDR");
        // Only the group's datagrams, not those of other groups on the port.
        int off = 0;
        setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off);
        grow_receive_buffer(fd_);
        Batch::enable_timestamps(fd_);
        sockaddr_in bound{};
        bound.sin_family = AF_INET;
        bound.sin_port = htons(address.port);
        bound.sin_addr = address.host;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&bound), sizeof bound) < 0)
            fail("bind to the multicast group");
        ip_mreq membership{};
        membership.imr_multiaddr = address.host;
        membership.imr_interface = address.interface ? *address.interface : in_addr{htonl(INADDR_ANY)};
        if (setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) < 0)
            fail("joining the multicast group");
    }

    std::span<const Datagram> receive() override {
        ready_.clear();
        for (const Message& message : batch_.receive(fd_))
            ready_.push_back({message.bytes, message.arrival, message.truncated});
        return ready_;
    }
    const char* method() const noexcept override { return "multicast membership"; }
};

}  // namespace

Receiver::~Receiver() {
    if (fd_ >= 0)
        close(fd_);
}

std::span<const std::uint8_t> udp_payload(std::span<const std::uint8_t> ip) noexcept {
    if (ip.size() < 20)
        return {};
    std::size_t header = std::size_t{ip[0] & 0x0Fu} * 4;
    std::size_t total = (std::size_t{ip[2]} << 8) | ip[3];
    if (header < 20)
        return {};
    if (total > ip.size())
        total = ip.size();  // a truncated capture: keep what there is
    if (header + 8 > total)
        return {};
    std::size_t udp_length = (std::size_t{ip[header + 4]} << 8) | ip[header + 5];
    std::size_t end = total;
    if (udp_length >= 8 && header + udp_length < end)
        end = header + udp_length;
    return ip.subspan(header + 8, end - header - 8);
}

std::unique_ptr<Receiver> open_receiver(const UdpAddress& address, const std::string& uri) {
    if (address.multicast())
        return std::make_unique<MulticastSocket>(address, uri);
    // Unicast inputs share their process's packet socket (see packet_hub.hpp);
    // one whose destination no longer fits its filter gets a socket of its own.
    if (auto shared = open_hub_receiver(address, uri))
        return shared;
    return std::make_unique<PacketSocket>(address, uri);
}

}  // namespace avwatch::input
