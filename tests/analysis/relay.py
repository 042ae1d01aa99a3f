"""A UDP relay for the analyser's ground-truth tests: it sends a TS file at
its mux rate, datagram by datagram, through chosen faults (drop, duplicate,
reorder, corrupt, strip tables, break sync bytes, fall silent), and computes
from what it actually forwarded what the analyser must report."""

from __future__ import annotations

import random
import socket
import struct
import threading
import time
from dataclasses import dataclass, field

PACKET = 188
DATAGRAM = 7 * PACKET


@dataclass
class Faults:
    drop: float = 0.0              # share of datagrams dropped at random
    duplicate: float = 0.0         # share sent twice
    reorder: float = 0.0           # share swapped with the next one
    transport_error: float = 0.0   # share with one packet's TEI bit set
    strip_pids: tuple[int, ...] = ()         # PIDs removed ...
    strip_between: tuple[float, float] = (0, 0)  # ... during this span of seconds
    break_sync_between: tuple[float, float] = (0, 0)  # every sync byte broken in this span
    silent_between: tuple[float, float] = (0, 0)      # nothing sent in this span
    rtp: bool = False
    seed: int = 7


@dataclass
class Truth:
    """What the forwarded datagrams contain, by the analyser's rules."""
    continuity_errors: int = 0
    sync_byte_errors: int = 0
    transport_errors: int = 0
    packets: int = 0
    bytes: int = 0
    datagrams: int = 0
    rtp_lost: int = 0
    sends: list[tuple[float, int]] = field(default_factory=list)  # (monotonic time, TS bytes)
    last_cc: dict[int, int] = field(default_factory=dict)
    repeated: dict[int, bool] = field(default_factory=dict)
    last_payload: dict[int, bytes] = field(default_factory=dict)

    def observe(self, payload: bytes, at: float) -> None:
        self.datagrams += 1
        self.bytes += len(payload)
        self.sends.append((at, len(payload)))
        for offset in range(0, len(payload) - PACKET + 1, PACKET):
            self.observe_packet(payload[offset:offset + PACKET])

    def observe_packet(self, p: bytes) -> None:
        if p[0] != 0x47:
            self.sync_byte_errors += 1
            return  # the relay breaks whole datagrams: none of it is read
        self.packets += 1
        if p[1] & 0x80:
            self.transport_errors += 1
            return
        pid = (p[1] & 0x1F) << 8 | p[2]
        if pid == 0x1FFF:
            return
        cc = p[3] & 0x0F
        payload = bool(p[3] & 0x10)
        discontinuity = bool(p[3] & 0x20) and p[4] > 0 and bool(p[5] & 0x80)
        last = self.last_cc.get(pid)
        if last is not None and not discontinuity:
            if not payload:
                if cc != last:  # without a payload the counter stays
                    self.continuity_errors += 1
            elif cc == last and same_but_pcr(p, self.last_payload.get(pid)):
                if self.repeated.get(pid):
                    self.continuity_errors += 1
                self.repeated[pid] = True
                return
            elif cc != (last + 1) & 0x0F:
                self.continuity_errors += 1
        if payload:
            self.repeated[pid] = False
            self.last_payload[pid] = p
        self.last_cc[pid] = cc

    def rate_between(self, start: float, end: float) -> float:
        sent = sum(size for at, size in self.sends if start <= at < end)
        return sent * 8 / (end - start)


def same_but_pcr(p: bytes, other: bytes | None) -> bool:
    """A repetition: every byte the same but the PCR field (bytes 6 to 11 when present)."""
    if other is None:
        return False
    start = 12 if p[3] & 0x20 and p[4] >= 7 and p[5] & 0x10 else 6
    return p[:6] == other[:6] and p[start:] == other[start:]


class Relay(threading.Thread):
    def __init__(self, ts: bytes, mux_rate: int, target: tuple[str, int], faults: Faults,
                 seconds: float | None = None):
        super().__init__(daemon=True)
        self.datagrams = [ts[i:i + DATAGRAM] for i in range(0, len(ts) - DATAGRAM + 1, DATAGRAM)]
        self.interval = DATAGRAM * 8 / mux_rate
        self.target = target
        self.faults = faults
        self.seconds = seconds if seconds is not None else len(self.datagrams) * self.interval
        self.truth = Truth()
        self.stopping = threading.Event()
        self.failure: BaseException | None = None
        self.dropped_sequences: list[int] = []
        self.highest_sent = -1

    def run(self) -> None:
        try:
            self._run()
        except BaseException as error:  # reported by the test
            self.failure = error

    def _run(self) -> None:
        chance = random.Random(self.faults.seed)
        sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        start = time.monotonic()
        held: bytes | None = None  # a datagram held back to be sent after its successor
        sequence = 0
        i = 0
        try:
            while not self.stopping.is_set():
                at = i * self.interval
                if at >= self.seconds:
                    break
                delay = start + at - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
                datagram = self.datagrams[i % len(self.datagrams)]
                i += 1
                if _within(at, self.faults.silent_between):
                    continue
                datagram = self._alter(datagram, at, chance)
                if chance.random() < self.faults.drop:
                    self.dropped_sequences.append(sequence)
                    sequence += 1  # lost on the way: RTP numbers it all the same
                    continue
                copies = 2 if chance.random() < self.faults.duplicate else 1
                if held is None and chance.random() < self.faults.reorder:
                    held = datagram
                    held_sequence = sequence
                    sequence += 1
                    continue
                for _ in range(copies):
                    self._send(sender, datagram, sequence)
                sequence += 1
                if held is not None:
                    self._send(sender, held, held_sequence)
                    held = None
        finally:
            sender.close()

    def _alter(self, datagram: bytes, at: float, chance: random.Random) -> bytes:
        packets = [bytearray(datagram[o:o + PACKET]) for o in range(0, len(datagram), PACKET)]
        if _within(at, self.faults.strip_between) and self.faults.strip_pids:
            # Replaced by null packets, so that the rate stays the mux rate.
            for p in packets:
                if ((p[1] & 0x1F) << 8 | p[2]) in self.faults.strip_pids:
                    p[1:3] = b"\x1f\xff"
        if _within(at, self.faults.break_sync_between):
            for p in packets:
                p[0] = 0x48
        if chance.random() < self.faults.transport_error:
            packets[chance.randrange(len(packets))][1] |= 0x80
        return b"".join(packets)

    def _send(self, sender: socket.socket, datagram: bytes, sequence: int) -> None:
        wire = datagram
        if self.faults.rtp:
            wire = struct.pack(">BBHII", 0x80, 33, sequence & 0xFFFF, 0, 1) + datagram
        sender.sendto(wire, self.target)
        self.truth.observe(datagram, time.monotonic())
        self.highest_sent = max(self.highest_sent, sequence)
        # A number counts as lost once the newest is 64 ahead of it (later, it may be a reordering).
        self.truth.rtp_lost = sum(1 for lost in self.dropped_sequences if lost + 64 <= self.highest_sent)


def _within(at: float, span: tuple[float, float]) -> bool:
    return span[0] <= at < span[1]


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class ServiceSocket:
    """The channel service's own receiver: a plain socket bound to the port,
    counting what it gets."""

    def __init__(self, port: int):
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        self.socket.bind(("127.0.0.1", port))
        self.socket.settimeout(0.2)
        self.received = 0
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self) -> None:
        while not self.stopping.is_set():
            try:
                self.socket.recv(4096)
                self.received += 1
            except TimeoutError:
                continue

    def close(self) -> None:
        self.stopping.set()
        self.thread.join()
        self.socket.close()

