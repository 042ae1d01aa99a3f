// Fuzz target of the transport-stream parse layer.  Built with libFuzzer
// (clang -fsanitize=fuzzer) it is an ordinary target; built without it
// (AVWATCH_STANDALONE_FUZZ), main() mutates the seed files given on the
// command line for a number of seconds, so that g++ and the sanitizers
// alone can run it.
//
// An input is cut into datagrams: two bytes of length and one of time step,
// then the datagram, repeatedly; every 64 datagrams a window is closed.
// The same bytes are read as an HLS segment too, whole and in pieces cut
// where the input's bytes say: the facts must not depend on the cuts.
#include "analysis/hls/segment_ts.hpp"
#include "analysis/ts/analyser.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace avwatch::ts;
    Settings settings;
    if (size > 0 && (data[0] & 1))
        settings.program = 1;
    Analyser analyser(settings, 0);
    Nanos now = 0;
    std::size_t at = 0;
    unsigned count = 0;
    Counters previous;
    while (at + 3 <= size) {
        std::size_t length = ((std::size_t{data[at]} << 8) | data[at + 1]) % 2048;
        now += millis(data[at + 2]) / 4;
        at += 3;
        if (length > size - at)
            length = size - at;
        analyser.datagram({data + at, length}, now);
        at += length;
        if (++count % 64 == 0) {
            Report report = analyser.close_window(now);
            if (report.total[Counter::packets] * packet_size > report.total[Counter::bytes])
                std::abort();  // more packets than bytes could hold
            std::uint64_t packets = report.total[Counter::packets];
            if (report.total[Counter::reordered_packets] > packets || report.total[Counter::scrambled_packets] > packets)
                std::abort();  // each counts packets received
            for (std::size_t i = 0; i < counter_count; ++i)
                if (report.total.values[i] < previous.values[i])
                    std::abort();  // totals only grow: a provisional loss is never taken back
            previous = report.total;
        }
    }
    analyser.close_window(now + 1);

    avwatch::hls::TsSegmentReader pieces;
    for (std::size_t from = 0, step = 0; from < size; from += step) {
        step = std::min<std::size_t>(size - from, 1 + data[from] * 7);
        pieces.feed({data + from, step});
    }
    if (pieces.finish() != avwatch::hls::read_ts_segment({data, size}))
        std::abort();  // the segment's facts depend on how it was read
    return 0;
}

#ifdef AVWATCH_STANDALONE_FUZZ
#include <chrono>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// Seeds are raw TS files: framed here as 1316-byte datagrams.
Bytes frame(const Bytes& ts) {
    Bytes out;
    for (std::size_t at = 0; at < ts.size(); at += 1316) {
        std::size_t length = std::min<std::size_t>(1316, ts.size() - at);
        out.push_back(static_cast<std::uint8_t>(length >> 8));
        out.push_back(static_cast<std::uint8_t>(length));
        out.push_back(20);  // 5 ms
        out.insert(out.end(), ts.begin() + at, ts.begin() + at + length);
    }
    return out;
}

void mutate(Bytes& input, std::mt19937& random) {
    if (input.empty()) {
        input.resize(1 + random() % 4096);
        for (auto& byte : input)
            byte = static_cast<std::uint8_t>(random());
        return;
    }
    std::size_t edits = 1 + random() % 16;
    for (std::size_t i = 0; i < edits && !input.empty(); ++i) {
        std::size_t at = random() % input.size();
        switch (random() % 6) {
        case 0: input[at] ^= static_cast<std::uint8_t>(1u << (random() % 8)); break;
        case 1: input[at] = static_cast<std::uint8_t>(random()); break;
        case 2: input[at] = 0x47; break;
        case 3: input.erase(input.begin() + at, input.begin() + std::min(input.size(), at + 1 + random() % 200)); break;
        case 4: input.insert(input.begin() + at, 1 + random() % 200, static_cast<std::uint8_t>(random())); break;
        case 5: {  // repeat a span elsewhere: sections split at new places
            std::size_t from = random() % input.size();
            std::size_t length = std::min<std::size_t>(input.size() - from, 1 + random() % 400);
            Bytes copy(input.begin() + from, input.begin() + from + length);
            input.insert(input.begin() + at, copy.begin(), copy.end());
            break;
        }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SECONDS [SEED.ts...]\n", argv[0]);
        return 2;
    }
    double seconds = std::atof(argv[1]);
    std::vector<Bytes> seeds{Bytes{}};
    for (int i = 2; i < argc; ++i) {
        std::ifstream file(argv[i], std::ios::binary);
        seeds.push_back(frame(Bytes(std::istreambuf_iterator<char>(file), {})));
    }
    std::mt19937 random(12345);
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    unsigned long runs = 0;
    while (std::chrono::steady_clock::now() < end) {
        Bytes input = seeds[random() % seeds.size()];
        if (input.size() > 65536) {  // a random slice keeps each run short
            std::size_t from = random() % (input.size() - 65536);
            input = Bytes(input.begin() + from, input.begin() + from + 65536);
        }
        mutate(input, random);
        LLVMFuzzerTestOneInput(input.data(), input.size());
        ++runs;
    }
    std::printf("%lu runs\n", runs);
    return 0;
}
#endif
