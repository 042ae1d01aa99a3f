#include "analysis/content/audio_check.hpp"

namespace avwatch::content {

struct AudioCheck::State {};

AudioCheck::AudioCheck(std::uint16_t pid, std::string_view codec) : pid_(pid), codec_(codec) {}
AudioCheck::~AudioCheck() = default;

void AudioCheck::unit(const EsUnit&) {}

AudioReport AudioCheck::report() {
    AudioReport report;
    report.pid = pid_;
    report.codec = codec_;
    return report;
}

}  // namespace avwatch::content
