#include "analysis/content/pes_assembler.hpp"

#include <algorithm>

namespace avwatch::content {
namespace {

constexpr std::size_t fixed_header = 6;      // start code, stream_id, PES_packet_length
constexpr std::size_t optional_header = 9;   // and the flags and header length

// Stream ids whose packets have no optional header (and carry no audio or video).
bool without_header(std::uint8_t stream_id) {
    switch (stream_id) {
    case 0xBC: case 0xBE: case 0xBF: case 0xF0: case 0xF1: case 0xF2: case 0xF8: case 0xFF:
        return true;
    default:
        return false;
    }
}

std::size_t declared_size(const std::vector<std::uint8_t>& pes) {
    std::size_t length = (std::size_t{pes[4]} << 8) | pes[5];
    return length == 0 ? 0 : fixed_header + length;  // 0: unbounded (video only)
}

std::int64_t timestamp(const std::uint8_t* p) {
    return (std::int64_t{p[0] & 0x0E} << 29) | (std::int64_t{p[1]} << 22) | (std::int64_t{p[2] & 0xFE} << 14) |
           (std::int64_t{p[3]} << 7) | (p[4] >> 1);
}

}  // namespace

void PesAssembler::drop_open() noexcept {
    if (open_)
        ++counts_.dropped;
    reset();
}

void PesAssembler::begin(const ts::Packet& packet) {
    buffer_.clear();
    open_ = true;
    random_access_ = packet.adaptation_length() > 0 && (packet.bytes()[5] & 0x40) != 0;
    append(packet.payload(), packet.payload_size());
}

bool PesAssembler::append(const std::uint8_t* data, std::size_t size) {
    if (buffer_.size() + size > cap_) {
        drop_open();
        return false;
    }
    buffer_.insert(buffer_.end(), data, data + size);
    return true;
}

bool PesAssembler::ready_at_start() {
    // A declared length not reached when the next unit starts: the header lied.
    if (buffer_.size() >= fixed_header) {
        std::size_t declared = declared_size(buffer_);
        if (declared != 0 && buffer_.size() != declared) {
            drop_open();
            return false;
        }
    }
    return close();
}

bool PesAssembler::ready_at_length() {
    if (buffer_.size() < fixed_header)
        return false;
    std::size_t declared = declared_size(buffer_);
    if (declared == 0 || buffer_.size() < declared)
        return false;
    if (buffer_.size() > declared) {  // bytes past its end in the same PID: a lie
        drop_open();
        return false;
    }
    return close();
}

bool PesAssembler::close() {
    open_ = false;
    const std::vector<std::uint8_t>& p = buffer_;
    if (p.size() < fixed_header || p[0] != 0 || p[1] != 0 || p[2] != 1) {
        ++counts_.dropped;
        return false;
    }
    if (without_header(p[3]))
        return false;  // padding or private data: nothing for the checks
    if (p.size() < optional_header || (p[6] & 0xC0) != 0x80 || optional_header + p[8] > p.size()) {
        ++counts_.dropped;
        return false;
    }
    std::size_t header_length = p[8];
    unsigned flags = p[7] >> 6;
    unit_.pts.reset();
    if ((flags & 2) != 0) {
        if (header_length < 5) {
            ++counts_.dropped;
            return false;
        }
        unit_.pts = timestamp(p.data() + optional_header);
    }
    std::size_t start = optional_header + header_length;
    std::size_t end = buffer_.size();
    buffer_.resize(end + es_padding, 0);
    unit_.bytes = {buffer_.data() + start, end - start};
    unit_.random_access = random_access_;
    ++counts_.units;
    return true;
}

}  // namespace avwatch::content
