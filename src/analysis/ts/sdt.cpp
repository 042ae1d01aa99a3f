#include "analysis/ts/sdt.hpp"

#include "analysis/ts/dvb_text.hpp"

namespace avwatch::ts {
namespace {

constexpr std::uint8_t service_descriptor_tag = 0x48;

std::uint16_t u16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }
std::uint16_t u12(const std::uint8_t* p) { return static_cast<std::uint16_t>(((p[0] & 0x0F) << 8) | p[1]); }

// The service descriptor's fields; false when its lengths run past it.
bool read_service_descriptor(std::span<const std::uint8_t> body, SdtService& service) {
    if (body.size() < 2)
        return false;
    std::size_t provider_length = body[1];
    if (2 + provider_length + 1 > body.size())
        return false;
    std::size_t name_length = body[2 + provider_length];
    if (3 + provider_length + name_length > body.size())
        return false;
    service.service_type = body[0];
    service.provider = body.subspan(2, provider_length);
    service.name = body.subspan(3 + provider_length, name_length);
    return true;
}

}  // namespace

std::optional<SdtSection> decode_sdt(const Section& section) {
    auto bytes = section.bytes;
    // The long-form header, original_network_id and a reserved byte, the CRC.
    if (!section.crc_ok || bytes.size() < 15 || bytes[0] != sdt_actual_table_id || (bytes[1] & 0x80) == 0)
        return std::nullopt;
    if ((bytes[5] & 0x01) == 0)  // a table announced for later
        return std::nullopt;
    SdtSection sdt{u16(&bytes[3]), static_cast<std::uint8_t>((bytes[5] >> 1) & 0x1F), bytes[6], bytes[7], {}};
    auto body = bytes.subspan(11, bytes.size() - 15);
    sdt.services.reserve(body.size() / 5);
    std::size_t at = 0;
    while (at < body.size()) {
        if (at + 5 > body.size())
            return std::nullopt;
        SdtService service{u16(&body[at]), std::nullopt, {}, {}};
        std::size_t loop = u12(&body[at + 3]);
        at += 5;
        if (at + loop > body.size())
            return std::nullopt;
        for (std::size_t d = at; d < at + loop;) {
            if (d + 2 > at + loop)
                return std::nullopt;
            std::size_t length = body[d + 1];
            if (d + 2 + length > at + loop)
                return std::nullopt;
            if (body[d] == service_descriptor_tag && !service.service_type &&
                !read_service_descriptor(body.subspan(d + 2, length), service))
                return std::nullopt;
            d += 2 + length;
        }
        at += loop;
        sdt.services.push_back(service);
    }
    return sdt;
}

ServiceNames named(const SdtService& service) {
    return ServiceNames{service.service_type, dvb_text(service.provider), dvb_text(service.name)};
}

}  // namespace avwatch::ts
