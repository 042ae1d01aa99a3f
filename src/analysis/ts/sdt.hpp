// The Service Description Table of the actual transport stream (PID 0x11,
// table_id 0x42): each service's type and its provider and service names,
// from its service descriptor.  Checked like the PAT and PMT: a section
// that lies about its lengths yields nullopt.  The names stay raw DVB text
// (views into the section) until named() decodes them, so that a reader
// decodes only the services it keeps.
#pragma once

#include "analysis/ts/sections.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace avwatch::ts {

inline constexpr std::uint16_t sdt_pid = 0x0011;
inline constexpr std::uint8_t sdt_actual_table_id = 0x42;

struct SdtService {
    std::uint16_t service_id;
    std::optional<std::uint8_t> service_type;  // nullopt: no service descriptor
    std::span<const std::uint8_t> provider;    // raw DVB text, within the section
    std::span<const std::uint8_t> name;
};

struct SdtSection {
    std::uint16_t transport_stream_id;
    std::uint8_t version;
    std::uint8_t section_number;
    std::uint8_t last_section_number;
    std::vector<SdtService> services;
};

std::optional<SdtSection> decode_sdt(const Section& section);

struct ServiceNames {
    std::optional<std::uint8_t> service_type;
    std::string provider;  // UTF-8, at most max_text_bytes (dvb_text.hpp)
    std::string name;
    bool operator==(const ServiceNames&) const = default;
};

ServiceNames named(const SdtService& service);

}  // namespace avwatch::ts
