// Fuzz target of the receive path's IPv4/UDP checks and fragment
// reassembly (src/analysis/input/ip_datagram.cpp): what a packet socket
// hands over is anyone's bytes.  Built with libFuzzer it is an ordinary
// target; built without it (AVWATCH_STANDALONE_FUZZ), main() mutates
// fragmented datagrams it makes itself for a number of seconds.
//
// An input is cut into frames: two bytes of length, one of flags (bits 0-5:
// time step in units of 2 s, so that reassembly timeouts happen; bit 6: fix
// the IP header checksum after mutation, so that the fuzzer gets past it;
// bit 7: the kernel vouches for the UDP checksum), then the frame.
#include "analysis/input/ip_datagram.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

unsigned long reassembled = 0;  // datagrams put back together, for the standalone run's report

void fix_header_checksum(std::vector<std::uint8_t>& frame) {
    if (frame.size() < 20)
        return;
    std::size_t header = std::size_t{frame[0] & 0x0Fu} * 4;
    if (header < 20 || header > frame.size())
        return;
    frame[10] = frame[11] = 0;
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < header; i += 2)
        sum += static_cast<std::uint32_t>(frame[i] << 8 | frame[i + 1]);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    frame[10] = static_cast<std::uint8_t>(~sum >> 8);
    frame[11] = static_cast<std::uint8_t>(~sum);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace avwatch::input;
    Reassembler reassembler;
    avwatch::ts::Nanos now = 0;
    std::size_t at = 0;
    std::vector<std::uint8_t> frame;
    while (at + 3 <= size) {
        std::size_t length = (std::size_t{data[at]} << 8) | data[at + 1];
        std::uint8_t flags = data[at + 2];
        now += std::int64_t{flags & 0x3F} * 2 * avwatch::ts::nanos_per_second;
        at += 3;
        if (length > size - at)
            length = size - at;
        frame.assign(data + at, data + at + length);
        at += length;
        if (flags & 0x40)
            fix_header_checksum(frame);
        auto ip = parse_ipv4(frame);
        if (!ip)
            continue;
        if (ip->data.data() < frame.data() || ip->data.data() + ip->data.size() > frame.data() + frame.size())
            std::abort();  // the data must lie within the frame
        std::span<const std::uint8_t> whole = ip->data;
        if (ip->fragment()) {
            auto done = reassembler.add(*ip, now);
            if (!done)
                continue;
            whole = *done;
            ++reassembled;
            if (whole.size() > Reassembler::max_data)
                std::abort();
        }
        auto udp = parse_udp(ip->source, ip->destination, whole, (flags & 0x80) != 0);
        if (udp && (udp->payload.size() + 8 > whole.size() || udp->payload.data() < whole.data()))
            std::abort();  // the payload must lie within the datagram
        volatile std::uint8_t touch = 0;
        if (udp)
            for (std::uint8_t byte : udp->payload)
                touch = touch ^ byte;  // every byte handed over is readable
    }
    if (reassembler.memory() > Reassembler::slots * (Reassembler::max_data + Reassembler::max_fragments * 8))
        std::abort();
    return 0;
}

#ifdef AVWATCH_STANDALONE_FUZZ
#include <algorithm>
#include <chrono>
#include <random>

namespace {

using Bytes = std::vector<std::uint8_t>;

// A UDP datagram of `size` payload bytes cut into fragments, in an order
// and with repeats the random source picks, each framed as the target reads it.
Bytes fragmented_datagram(std::mt19937& random) {
    std::size_t size = 1 + random() % 9000;
    Bytes udp(8 + size);
    for (auto& byte : udp)
        byte = static_cast<std::uint8_t>(random());
    udp[4] = static_cast<std::uint8_t>(udp.size() >> 8);
    udp[5] = static_cast<std::uint8_t>(udp.size());
    udp[6] = udp[7] = 0;  // no checksum
    std::size_t piece = 8 * (1 + random() % 200);
    std::vector<Bytes> frames;
    for (std::size_t offset = 0; offset < udp.size(); offset += piece) {
        std::size_t length = std::min(piece, udp.size() - offset);
        bool more = offset + length < udp.size();
        Bytes frame = {0x45, 0, 0, 0, 0x12, 0x34, 0, 0, 64, 17, 0, 0, 10, 0, 0, 1, 10, 0, 0, 2};
        std::size_t total = 20 + length;
        frame[2] = static_cast<std::uint8_t>(total >> 8);
        frame[3] = static_cast<std::uint8_t>(total);
        std::size_t field = (more ? 0x2000 : 0) | (offset / 8);
        frame[6] = static_cast<std::uint8_t>(field >> 8);
        frame[7] = static_cast<std::uint8_t>(field);
        frame.insert(frame.end(), udp.begin() + offset, udp.begin() + offset + length);
        frames.push_back(frame);
    }
    if (random() % 2)
        std::shuffle(frames.begin(), frames.end(), random);
    if (random() % 3 == 0)
        frames.push_back(frames[random() % frames.size()]);
    Bytes out;
    for (const Bytes& frame : frames) {
        out.push_back(static_cast<std::uint8_t>(frame.size() >> 8));
        out.push_back(static_cast<std::uint8_t>(frame.size()));
        out.push_back(0x40);  // no time step; checksum fixed after mutation
        out.insert(out.end(), frame.begin(), frame.end());
    }
    return out;
}

void mutate(Bytes& input, std::mt19937& random) {
    std::size_t edits = random() % 8;
    for (std::size_t i = 0; i < edits && !input.empty(); ++i) {
        std::size_t at = random() % input.size();
        switch (random() % 4) {
        case 0: input[at] ^= static_cast<std::uint8_t>(1u << (random() % 8)); break;
        case 1: input[at] = static_cast<std::uint8_t>(random()); break;
        case 2: input.erase(input.begin() + at, input.begin() + std::min(input.size(), at + 1 + random() % 64)); break;
        case 3: {  // a span repeated elsewhere: fragments again, overlapping
            std::size_t from = random() % input.size();
            std::size_t length = std::min<std::size_t>(input.size() - from, 1 + random() % 1600);
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
        std::fprintf(stderr, "usage: %s SECONDS\n", argv[0]);
        return 2;
    }
    double seconds = std::atof(argv[1]);
    std::mt19937 random(4321);
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    unsigned long runs = 0;
    while (std::chrono::steady_clock::now() < end) {
        Bytes input;
        for (unsigned datagrams = 1 + random() % 6; datagrams > 0; --datagrams) {
            Bytes more = fragmented_datagram(random);
            input.insert(input.end(), more.begin(), more.end());
        }
        mutate(input, random);
        LLVMFuzzerTestOneInput(input.data(), input.size());
        ++runs;
    }
    std::printf("%lu runs %lu reassembled\n", runs, reassembled);
    return 0;
}
#endif
