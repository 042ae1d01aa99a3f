// One PES packet's payload as the content checks receive it: the elementary
// stream's bytes and the PES header's presentation time.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace avwatch::content {

struct EsUnit {
    std::span<const std::uint8_t> bytes;
    std::optional<std::int64_t> pts;  // 90 kHz ticks, 33 bits as carried
    bool random_access = false;       // the adaptation field's random_access_indicator
};

}  // namespace avwatch::content
