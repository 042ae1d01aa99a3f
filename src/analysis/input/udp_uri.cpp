#include "analysis/input/udp_uri.hpp"

#include <arpa/inet.h>

#include <charconv>
#include <stdexcept>

namespace avwatch::input {
namespace {

in_addr ipv4(std::string_view text, std::string_view what, std::string_view uri) {
    std::string copy(text);
    in_addr address{};
    if (inet_pton(AF_INET, copy.c_str(), &address) != 1)
        throw std::invalid_argument(std::string(what) + " is not an IPv4 address in " + std::string(uri));
    return address;
}

}  // namespace

UdpAddress parse_udp_uri(std::string_view uri) {
    std::string_view rest;
    if (uri.starts_with("udp://"))
        rest = uri.substr(6);
    else if (uri.starts_with("rtp://"))
        rest = uri.substr(6);
    else
        throw std::invalid_argument("not a udp:// or rtp:// URI: " + std::string(uri));
    std::string_view query;
    if (auto mark = rest.find('?'); mark != std::string_view::npos) {
        query = rest.substr(mark + 1);
        rest = rest.substr(0, mark);
    }
    if (rest.starts_with('@'))
        rest.remove_prefix(1);
    auto colon = rest.rfind(':');
    if (colon == std::string_view::npos)
        throw std::invalid_argument("no port in " + std::string(uri));
    UdpAddress address;
    std::string_view host = rest.substr(0, colon);
    std::string_view port = rest.substr(colon + 1);
    if (!port.empty() && port.back() == '/')
        port.remove_suffix(1);
    unsigned value = 0;
    auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (error != std::errc{} || end != port.data() + port.size() || value == 0 || value > 65535)
        throw std::invalid_argument("bad port in " + std::string(uri));
    address.port = static_cast<std::uint16_t>(value);
    address.host = host.empty() ? in_addr{htonl(INADDR_ANY)} : ipv4(host, "the host", uri);
    while (!query.empty()) {
        auto amp = query.find('&');
        std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
        if (pair.starts_with("localaddr="))
            address.interface = ipv4(pair.substr(10), "localaddr", uri);
    }
    return address;
}

}  // namespace avwatch::input
