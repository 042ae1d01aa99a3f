#include "analysis/content/ts_content.hpp"

#include "analysis/ts/psi.hpp"

#include <algorithm>

namespace avwatch::content {

void TsContent::feed(std::span<const std::uint8_t> bytes) {
    if (partial_size_ > 0) {
        std::size_t take = std::min(ts::packet_size - partial_size_, bytes.size());
        std::copy_n(bytes.begin(), take, partial_.begin() + static_cast<std::ptrdiff_t>(partial_size_));
        partial_size_ += take;
        bytes = bytes.subspan(take);
        if (partial_size_ < ts::packet_size)
            return;
        packet(partial_.data());
        partial_size_ = 0;
    }
    std::size_t whole = bytes.size() / ts::packet_size;
    for (std::size_t i = 0; i < whole; ++i)
        packet(bytes.data() + i * ts::packet_size);
    auto rest = bytes.subspan(whole * ts::packet_size);
    std::copy(rest.begin(), rest.end(), partial_.begin());
    partial_size_ = rest.size();
}

void TsContent::gap() {
    partial_size_ = 0;
    pat_assembler_.reset();
    pmt_assembler_.reset();
    for (auto& counter : counters_)
        counter.second = -1;
    analyser_.gap();
}

void TsContent::packet(const std::uint8_t* bytes) {
    if (bytes[0] != ts::sync_byte)
        return;
    ts::Packet packet(bytes);
    if (packet.transport_error())
        return;
    std::uint16_t pid = packet.pid();
    if (pid == ts::pat_pid) {
        pat_assembler_.push(packet, false, [&](const ts::Section& section) { pat(section); });
        return;
    }
    if (pmt_pid_ && pid == *pmt_pid_) {
        pmt_assembler_.push(packet, false, [&](const ts::Section& section) { pmt(section); });
        return;
    }
    for (auto& [watched, last] : counters_) {
        if (watched != pid)
            continue;
        if (!packet.has_payload() || packet.scrambling() != 0)
            return;
        auto cc = static_cast<std::int8_t>(packet.continuity());
        if (cc == last)
            return;  // a repeated packet
        bool lost = last >= 0 && cc != ((last + 1) & 0x0F) && !packet.discontinuity();
        last = cc;
        analyser_.packet(packet, lost);
        return;
    }
}

void TsContent::pat(const ts::Section& section) {
    if (section.table_id() != ts::pat_table_id || !section.crc_ok)
        return;
    auto table = ts::decode_pat(section);
    if (!table)
        return;
    for (const ts::PatEntry& entry : table->entries)
        if (entry.program != 0) {  // the first program is the one played
            if (pmt_pid_ != entry.pmt_pid || program_ != entry.program)
                pmt_assembler_.reset();
            pmt_pid_ = entry.pmt_pid;
            program_ = entry.program;
            return;
        }
}

void TsContent::pmt(const ts::Section& section) {
    if (section.table_id() != ts::pmt_table_id || !section.crc_ok)
        return;
    auto table = ts::decode_pmt(section);
    if (!table || table->program != program_)
        return;
    if (!analyser_.program(table->streams))
        return;
    counters_.clear();
    for (std::uint16_t pid : analyser_.pids())
        counters_.emplace_back(pid, -1);
}

}  // namespace avwatch::content
