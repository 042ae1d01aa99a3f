#include "analysis/input/destination_filter.hpp"

#include <linux/if_packet.h>

#include <span>
#include <utility>

namespace avwatch::input {
namespace {

constexpr std::uint32_t drop = 0, accept = 0xFFFF;
constexpr std::size_t most_addresses = 250;  // a port's block stays within one 8-bit jump
constexpr std::size_t leaf_ports = 4;

using Ports = std::vector<std::pair<std::uint16_t, const PortDestinations*>>;

// A port's verdict, the port in the accumulator: accept, or compare the
// destination address with each of the port's.
bool port_block(const PortDestinations& destinations, std::vector<sock_filter>& block) {
    if (destinations.any_address) {
        block.push_back(BPF_STMT(BPF_RET | BPF_K, accept));
        return true;
    }
    if (destinations.addresses.size() > most_addresses)
        return false;
    std::size_t count = destinations.addresses.size(), i = 0;
    block.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 16));
    for (std::uint32_t address : destinations.addresses) {
        block.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ntohl(address), static_cast<std::uint8_t>(count - i), 0));
        ++i;
    }
    block.push_back(BPF_STMT(BPF_RET | BPF_K, drop));
    block.push_back(BPF_STMT(BPF_RET | BPF_K, accept));
    return true;
}

// A search over the sorted ports, so that a datagram meets a few
// comparisons however many ports there are: halves are chosen by one
// comparison and a long jump, the last few ports compared in turn.
bool search(std::span<const std::pair<std::uint16_t, const PortDestinations*>> ports, std::vector<sock_filter>& code) {
    if (ports.size() <= leaf_ports) {
        for (const auto& [port, destinations] : ports) {
            std::vector<sock_filter> block;
            if (!port_block(*destinations, block))
                return false;
            code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, port, 0, static_cast<std::uint8_t>(block.size())));
            code.insert(code.end(), block.begin(), block.end());
        }
        code.push_back(BPF_STMT(BPF_RET | BPF_K, drop));
        return true;
    }
    std::size_t middle = ports.size() / 2;
    std::vector<sock_filter> low, high;
    if (!search(ports.first(middle), low) || !search(ports.subspan(middle), high))
        return false;
    code.push_back(BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, ports[middle].first, 0, 1));
    code.push_back(BPF_JUMP(BPF_JMP | BPF_JA, static_cast<std::uint32_t>(low.size()), 0, 0));
    code.insert(code.end(), low.begin(), low.end());
    code.insert(code.end(), high.begin(), high.end());
    return code.size() <= BPF_MAXINSNS;
}

}  // namespace

std::vector<sock_filter> destination_filter(const std::map<std::uint16_t, PortDestinations>& ports) {
    // Fragments: to any address once an input takes every address, else to one of the inputs'.
    PortDestinations fragments;
    for (const auto& [port, destinations] : ports) {
        fragments.any_address = fragments.any_address || destinations.any_address;
        fragments.addresses.insert(destinations.addresses.begin(), destinations.addresses.end());
    }
    std::vector<sock_filter> fragment_block;
    if (fragments.any_address || !fragments.addresses.empty()) {
        if (!port_block(fragments, fragment_block))
            return {};
    } else {
        fragment_block.push_back(BPF_STMT(BPF_RET | BPF_K, drop));
    }
    Ports sorted;
    for (const auto& [port, destinations] : ports)
        sorted.emplace_back(port, &destinations);
    std::vector<sock_filter> tree;
    if (!search(sorted, tree))
        return {};
    // Common checks; each failure jumps to the drop right after them (at 10).
    std::vector<sock_filter> code = {
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, static_cast<std::uint32_t>(SKF_AD_OFF + SKF_AD_PKTTYPE)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OUTGOING, 8, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OTHERHOST, 7, 0),
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 0),
        BPF_STMT(BPF_ALU | BPF_AND | BPF_K, 0xF0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0x40, 0, 4),
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 9),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_UDP, 0, 2),
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 6),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, 0x3FFF, 1, 2),  // more fragments, or an offset
        BPF_STMT(BPF_RET | BPF_K, drop),
        // A fragment: past the port search, to the fragments' block at its end.
        BPF_JUMP(BPF_JMP | BPF_JA, static_cast<std::uint32_t>(tree.size() + 2), 0, 0),
        BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, 2),
    };
    code.insert(code.end(), tree.begin(), tree.end());
    code.insert(code.end(), fragment_block.begin(), fragment_block.end());
    if (code.size() > BPF_MAXINSNS)
        return {};
    return code;
}

}  // namespace avwatch::input
