// Fuzz target of the playlist parsers, media and master.  Built with
// libFuzzer (clang -fsanitize=fuzzer) it is an ordinary target; built
// without it (AVWATCH_STANDALONE_FUZZ), main() mutates the seed playlists
// given on the command line for a number of seconds, so that g++ and the
// sanitizers alone can run it.
//
// Only bytes that pass as playlist text are parsed, as in a check.  What a
// parse gives must hold together: consecutive sequence numbers, finite
// durations within bounds, no more variants kept than listed.
#include "analysis/hls/master_playlist.hpp"
#include "analysis/hls/media_playlist.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace avwatch::hls;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (size > max_playlist_bytes || !is_playlist_text(text))
        return 0;

    MediaPlaylist media = parse_media_playlist(text);
    if (media.segments.size() > max_segments || media.errors.kept().size() > max_kept_errors ||
        media.errors.count() < media.errors.kept().size())
        std::abort();
    std::int64_t expected = media.media_sequence;
    for (const MediaSegment& segment : media.segments) {
        if (segment.sequence != expected++ || !std::isfinite(segment.duration) || segment.duration < 0 ||
            segment.duration > max_segment_duration)
            std::abort();
    }
    if (media.next_sequence() != expected)
        std::abort();

    MasterPlaylist first = parse_master_playlist(text);
    if (first.variants.size() > max_variants || first.variants.size() > first.variant_count)
        std::abort();
    // Keeping every other variant: the count is the same, the kept are those.
    std::size_t offered = 0;
    MasterPlaylist every_other = parse_master_playlist(text, [&](std::string_view) { return offered++ % 2 == 0; });
    if (every_other.variant_count != first.variant_count || offered != first.variant_count ||
        every_other.variants.size() != (offered + 1) / 2)
        std::abort();
    return 0;
}

#ifdef AVWATCH_STANDALONE_FUZZ
#include <chrono>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// Pieces of playlist grammar spliced in: tags, numbers at the edges of
// their ranges, URIs, line ends.
const char* const fragments[] = {
    "#EXTM3U\n", "#EXTINF:", "#EXT-X-TARGETDURATION:", "#EXT-X-MEDIA-SEQUENCE:", "#EXT-X-DISCONTINUITY-SEQUENCE:",
    "#EXT-X-DISCONTINUITY\n", "#EXT-X-ENDLIST\n", "#EXT-X-MAP:URI=\"i.mp4\"\n", "#EXT-X-STREAM-INF:BANDWIDTH=",
    ",AVERAGE-BANDWIDTH=", ",CODECS=\"a,b\"", "9223372036854775807", "9223372036854765807", "18446744073709551616",
    "0.00000000000000000001", "1000000", "1000000.5", "-1", ",\n", "seg.ts\n", "../x.ts\n", "v/chunks.m3u8\n",
    "\r\n", "\n", "=", "\"", "#",
};

void mutate(Bytes& input, std::mt19937& random) {
    std::size_t edits = 1 + random() % 8;
    for (std::size_t i = 0; i < edits; ++i) {
        std::size_t at = input.empty() ? 0 : random() % (input.size() + 1);
        switch (random() % 5) {
        case 0:
            if (!input.empty() && at < input.size())
                input[at] ^= static_cast<std::uint8_t>(1u << (random() % 8));
            break;
        case 1:
            if (at < input.size())
                input.erase(input.begin() + at, input.begin() + std::min(input.size(), at + 1 + random() % 40));
            break;
        case 2:
            input.insert(input.begin() + at, static_cast<std::uint8_t>('0' + random() % 10));
            break;
        default: {
            std::string_view piece = fragments[random() % std::size(fragments)];
            input.insert(input.begin() + at, piece.begin(), piece.end());
            break;
        }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SECONDS [SEED.m3u8...]\n", argv[0]);
        return 2;
    }
    double seconds = std::atof(argv[1]);
    std::vector<Bytes> seeds{Bytes{}};
    for (int i = 2; i < argc; ++i) {
        std::ifstream file(argv[i], std::ios::binary);
        seeds.push_back(Bytes(std::istreambuf_iterator<char>(file), {}));
    }
    std::mt19937 random(12345);
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    unsigned long runs = 0;
    while (std::chrono::steady_clock::now() < end) {
        Bytes input = seeds[random() % seeds.size()];
        for (unsigned rounds = 1 + random() % 4; rounds > 0; --rounds)
            mutate(input, random);
        LLVMFuzzerTestOneInput(input.data(), input.size());
        ++runs;
    }
    std::printf("%lu runs\n", runs);
    return 0;
}
#endif
