"""Transport-stream packets and PSI tables built byte by byte, for feeding
the analyser streams whose faults are known exactly."""

from __future__ import annotations

import struct
from dataclasses import dataclass


def mpeg_crc32(data: bytes) -> int:
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) if crc & 0x80000000 else crc << 1
            crc &= 0xFFFFFFFF
    return crc


def section(table_id: int, table_key: int, body: bytes, version: int = 0, bad_crc: bool = False) -> bytes:
    length = 5 + len(body) + 4
    head = struct.pack(">BHHBBB", table_id, 0xB000 | length, table_key, 0xC1 | (version << 1), 0, 0)
    crc = mpeg_crc32(head + body) ^ (1 if bad_crc else 0)
    return head + body + struct.pack(">I", crc)


def pat(programs: dict[int, int], ts_id: int = 1, **options) -> bytes:
    body = b"".join(struct.pack(">HH", number, 0xE000 | pid) for number, pid in programs.items())
    return section(0x00, ts_id, body, **options)


def pmt(program: int, pcr_pid: int, streams: list[tuple[int, int]], **options) -> bytes:
    body = struct.pack(">HH", 0xE000 | pcr_pid, 0xF000)
    body += b"".join(struct.pack(">BHH", stream_type, 0xE000 | pid, 0xF000) for stream_type, pid in streams)
    return section(0x02, program, body, **options)


@dataclass
class Adaptation:
    pcr: int | None = None  # 27 MHz ticks
    discontinuity: bool = False


def packet(pid: int, cc: int, payload: bytes = b"", *, start: bool = False, adaptation: Adaptation | None = None,
           has_payload: bool = True, tei: bool = False, scrambling: int = 0, sync: int = 0x47) -> bytes:
    field = b""
    if adaptation is not None:
        flags = (0x80 if adaptation.discontinuity else 0) | (0x10 if adaptation.pcr is not None else 0)
        body = bytes([flags])
        if adaptation.pcr is not None:
            base, extension = divmod(adaptation.pcr, 300)
            body += struct.pack(">IH", base >> 1, ((base & 1) << 15) | 0x7E00 | extension)
        field = bytes([len(body)]) + body
    control = (0x20 if adaptation is not None else 0) | (0x10 if has_payload else 0)
    header = struct.pack(">BHB", sync, (0x8000 if tei else 0) | (0x4000 if start else 0) | pid,
                         (scrambling << 6) | control | (cc & 0x0F))
    room = 188 - len(header) - len(field)
    if not has_payload:
        # Stuffing inside the adaptation field fills the packet.
        if adaptation is None:
            return header + b"\xff" * room
        field = bytes([field[0] + room]) + field[1:] + b"\xff" * room
        return header + field
    if len(payload) > room:
        raise ValueError("payload too long for one packet")
    return header + field + payload + b"\xff" * (room - len(payload))


def psi_packet(pid: int, cc: int, table: bytes, **options) -> bytes:
    """A table in one packet, after a zero pointer field."""
    return packet(pid, cc, b"\x00" + table, start=True, **options)


def section_packets(pid: int, table: bytes, next_cc) -> list[bytes]:
    """A section of any length cut into packets after a zero pointer field;
    `next_cc(pid)` numbers them."""
    data = b"\x00" + table
    return [packet(pid, next_cc(pid), data[at:at + 184], start=at == 0) for at in range(0, len(data), 184)]


def pes_start(pid: int, cc: int, pts: int = 0) -> bytes:
    """The first packet of a PES packet with a PTS."""
    encoded = bytes([0x21 | ((pts >> 29) & 0x0E), (pts >> 22) & 0xFF, 0x01 | ((pts >> 14) & 0xFE),
                     (pts >> 7) & 0xFF, 0x01 | ((pts << 1) & 0xFE)])
    return packet(pid, cc, b"\x00\x00\x01\xe0\x00\x00\x80\x80\x05" + encoded, start=True)


def rtp(sequence: int, payload: bytes, timestamp: int = 0) -> bytes:
    return struct.pack(">BBHII", 0x80, 33, sequence & 0xFFFF, timestamp, 0x1234) + payload


