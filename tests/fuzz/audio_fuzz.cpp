// Fuzz target of the audio check: decoding, sample conversion, silence and
// loudness on whatever bytes arrive.  Built with libFuzzer it is an
// ordinary target; built without it (AVWATCH_STANDALONE_FUZZ), main()
// mutates the seed files given on the command line for a number of seconds.
//
// An input's first byte picks the decoder; the rest is cut into PES
// payloads: two bytes of length and one of PTS step, then the payload,
// repeatedly; every 16 payloads the check reports.  A report's figures must
// be finite (they go into JSON) and within their ranges.
#include "analysis/content/audio_check.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

constexpr std::array<std::string_view, 6> codecs{"aac", "aac_latm", "mp2", "ac3", "eac3", "h264"};

void check_level(const std::optional<double>& value) {
    if (value && (!std::isfinite(*value) || *value > 40.0 || *value < -200.0))
        std::abort();  // a level JSON cannot carry or no stream can have
}

void check(const avwatch::content::AudioReport& report) {
    check_level(report.momentary);
    check_level(report.short_term);
    check_level(report.integrated);
    check_level(report.sample_peak);
    if (!std::isfinite(report.silent_seconds) || report.silent_seconds < 0)
        std::abort();
    if (report.silent && *report.silent != (report.silent_seconds >= 2.0))
        std::abort();
    if (report.channels && (*report.channels <= 0 || *report.channels > 64))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    avwatch::content::AudioCheck audio(0x100, codecs[data[0] % codecs.size()]);
    std::int64_t pts = 900000;
    unsigned count = 0;
    for (std::size_t at = 1; at + 3 <= size;) {
        std::size_t length = ((std::size_t{data[at]} << 8) | data[at + 1]) % 4096;
        const std::uint8_t step = data[at + 2];
        at += 3;
        if (length > size - at)
            length = size - at;
        pts += static_cast<std::int64_t>(step) * 90 - 1000;  // back, on, and far ahead
        audio.unit({{data + at, length}, step == 0 ? std::nullopt : std::optional<std::int64_t>(pts & ((1LL << 33) - 1)),
                    false});
        at += length;
        if (++count % 16 == 0)
            check(audio.report());
    }
    check(audio.report());
    return 0;
}

#ifdef AVWATCH_STANDALONE_FUZZ
#include "standalone.hpp"

#include <algorithm>

namespace {

using fuzz::Bytes;

// Seeds are elementary stream files named after their decoder's index:
// framed here as 1000-byte payloads 24 ms apart.
Bytes frame(const Bytes& stream) {
    Bytes out{stream.empty() ? std::uint8_t{0} : stream[0]};
    for (std::size_t at = 1; at < stream.size(); at += 1000) {
        std::size_t length = std::min<std::size_t>(1000, stream.size() - at);
        out.push_back(static_cast<std::uint8_t>(length >> 8));
        out.push_back(static_cast<std::uint8_t>(length));
        out.push_back(35);
        out.insert(out.end(), stream.begin() + static_cast<std::ptrdiff_t>(at),
                   stream.begin() + static_cast<std::ptrdiff_t>(at + length));
    }
    return out;
}

void mutate(Bytes& input, std::mt19937& random) {
    if (input.size() < 2) {
        input.resize(1 + random() % 4096);
        for (auto& byte : input)
            byte = static_cast<std::uint8_t>(random());
        return;
    }
    std::size_t edits = 1 + random() % 16;
    for (std::size_t i = 0; i < edits && input.size() > 1; ++i) {
        std::size_t at = 1 + random() % (input.size() - 1);
        switch (random() % 5) {
        case 0: input[at] ^= static_cast<std::uint8_t>(1u << (random() % 8)); break;
        case 1: input[at] = static_cast<std::uint8_t>(random()); break;
        case 2: input.erase(input.begin() + static_cast<std::ptrdiff_t>(at),
                            input.begin() + static_cast<std::ptrdiff_t>(std::min(input.size(), at + 1 + random() % 200)));
                break;
        case 3: input.insert(input.begin() + static_cast<std::ptrdiff_t>(at), 1 + random() % 200,
                             static_cast<std::uint8_t>(random()));
                break;
        case 4: {  // repeat a span elsewhere: frames split at new places
            std::size_t from = 1 + random() % (input.size() - 1);
            std::size_t length = std::min<std::size_t>(input.size() - from, 1 + random() % 400);
            Bytes copy(input.begin() + static_cast<std::ptrdiff_t>(from),
                       input.begin() + static_cast<std::ptrdiff_t>(from + length));
            input.insert(input.begin() + static_cast<std::ptrdiff_t>(at), copy.begin(), copy.end());
            break;
        }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = fuzz::seconds_or_usage(argc, argv, "[SEED...]");
    std::vector<Bytes> seeds = fuzz::read_seeds(argc, argv, frame);
    unsigned long runs = fuzz::run_for(seconds, 4321, [&](std::mt19937& random) {
        Bytes input = seeds[random() % seeds.size()];
        if (input.size() > 32768) {  // a random slice keeps each run short
            std::size_t from = 1 + random() % (input.size() - 32768);
            Bytes slice{input[0]};
            slice.insert(slice.end(), input.begin() + static_cast<std::ptrdiff_t>(from),
                         input.begin() + static_cast<std::ptrdiff_t>(from + 32767));
            input = slice;
        }
        mutate(input, random);
        return input;
    });
    std::printf("%lu runs\n", runs);
    return 0;
}
#endif
