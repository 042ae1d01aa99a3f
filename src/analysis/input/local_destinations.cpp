#include "analysis/input/local_destinations.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <linux/if_packet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace avwatch::input {
namespace {

bool in_loopback_net(std::uint32_t address) { return (ntohl(address) >> 24) == 127; }

}  // namespace

void LocalDestinations::refresh() {
    addresses_.assign({htonl(INADDR_BROADCAST)});
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
            if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET)
                continue;
            addresses_.push_back(reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr);
            if ((entry->ifa_flags & IFF_BROADCAST) && entry->ifa_broadaddr != nullptr)
                addresses_.push_back(reinterpret_cast<sockaddr_in*>(entry->ifa_broadaddr)->sin_addr.s_addr);
        }
        freeifaddrs(list);
    }
    // Lines "INDEX NAME : ..." open an interface; its groups follow, one a
    // line, as the hexadecimal of the address's bytes in memory order.
    groups_.clear();
    if (std::FILE* igmp = std::fopen("/proc/net/igmp", "re")) {
        char line[256];
        int interface = -1;
        while (std::fgets(line, sizeof line, igmp) != nullptr) {
            char* end = nullptr;
            if (line[0] != '\t' && line[0] != ' ') {
                long index = std::strtol(line, &end, 10);
                interface = end != line ? static_cast<int>(index) : -1;
                continue;
            }
            unsigned long group = std::strtoul(line, &end, 16);
            if (end != line && interface >= 0)
                groups_.emplace_back(interface, static_cast<std::uint32_t>(group));
        }
        std::fclose(igmp);
    }
}

bool LocalDestinations::accepts(std::uint32_t destination, unsigned link_type, int interface, ts::Nanos now) {
    if (!loaded_ || now >= next_refresh_) {
        refresh();
        loaded_ = true;
        next_refresh_ = now + refresh_interval;
    }
    if (link_type == PACKET_BROADCAST)
        return true;
    if (link_type == PACKET_MULTICAST)
        return std::find(groups_.begin(), groups_.end(), std::pair{interface, destination}) != groups_.end();
    if (link_type != PACKET_HOST)
        return false;
    return in_loopback_net(destination) ||
           std::find(addresses_.begin(), addresses_.end(), destination) != addresses_.end();
}

}  // namespace avwatch::input
