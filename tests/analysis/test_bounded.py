"""Bad input is the normal case: floods of garbage, of PIDs, of programs and
of changing PMTs leave the analyser's memory flat and its reports bounded."""

from __future__ import annotations

import ctypes
import gc
import json
import os
import random

import pytest

from cli.conftest import Avwatch  # noqa: F401  (puts the checkout's CLI on the path when not installed)
from avwatch_cli.analyze.record import ErrorTimes, make_record
from ts_builder import packet, pat, pmt, psi_packet, sdt, section_packets

avwatch_analysis = pytest.importorskip("avwatch_analysis")


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


def malloc_in_use() -> int:
    """Bytes allocated through malloc and not freed: the analyser's own state
    (C++ new), but not the interpreter's small objects or its free pools."""
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = MallInfo2
    gc.collect()
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


# Under AddressSanitizer malloc is its own: the run still checks every access.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def garbage(chance: random.Random, n: int) -> bytes:
    return chance.randbytes(1316)


def every_pid(chance: random.Random, n: int) -> bytes:
    return b"".join(packet(chance.randrange(8192), chance.randrange(16), b"x") for _ in range(7))


def programs_churn(chance: random.Random, n: int) -> bytes:
    # A PAT of 40 programs on other PMT PIDs every time, and a PMT of 30 streams, a new version each time.
    listing = {1 + (n * 7 + i) % 60000: 0x20 + (n * 3 + i) % 8000 for i in range(40)}
    number, pid = next(iter(listing.items()))
    streams = [(chance.choice([0x1B, 0x0F, 0x06, 0x99]), chance.randrange(32, 8000)) for _ in range(30)]
    return psi_packet(0, n, pat(listing)) + psi_packet(pid, n, pmt(number, streams[0][1], streams, version=n % 32))


@pytest.mark.parametrize("flood", [garbage, every_pid, programs_churn])
def test_floods_leave_memory_flat(flood):
    chance = random.Random(5)
    # A pool of datagrams, so that only the analyser's memory can grow.
    pool = [flood(chance, n) for n in range(400)]
    analyser = avwatch_analysis.Analyser()
    t = 0.0

    def run(datagrams: int) -> tuple[int, int]:
        """Feeds the pool round; the last report's PID and program counts."""
        nonlocal t
        counts = (0, 0)
        for n in range(datagrams):
            t += 0.0005
            analyser.datagram(pool[n % len(pool)], t)
            if n % 2000 == 1999:
                report = analyser.close_window(t)
                counts = (len(report["pids"]), len(report["programs"]))
                del report
        return counts

    run(20_000)
    settled = malloc_in_use()
    pids, programs = run(40_000)
    # 280,000 more packets: a byte kept per packet would show.
    assert UNDER_ASAN or malloc_in_use() - settled < 64 * 1024
    assert pids <= 8192 and programs <= 64
    if flood is programs_churn:
        assert programs > 0


def hostile_fill(analyser, programs: int = 64, streams: int = 200) -> float:
    """A PAT of `programs` programs, each PMT listing `streams` streams (as many
    as a section holds), an SDT naming each with names as long as kept and
    costly to escape, then a packet on every PID; returns the time reached."""
    counters: dict[int, int] = {}

    def next_cc(pid: int) -> int:
        counters[pid] = (counters.get(pid, -1) + 1) & 0x0F
        return counters[pid]

    listing = {number: 0x1000 + number for number in range(1, programs + 1)}
    packets = section_packets(0, pat(listing), next_cc)
    for number, pmt_pid in listing.items():
        listed = [(0x1B if i == 0 else 0x0F, 0x20 + (number * streams + i) % 8000) for i in range(streams)]
        packets += section_packets(pmt_pid, pmt(number, listed[0][1], listed), next_cc)
    services = [(number, 1, b"\xe9" * 33, b"\xe9" * 33) for number in listing]
    for at in range(0, len(services), 12):
        packets += section_packets(0x11, sdt(services[at:at + 12], number=at // 12, last=len(services) // 12), next_cc)
    packets += [packet(pid, next_cc(pid), b"x") for pid in range(8192)]
    t = 0.0
    for i in range(0, len(packets), 7):
        t += 0.0005
        analyser.datagram(b"".join(packets[i:i + 7]), t)
    return t


@pytest.mark.parametrize("program", [None, 5])
def test_a_hostile_stream_leaves_the_report_and_the_record_bounded(program):
    analyser = avwatch_analysis.Analyser(program=program)
    t = hostile_fill(analyser)
    report = analyser.close_window(t)
    assert report["pid_count"] == 8192 and len(report["pids"]) == 256
    assert [p["pid"] for p in report["pids"]] == sorted(p["pid"] for p in report["pids"])
    programs = report["programs"]
    assert len(programs) == 64
    # The judged program first and whole; the others capped, with what was left out counted.
    assert programs[0]["program"] == (program or 1)
    assert (len(programs[0]["streams"]), programs[0]["streams_left_out"]) == (200, 0)
    others = programs[1:]
    assert all(len(p["streams"]) <= 8 and len(p["streams"]) + p["streams_left_out"] == 200 for p in others)
    assert sum(len(p["streams"]) for p in others) <= 320
    record = make_record(report, uri="udp://239.1.1.1:5000", method="packet socket", started=0.0,
                         wall_end=t, error_times=ErrorTimes())
    assert len(json.dumps(record)) <= 64 * 1024
    assert record["pid_count"] == 8192
    named = [p for p in record["programs"] if p["service_name"] is not None]
    assert named[0] is record["programs"][0] and len(named[0]["service_name"]) == 32
    assert all(len(p["service_name"]) == 32 for p in report["programs"])   # the record drops names, not the report
