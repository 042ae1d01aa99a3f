"""The input analyser's timing indicators on replays whose truth is known:
a constant-rate 3 Mb/s stream built packet by packet (PCR = the packet's
departure on the mux's clock), delivered with chosen network behaviour at
exact arrival times.

For each replay, prints the PCR repetition and discontinuity errors, the
delay factor (median and worst of the windows after the first two), and
where the analyser reports them, PCR arrival jitter, PCR accuracy and its
errors.  What a replay should show:

  even          sent as produced: no PCR fault, DF about one datagram (3.5 ms)
  host stalls   a loaded receiver: 150 ms stalls every 2 s, then the backlog
                at once; the stream itself is sound (no PCR fault)
  bursts 35 ms  the sender holds 35 ms of datagrams and sends them together:
                DF about 35 ms
  gap 2 s       the sender silent for 2 s, then the live stream again: a gap,
                no PCR fault, DF as before the gap
  pcr 60 ms     the encoder sends a PCR every 60 ms: repetition errors
  pcr jitter    PCRs off by up to ±2 µs: accuracy errors

Run after tools/bootstrap:
  .venv/bin/python bench/ts_clock.py [--seconds S]
With PYTHONPATH pointing at another build of avwatch_analysis, the same
replays measure that build.
"""

from __future__ import annotations

import argparse
import random
import statistics
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests/analysis"))

import avwatch_analysis  # noqa: E402
from ts_builder import Adaptation, packet, pat, pmt, psi_packet  # noqa: E402

RATE = 3_000_000
PACKET_SECONDS = 188 * 8 / RATE
PMT_PID, VIDEO, AUDIO = 0x1000, 0x100, 0x101


def produce(seconds: float, pcr_every: float = 0.03, pcr_error_ns: float = 0.0,
            seed: int = 1) -> list[tuple[float, bytes]]:
    """Datagrams of seven packets with their departure times (the last
    packet's), tables every 100 ms, a PCR on the video PID every `pcr_every`."""
    chance = random.Random(seed)
    cc: dict[int, int] = {}

    def next_cc(pid: int) -> int:
        cc[pid] = (cc.get(pid, -1) + 1) & 0x0F
        return cc[pid]

    out = []
    packets: list[bytes] = []
    next_table = next_pcr = 0.0
    tables: list[bytes] = []
    for n in range(int(seconds / PACKET_SECONDS)):
        # One packet per slot of the mux rate: the stream is constant-rate.
        t = n * PACKET_SECONDS
        if t >= next_table:
            next_table += 0.1
            tables = [psi_packet(0, next_cc(0), pat({1: PMT_PID})),
                      psi_packet(PMT_PID, next_cc(PMT_PID), pmt(1, VIDEO, [(0x1B, VIDEO), (0x0F, AUDIO)]))]
        if t >= next_pcr:
            next_pcr += pcr_every
            offset = chance.uniform(-pcr_error_ns, pcr_error_ns) * 1e-9
            pcr = round((1.0 + t + offset) * 27e6)
            packets.append(packet(VIDEO, next_cc(VIDEO), b"\x00" * 20, adaptation=Adaptation(pcr=pcr)))
        elif tables:
            packets.append(tables.pop(0))
        else:
            pid = AUDIO if n % 5 == 0 else VIDEO
            packets.append(packet(pid, next_cc(pid), b"\x00" * 20))
        if len(packets) == 7:
            # A datagram leaves when its seventh packet is done.
            out.append((t + PACKET_SECONDS, b"".join(packets)))
            packets = []
    return out


def even(sent):
    return sent


def host_stalls(sent):
    out = []
    for t, payload in sent:
        phase = t % 2.0
        out.append((t - phase + 1.15 if 1.0 <= phase < 1.15 else t, payload))
    return out


def bursts(sent):
    return [((t // 0.035 + 1) * 0.035, payload) for t, payload in sent]


def gap(sent):
    return [(t, payload) for t, payload in sent if not 4.3 <= t < 6.3]


REPLAYS = [
    ("even", {}, even),
    ("host stalls", {}, host_stalls),
    ("bursts 35 ms", {}, bursts),
    ("gap 2 s", {}, gap),
    ("pcr 60 ms", {"pcr_every": 0.06}, even),
    ("pcr jitter", {"pcr_error_ns": 2000.0}, even),
]


def replay(arrivals: list[tuple[float, bytes]], seconds: float) -> list[dict]:
    analyser = avwatch_analysis.Analyser(start=0.0)
    reports = []
    window_end = 1.0
    for t, payload in arrivals:
        while t >= window_end:
            reports.append(analyser.close_window(window_end))
            window_end += 1.0
        analyser.datagram(payload, t)
    while window_end <= seconds + 1e-9:
        reports.append(analyser.close_window(window_end))
        window_end += 1.0
    return reports


def figure(values: list[float]) -> str:
    if not values:
        return "-"
    return f"{statistics.median(values):.1f}/{max(values):.1f}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=10.0)
    args = parser.parse_args()
    print(f"{'replay':<14} {'PCR rep':>7} {'PCR disc':>8} {'DF ms med/max':>14} {'jitter ms med/max':>18} "
          f"{'accuracy ns max':>15} {'acc errors':>10}")
    for name, options, deliver in REPLAYS:
        reports = replay(deliver(produce(args.seconds, **options)), args.seconds)
        final = reports[-1]
        later = reports[2:]
        df = [r["delay_factor_ms"] for r in later if r["delay_factor_ms"] is not None]
        jitter = [r["pcr_jitter_ms"] for r in later if r.get("pcr_jitter_ms") is not None]
        accuracy = [r["pcr_accuracy_ns"] for r in later if r.get("pcr_accuracy_ns") is not None]
        print(f"{name:<14} {final['pcr_repetition_errors']:>7} {final['pcr_discontinuity_errors']:>8} "
              f"{figure(df):>14} {figure(jitter):>18} {(f'{max(accuracy):.0f}' if accuracy else '-'):>15} "
              f"{final.get('pcr_accuracy_errors', '-'):>10}")


if __name__ == "__main__":
    main()
