// The fuzz targets' driver where libFuzzer is not at hand (g++ builds): for
// SECONDS, each run feeds LLVMFuzzerTestOneInput one input made by the
// target's own mutator, from seed files given after SECONDS.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fuzz {

using Bytes = std::vector<std::uint8_t>;

// The empty input, then each seed file as `load` turns it into an input.
template <class Load>
std::vector<Bytes> read_seeds(int argc, char** argv, Load load) {
    std::vector<Bytes> seeds{Bytes{}};
    for (int i = 2; i < argc; ++i) {
        std::ifstream file(argv[i], std::ios::binary);
        seeds.push_back(load(Bytes(std::istreambuf_iterator<char>(file), {})));
    }
    return seeds;
}

// Runs `make(random)`'s inputs through the target until `seconds` have
// passed; the number of runs.
template <class Make>
unsigned long run_for(double seconds, unsigned seed, Make make) {
    std::mt19937 random(seed);
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    unsigned long runs = 0;
    while (std::chrono::steady_clock::now() < end) {
        Bytes input = make(random);
        LLVMFuzzerTestOneInput(input.data(), input.size());
        ++runs;
    }
    return runs;
}

inline double seconds_or_usage(int argc, char** argv, const char* seeds) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SECONDS %s\n", argv[0], seeds);
        std::exit(2);
    }
    return std::atof(argv[1]);
}

}  // namespace fuzz
