// What a listener hears of one audio stream: it is decoded whole (loudness
// needs every sample), judged silent below -60 dBFS and metered by EBU R128.
#pragma once

#include "analysis/content/es_unit.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace avwatch::content {

struct AudioReport {
    std::uint16_t pid = 0;
    std::string_view codec;        // the PMT's name: "aac", "mp2", "ac3", ...
    bool supported = false;        // a decoder exists for it
    std::optional<int> channels;   // once a frame was decoded
    std::optional<int> sample_rate;
    std::optional<bool> silent;    // nullopt before 2 s of sound were decoded
    double silent_seconds = 0;     // length of the current silent run, in stream time
    std::optional<double> momentary;   // LUFS, once 0.4 s were decoded
    std::optional<double> short_term;  // LUFS, once 3 s were decoded
    std::optional<double> integrated;  // LUFS, gated, since the check began
    std::optional<double> sample_peak; // dBFS, highest since the previous report
    std::uint64_t frames = 0;          // decoded so far
    std::uint64_t decode_errors = 0;
};

class AudioCheck {
public:
    AudioCheck(std::uint16_t pid, std::string_view codec);
    ~AudioCheck();
    AudioCheck(const AudioCheck&) = delete;
    AudioCheck& operator=(const AudioCheck&) = delete;

    // One PES payload, in arrival order.
    void unit(const EsUnit& unit);
    // The stream's state now; the sample peak restarts after each report.
    // The report's codec names the check's own copy: valid while it lives.
    AudioReport report();

    std::uint16_t pid() const { return pid_; }
    std::string_view codec() const { return codec_; }

private:
    struct State;
    std::unique_ptr<State> state_;
    std::uint16_t pid_;
    std::string codec_;
};

}  // namespace avwatch::content
