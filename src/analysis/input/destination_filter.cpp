#include "analysis/input/destination_filter.hpp"

#include <linux/if_packet.h>

namespace avwatch::input {
namespace {

constexpr std::uint32_t drop = 0, accept = 0xFFFF;
constexpr std::size_t most_addresses = 250;  // a port's block stays within one 8-bit jump

}  // namespace

std::vector<sock_filter> destination_filter(const std::map<std::uint16_t, PortDestinations>& ports) {
    // Common checks; each failure jumps to the drop right after them.
    std::vector<sock_filter> code = {
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, static_cast<std::uint32_t>(SKF_AD_OFF + SKF_AD_PKTTYPE)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OUTGOING, 7, 0),
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 0),
        BPF_STMT(BPF_ALU | BPF_AND | BPF_K, 0xF0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0x40, 0, 4),
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 9),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_UDP, 0, 2),
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 6),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, 0x3FFF, 0, 1),  // more fragments, or an offset
        BPF_STMT(BPF_RET | BPF_K, drop),
        BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, 2),
    };
    for (const auto& [port, destinations] : ports) {
        std::vector<sock_filter> block;
        if (destinations.any_address) {
            block.push_back(BPF_STMT(BPF_RET | BPF_K, accept));
        } else {
            if (destinations.addresses.size() > most_addresses)
                return {};
            // Load the destination address, compare with each, then drop or accept.
            std::size_t count = destinations.addresses.size(), i = 0;
            block.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 16));
            for (std::uint32_t address : destinations.addresses) {
                auto to_accept = static_cast<std::uint8_t>(count - i);
                block.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ntohl(address), to_accept, 0));
                ++i;
            }
            block.push_back(BPF_STMT(BPF_RET | BPF_K, drop));
            block.push_back(BPF_STMT(BPF_RET | BPF_K, accept));
        }
        // Not this port: skip its block (the accumulator still holds the port).
        code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, port, 0, static_cast<std::uint8_t>(block.size())));
        code.insert(code.end(), block.begin(), block.end());
    }
    code.push_back(BPF_STMT(BPF_RET | BPF_K, drop));
    if (code.size() > BPF_MAXINSNS)
        return {};
    return code;
}

}  // namespace avwatch::input
