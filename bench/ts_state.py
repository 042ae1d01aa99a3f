"""What state an input can build costs the input analyser: the cost per
packet of a fresh analyser against one whose caps an attacker has filled,
measured in the same run.

The filled analyser has seen a PAT of 64 programs, each with a PMT of 200
streams (the most a PMT section holds), and a packet on every one of the
8192 PIDs.  Both are then fed the same datagrams (seven packets each, one
every 0.5 ms of arrival time):

  plain        the media of program 1 (video and audio PIDs)
  PMT changes  program 1's 200-stream PMT, its version alternating, so that
               every datagram carries a PMT change (the fresh analyser knows
               the same program, alone in its PAT; for the plain packets, its
               PMT lists the video and audio only)

and the filled analyser's window is closed (the report as the binding
returns it).  Prints ns per packet for each, the ratios, and last:
  filled analyser: X.X× a fresh one per packet, Y.Y× with PMT changes; window close Z.Z ms

Run after tools/bootstrap:
  .venv/bin/python bench/ts_state.py [--datagrams N]
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests/analysis"))

import avwatch_analysis  # noqa: E402
from ts_builder import packet, pat, pmt, section_packets as cut_section  # noqa: E402

PROGRAMS = 64
STREAMS = 200
VIDEO, AUDIO = 0x100, 0x101
STEP = 0.0005


class Counters:
    def __init__(self) -> None:
        self.cc: dict[int, int] = {}

    def next(self, pid: int) -> int:
        self.cc[pid] = (self.cc.get(pid, -1) + 1) & 0x0F
        return self.cc[pid]


def section_packets(pid: int, table: bytes, counters: Counters) -> list[bytes]:
    return cut_section(pid, table, counters.next)


def pmt_pid(number: int) -> int:
    return 0x1000 + number


def program_streams(number: int) -> list[tuple[int, int]]:
    if number == 1:
        return [(0x1B, VIDEO), (0x0F, AUDIO)] + [(0x0F, 0x200 + i) for i in range(STREAMS - 2)]
    return [(0x1B if i == 0 else 0x0F, 0x20 + (number * STREAMS + i) % 8000) for i in range(STREAMS)]


def datagrams(packets: list[bytes]) -> list[bytes]:
    return [b"".join(packets[i:i + 7]) for i in range(0, len(packets), 7)]


def fill(analyser, counters: Counters, t: float) -> float:
    listing = {number: pmt_pid(number) for number in range(1, PROGRAMS + 1)}
    packets = section_packets(0, pat(listing), counters)
    for number in listing:
        packets += section_packets(pmt_pid(number), pmt(number, VIDEO if number == 1 else program_streams(number)[0][1],
                                                        program_streams(number)), counters)
    packets += [packet(pid, counters.next(pid), b"x") for pid in range(8192)]
    for payload in datagrams(packets):
        t += STEP
        analyser.datagram(payload, t)
    return t


def plain(counters: Counters, count: int) -> list[bytes]:
    packets = []
    for i in range(count * 7):
        pid = AUDIO if i % 4 == 3 else VIDEO
        packets.append(packet(pid, counters.next(pid), b"\x00" * 20))
    return datagrams(packets)


def pmt_changes(counters: Counters, count: int) -> list[bytes]:
    out = []
    for n in range(count):
        packets = section_packets(pmt_pid(1), pmt(1, VIDEO, program_streams(1), version=n % 2), counters)
        packets.append(packet(VIDEO, counters.next(VIDEO), b"\x00" * 20))
        out.append(b"".join(packets))
    return out


def ns_per_packet(analyser, payloads: list[bytes], t: float) -> tuple[float, float]:
    packets = sum(len(p) // 188 for p in payloads)
    started = time.perf_counter()
    for payload in payloads:
        t += STEP
        analyser.datagram(payload, t)
    return (time.perf_counter() - started) * 1e9 / packets, t


def fresh_analyser(counters: Counters, streams: list[tuple[int, int]]) -> tuple[object, float]:
    analyser = avwatch_analysis.Analyser(start=0.0)
    t = 0.0
    packets = section_packets(0, pat({1: pmt_pid(1)}), counters)
    packets += section_packets(pmt_pid(1), pmt(1, VIDEO, streams), counters)
    for payload in datagrams(packets):
        t += STEP
        analyser.datagram(payload, t)
    return analyser, t


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--datagrams", type=int, default=20_000)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    results: dict[str, list[float]] = {key: [] for key in ("fresh plain", "filled plain", "fresh pmt", "filled pmt")}
    closes = []
    for _ in range(args.rounds):
        filled_counters = Counters()
        filled = avwatch_analysis.Analyser(start=0.0)
        filled_t = fill(filled, filled_counters, 0.0)
        filled.close_window(filled_t)
        for kind, make, count in (("plain", plain, args.datagrams), ("pmt", pmt_changes, args.datagrams // 10)):
            # The fresh analyser knows program 1 as its PMT says: video and
            # audio for the plain packets, the 200 streams for the changes.
            fresh_counters = Counters()
            fresh, fresh_t = fresh_analyser(fresh_counters, program_streams(1)[:2 if kind == "plain" else STREAMS])
            cost, fresh_t = ns_per_packet(fresh, make(fresh_counters, count), fresh_t)
            results[f"fresh {kind}"].append(cost)
            cost, filled_t = ns_per_packet(filled, make(filled_counters, count), filled_t)
            results[f"filled {kind}"].append(cost)
        for _ in range(5):
            filled_t += 1.0
            started = time.perf_counter()
            filled.close_window(filled_t)
            closes.append((time.perf_counter() - started) * 1e3)

    median = {key: statistics.median(values) for key, values in results.items()}
    for key, value in median.items():
        print(f"{key:<14} {value:9.1f} ns per packet")
    close = statistics.median(closes)
    print(f"window close   {close:9.2f} ms (filled analyser, report dict included)")
    plain_ratio = median["filled plain"] / median["fresh plain"]
    pmt_ratio = median["filled pmt"] / median["fresh pmt"]
    print(f"a PMT change in the filled analyser: {median['filled pmt'] / median['fresh plain']:.1f}× a plain packet "
          f"in a fresh one (decoding a 200-stream PMT)")
    print(f"filled analyser: {plain_ratio:.1f}× a fresh one per packet, {pmt_ratio:.1f}× with PMT changes; "
          f"window close {close:.1f} ms")


if __name__ == "__main__":
    main()
