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
// The input is also read as one SDT section whose CRC is taken as good, and
// as a DVB text: names must come out valid UTF-8 and bounded.  Its packets
// go through the PES reassembly alone too (units within the cap and made of
// what came), and the bytes straight to the video check as one unit.
#include "analysis/content/pes_assembler.hpp"
#include "analysis/content/video_check.hpp"
#include "analysis/hls/segment_ts.hpp"
#include "analysis/ts/analyser.hpp"
#include "analysis/ts/dvb_text.hpp"
#include "analysis/ts/sdt.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

bool valid_utf8(const std::string& text) {
    for (std::size_t at = 0; at < text.size();) {
        auto lead = static_cast<std::uint8_t>(text[at]);
        std::size_t extra = lead < 0x80 ? 0 : lead >= 0xC2 && lead < 0xE0 ? 1 : lead >= 0xE0 && lead < 0xF0 ? 2
                          : lead >= 0xF0 && lead <= 0xF4 ? 3 : 4;
        if (extra == 4 || at + extra >= text.size())
            return false;
        char32_t c = lead & (0x7F >> extra);
        for (std::size_t i = 1; i <= extra; ++i) {
            auto byte = static_cast<std::uint8_t>(text[at + i]);
            if ((byte & 0xC0) != 0x80)
                return false;
            c = (c << 6) | (byte & 0x3F);
        }
        constexpr char32_t least[4] = {0, 0x80, 0x800, 0x10000};
        if (c < least[extra] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF || c == 0)
            return false;  // overlong, a surrogate, beyond Unicode, or a NUL
        at += 1 + extra;
    }
    return true;
}

void check_name(const std::string& text) {
    if (text.size() > avwatch::ts::max_text_bytes || !valid_utf8(text))
        std::abort();  // a name the page and the JSON could not take
}

void check_sdt(const std::uint8_t* data, std::size_t size) {
    using namespace avwatch::ts;
    check_name(dvb_text({data, std::min<std::size_t>(size, 255)}));
    std::size_t length = std::min(size, max_section_size);
    if (auto sdt = decode_sdt(Section{{data, length}, true}))
        for (const SdtService& service : sdt->services) {
            ServiceNames names = named(service);
            check_name(names.name);
            check_name(names.provider);
        }
}

void check_pes(const std::uint8_t* data, std::size_t size) {
    using namespace avwatch;
    constexpr std::size_t cap = 4096;
    content::PesAssembler pes(cap);
    std::uint64_t starts = 0;
    std::size_t fed = 0;
    for (std::size_t at = 0; at + ts::packet_size <= size; at += ts::packet_size) {
        ts::Packet packet(data + at);
        starts += packet.payload_start() ? 1 : 0;
        fed += packet.payload_size();
        pes.packet(packet, packet.continuity() == 0 && packet.discontinuity(), [&](const content::EsUnit& unit) {
            if (unit.bytes.size() > cap || unit.bytes.size() > fed)
                std::abort();  // more than the cap, or than was fed
            if (unit.pts && (*unit.pts < 0 || *unit.pts >= (std::int64_t{1} << 33)))
                std::abort();
            volatile std::uint8_t sum = 0;
            for (std::uint8_t byte : unit.bytes)
                sum = static_cast<std::uint8_t>(sum + byte);  // every byte readable
        });
    }
    if (pes.counts().units + pes.counts().dropped > starts)
        std::abort();  // each unit, handed on or dropped, began at a payload start
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace avwatch::ts;
    check_sdt(data, size);
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
            for (const ProgramReport& program : report.programs)
                if (program.service) {
                    check_name(program.service->name);
                    check_name(program.service->provider);
                }
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

    check_pes(data, size);
    avwatch::content::VideoCheck video(0x100, size > 0 && (data[0] & 2) ? "hevc" : "h264");
    std::vector<std::uint8_t> padded(data, data + size);
    padded.resize(size + avwatch::content::es_padding);
    video.unit({{padded.data(), size}, std::nullopt, false});
    video.unit({{padded.data(), size}, std::int64_t{0}, true});
    if (video.report().width.value_or(0) < 0)
        std::abort();
    return 0;
}

#ifdef AVWATCH_STANDALONE_FUZZ
#include "standalone.hpp"

#include <algorithm>
#include <string>

namespace {

using fuzz::Bytes;

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
    double seconds = fuzz::seconds_or_usage(argc, argv, "[SEED.ts...]");
    std::vector<Bytes> seeds = fuzz::read_seeds(argc, argv, frame);
    unsigned long runs = fuzz::run_for(seconds, 12345, [&](std::mt19937& random) {
        Bytes input = seeds[random() % seeds.size()];
        if (input.size() > 65536) {  // a random slice keeps each run short
            std::size_t from = random() % (input.size() - 65536);
            input = Bytes(input.begin() + from, input.begin() + from + 65536);
        }
        mutate(input, random);
        return input;
    });
    std::printf("%lu runs\n", runs);
    return 0;
}
#endif
