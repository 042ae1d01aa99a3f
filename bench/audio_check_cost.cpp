// The audio check's cost: an elementary stream file (ADTS AAC, MPEG audio,
// AC-3...) fed to AudioCheck in PES-sized pieces, decoded and metered whole.
// Built and run by bench/audio_check.py.
//
// usage: audio_check_cost CODEC FILE ROUNDS   (prints the CPU seconds of the
// fastest round and the last report)
#include "analysis/content/audio_check.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

// About what a broadcast multiplexer puts in one audio PES.
constexpr std::size_t pes_bytes = 1500;

double cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void print(const avwatch::content::AudioReport& report) {
    auto value = [](const std::optional<double>& number) { return number ? *number : -999.0; };
    std::printf("frames %llu errors %llu channels %d rate %d silent %d silent_seconds %.3f "
                "M %.2f S %.2f I %.2f peak %.2f\n",
                static_cast<unsigned long long>(report.frames), static_cast<unsigned long long>(report.decode_errors),
                report.channels.value_or(0), report.sample_rate.value_or(0),
                report.silent ? static_cast<int>(*report.silent) : -1, report.silent_seconds,
                value(report.momentary), value(report.short_term), value(report.integrated),
                value(report.sample_peak));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s CODEC FILE ROUNDS\n", argv[0]);
        return 2;
    }
    std::ifstream file(argv[2], std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (bytes.empty()) {
        std::fprintf(stderr, "%s: empty or unreadable\n", argv[2]);
        return 1;
    }
    const int rounds = std::max(1, std::atoi(argv[3]));
    double fastest = 1e300;
    for (int round = 0; round < rounds; ++round) {
        avwatch::content::AudioCheck check(0x100, argv[1]);
        const double start = cpu_seconds();
        for (std::size_t offset = 0; offset < bytes.size(); offset += pes_bytes) {
            const std::size_t size = std::min(pes_bytes, bytes.size() - offset);
            check.unit({std::span<const std::uint8_t>(bytes.data() + offset, size), std::nullopt, false});
        }
        const auto report = check.report();
        fastest = std::min(fastest, cpu_seconds() - start);
        if (round == rounds - 1)
            print(report);
    }
    std::printf("cpu %.6f\n", fastest);
    return 0;
}
