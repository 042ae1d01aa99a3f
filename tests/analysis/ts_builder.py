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