class Stream:
    """A single-program stream (PAT, PMT on 0x1000, video 0x100 with PCR,
    audio 0x101) cut into datagrams of seven packets, with its own
    continuity counters."""

    PMT_PID, VIDEO, AUDIO = 0x1000, 0x100, 0x101

    def __init__(self) -> None:
        self.cc: dict[int, int] = {}

    def next_cc(self, pid: int) -> int:
        value = self.cc.get(pid, -1) + 1 & 0x0F
        self.cc[pid] = value
        return value

    def tables(self, with_pat: bool = True, with_pmt: bool = True) -> list[bytes]:
        out = []
        if with_pat:
            out.append(psi_packet(0, self.next_cc(0), pat({1: self.PMT_PID})))
        if with_pmt:
            out.append(psi_packet(self.PMT_PID, self.next_cc(self.PMT_PID),
                                  pmt(1, self.VIDEO, [(0x1B, self.VIDEO), (0x0F, self.AUDIO)])))
        return out

    def media(self, count: int, pcr: int | None = None) -> list[bytes]:
        out = []
        for i in range(count):
            pid = self.AUDIO if i % 4 == 3 else self.VIDEO
            adaptation = Adaptation(pcr=pcr) if pcr is not None and i == 0 else None
            out.append(packet(pid, self.next_cc(pid), b"\x00" * 20, adaptation=adaptation))
        return out


def datagrams(packets: list[bytes], per_datagram: int = 7) -> list[bytes]:
    return [b"".join(packets[i:i + per_datagram]) for i in range(0, len(packets), per_datagram)]


@dataclass
class Pcr:
    """The next PCR of a constant-rate stream: `after_ms` of the mux's time
    (packets at its rate) since the previous one; its value steps by as much
    unless `step_ms` says otherwise (a fault, or a new time base with
    `discontinuity`); `error_ns` puts this one value off."""
    after_ms: float
    step_ms: float | None = None
    discontinuity: bool = False
    error_ns: float = 0.0


def constant_rate(pcrs: list[Pcr], *, packet_seconds: float = 0.0005, per_datagram: int = 7,
                  tail_ms: float = 0.0) -> list[tuple[float, bytes]]:
    """A single-program stream (as Stream) with one packet every
    `packet_seconds` (3 Mb/s by default): PAT and PMT every 100 packets, a PCR
    on the video PID first and where `pcrs` say.  Datagrams of
    `per_datagram` packets, each with the time its last packet is done."""
    stream = Stream()
    slots: dict[int, tuple[int, bool]] = {}
    offset = 0.0  # seconds the PCR values have moved away from the mux's time
    at_ms = 0.0
    base = 1.0

    def value(slot: int, extra: float = 0.0) -> int:
        return round((base + slot * packet_seconds + offset + extra) * 27e6)

    slots[0] = (value(0), False)
    for pcr in pcrs:
        at_ms += pcr.after_ms
        slot = round(at_ms / 1000 / packet_seconds)
        if pcr.step_ms is not None:
            offset += (pcr.step_ms - pcr.after_ms) / 1000
        slots[slot] = (value(slot, pcr.error_ns * 1e-9), pcr.discontinuity)
    count = max(slots) + 1 + round(tail_ms / 1000 / packet_seconds)
    count += -count % per_datagram
    packets = []
    for n in range(count):
        if n in slots:
            pcr_value, discontinuity = slots[n]
            packets.append(packet(Stream.VIDEO, stream.next_cc(Stream.VIDEO), b"\x00" * 20,
                                  adaptation=Adaptation(pcr=pcr_value % (2 ** 33 * 300), discontinuity=discontinuity)))
        elif n % 100 in (1, 2):
            packets.extend(stream.tables(with_pat=n % 100 == 1, with_pmt=n % 100 == 2))
        else:
            pid = Stream.AUDIO if n % 4 == 3 else Stream.VIDEO
            packets.append(packet(pid, stream.next_cc(pid), b"\x00" * 20))
    return [((i + per_datagram) * packet_seconds, b"".join(packets[i:i + per_datagram]))
            for i in range(0, count, per_datagram)]


def sdt(services: list[tuple[int, int, bytes, bytes]], ts_id: int = 1, *, number: int = 0, last: int = 0,
        version: int = 0, table_id: int = 0x42, bad_crc: bool = False) -> bytes:
    """An SDT section listing (service_id, service_type, provider, name) with
    a service descriptor each, the names as raw DVB text bytes."""
    body = struct.pack(">HB", 0x2001, 0xFF)   # original_network_id, reserved
    for service_id, service_type, provider, name in services:
        descriptor = bytes([0x48, 3 + len(provider) + len(name), service_type, len(provider)]) + provider
        descriptor += bytes([len(name)]) + name
        body += struct.pack(">HBH", service_id, 0xFC, 0x8000 | len(descriptor)) + descriptor
    length = 5 + len(body) + 4
    head = struct.pack(">BHHBBB", table_id, 0xF000 | length, ts_id, 0xC1 | (version << 1), number, last)
    crc = mpeg_crc32(head + body) ^ (1 if bad_crc else 0)
    return head + body + struct.pack(">I", crc)
