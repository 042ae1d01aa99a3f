"""Whole-machine cost of watching inputs continuously, against plain UDP
sockets on the same traffic, measured in the same run.

At 10 and 100 inputs, each a 4 Mb/s MPEG-TS stream of 1316-byte datagrams
sent on loopback by one sender process (bench/udp_sender.cpp), in a network
namespace of the bench's own, the phases run one after the other on the
same load:

  sender    the sender alone: its own cost, subtracted from every phase
  floor     plain UDP sockets, each bound to its port, drained by one
            thread every 50 ms with recvmmsg (bench/plain_udp_receiver.cpp):
            the least any receiver pays
  deployed  one process per input, each holding one avwatch_analysis.Watch
            and taking its reports as `avwatch monitor` does
  shared    one process holding every input's Watch (many pipes in one
            host process)

Cost is the CPU the phase costs the whole machine over the window: the
run time of its processes' threads, the sender's included, with the
softirq work of receiving that the kernel charges to them, and ksoftirqd's,
as bench/machine_cpu.py measures it (the machine's softirq is printed
beside).  The machine may be shared, so each phase runs --repeats times,
interleaved, and the least is kept, as what others add is always on top.
Fewer inputs are measured longer (their costs are small).

Except in the floor's phase, which binds its own, a plain socket that
reads nothing is bound to each port, as the channel service's is when
deployed (else the kernel would answer each datagram with ICMP port
unreachable); the kernel drops what its small buffer cannot hold.  So the
sender-alone run subtracted from every phase holds the sender and those
drops, and the floor's net cost is a little below a full receive (the
lookup is in both): the ratios are if anything a little high.

Per count it prints each phase's CPU per input (the machine's softirq in
brackets) and what fraction of the sent datagrams or TS packets it
received; last:

  analyser whole-machine CPU per input: X.XX× plain UDP sockets at 10 inputs, Y.YY× at 100 (one process per host)

(every input in one process, as `avwatch host` runs a host's pipes; one
process per input, as the per-pipe unit runs them, on the line before).

Run after tools/bootstrap, as root (unicast analysis needs CAP_NET_RAW, the
namespace CAP_SYS_ADMIN):
  .venv/bin/python bench/inputs.py [--seconds S] [--counts 10,100] [--rate BPS] [--repeats N]
For a quick look at one shape, --phases sender,floor,shared (the sender
and floor phases are always needed for the ratios) with --repeats 1.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import socket
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import machine_cpu  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
BASE_PORT = 31000
DATAGRAM = 1316
WARMUP = 2.0
PHASES = ("sender", "floor", "deployed", "shared")

# A child holding the watches of its arguments: says "ready" once they are
# open, takes reports as `avwatch monitor` does until stdin closes, then
# prints the TS packets counted by the first reports closed after that
# (each report has the total), and the datagrams the analyser itself lost.
WATCHER = """
import json, selectors, sys, time
import avwatch_analysis
watches = [avwatch_analysis.Watch(uri) for uri in sys.argv[1:]]
print("ready", flush=True)
packets = [0] * len(watches)
drops = [0] * len(watches)
selector = selectors.DefaultSelector()
selector.register(sys.stdin, selectors.EVENT_READ)
while not selector.select(timeout=0):
    for i, watch in enumerate(watches):
        report = watch.next_report(0.5 / len(watches))
        while report is not None:
            packets[i], drops[i] = report["packets"], report["receive_drops"]
            report = watch.next_report(0)
until = time.monotonic()
for i, watch in enumerate(watches):
    while (report := watch.next_report(2.0)) is not None and report["window_end"] <= until:
        pass
    if report:
        packets[i], drops[i] = report["packets"], report["receive_drops"]
for watch in watches:
    watch.close()
print(json.dumps({"packets": sum(packets), "drops": sum(drops)}), flush=True)
"""


@dataclass
class Run:
    busy: float  # CPU seconds per second: our threads with the softirq charged to them, and ksoftirqd
    softirq: float
    received: float  # fraction of what was sent
    dropped: float  # fraction of what was sent that the analyser counted as its own drops


def build(folder: Path) -> tuple[Path, Path]:
    sender, floor = folder / "udp_sender", folder / "plain_udp_receiver"
    for program, source in ((sender, "bench/udp_sender.cpp"), (floor, "bench/plain_udp_receiver.cpp")):
        subprocess.run(["g++", "-O2", "-std=c++20", "-o", str(program), str(ROOT / source)], check=True)
    return sender, floor


def make_ts(path: Path, rate: int) -> Path:
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                    "testsrc=size=1280x720:rate=25", "-f", "lavfi", "-i", "sine=sample_rate=48000", "-t", "10",
                    "-c:v", "libx264", "-preset", "ultrafast", "-g", "25", "-b:v", str(rate * 3 // 4),
                    "-maxrate", str(rate * 3 // 4), "-bufsize", str(rate), "-c:a", "aac", "-b:a", "128k",
                    "-f", "mpegts", "-muxrate", str(rate), str(path)], check=True)
    return path


def receivers(phase: str, count: int, floor: Path) -> list[subprocess.Popen[str]]:
    uris = [f"udp://127.0.0.1:{BASE_PORT + i}" for i in range(count)]
    watcher = [sys.executable, "-c", WATCHER]
    commands = {
        "sender": [],
        "floor": [[str(floor), str(BASE_PORT), str(count)]],
        "deployed": [watcher + [uri] for uri in uris],
        "shared": [watcher + uris],
    }[phase]
    started: list[subprocess.Popen[str]] = []
    try:
        for command in commands:
            started.append(subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True))
        for process in started:
            assert process.stdout is not None
            if process.stdout.readline().strip() != "ready":
                raise SystemExit(f"{phase}: a receiver did not start (exit status {process.wait()})")
    except BaseException:
        for process in started:
            process.kill()
            process.wait()
        raise
    return started


def received(phase: str, processes: list[subprocess.Popen[str]]) -> tuple[int, int]:
    total = dropped = 0
    for process in processes:
        assert process.stdout is not None
        out = process.stdout.read()
        process.stdout.close()
        if process.wait(timeout=30) != 0:
            raise SystemExit(f"{phase}: a receiver failed (exit status {process.returncode})")
        result = json.loads(out.strip().splitlines()[-1])
        total += result["datagrams"] if "datagrams" in result else result["packets"] // 7
        dropped += result.get("drops", 0)
    return total, dropped


def service_sockets(count: int) -> list[socket.socket]:
    """The channel service's own sockets on the ports, as deployed, reading
    nothing: the kernel drops what their small buffers cannot hold, which
    costs less than answering each datagram with ICMP port unreachable."""
    bound = []
    for i in range(count):
        service = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        service.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        service.bind(("127.0.0.1", BASE_PORT + i))
        bound.append(service)
    return bound


def run_phase(phase: str, count: int, rate: int, seconds: float, sender: Path, floor: Path, ts: Path) -> Run:
    processes: list[subprocess.Popen[str]] = []
    load: subprocess.Popen[bytes] | None = None
    duration = WARMUP + seconds + 1.0
    service = [] if phase == "floor" else service_sockets(count)
    try:
        processes = receivers(phase, count, floor)
        load = subprocess.Popen([str(sender), str(ts), str(BASE_PORT), str(count), str(rate), str(duration)])
        time.sleep(WARMUP)
        start = machine_cpu.sample()
        time.sleep(seconds)
        used = machine_cpu.used(start, machine_cpu.sample())
        load.wait()
        time.sleep(0.2)  # the last datagrams drained
        for process in processes:
            assert process.stdin is not None
            process.stdin.close()
        got, dropped = received(phase, processes)
    finally:
        for process in processes:
            if process.poll() is None:
                process.kill()
                process.wait()
        if load is not None and load.poll() is None:
            load.kill()
            load.wait()
        for bound in service:
            bound.close()
    sent = count * int(duration * rate / 8 / DATAGRAM)
    return Run(used.total / seconds, used.softirq / seconds, got / sent if processes else 1.0, dropped / sent)


def in_own_network() -> None:
    """Runs the bench in a network namespace of its own (re-executing under
    `unshare --net`): no other traffic meets its packet sockets, and no
    other program's datagrams reach its ports."""
    if os.environ.get("AVWATCH_BENCH_OWN_NETWORK") != "1":
        os.environ["AVWATCH_BENCH_OWN_NETWORK"] = "1"
        os.execvp("unshare", ["unshare", "--net", "--", sys.executable, *sys.argv])
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=5.0,
                        help="measured seconds per phase at 100 inputs (at N inputs, times sqrt(100/N))")
    parser.add_argument("--counts", default="10,100", help="numbers of inputs, comma-separated")
    parser.add_argument("--rate", type=int, default=4_000_000, help="bits per second of each input")
    parser.add_argument("--repeats", type=int, default=2, help="runs of each phase; the least is kept")
    parser.add_argument("--phases", default=",".join(PHASES),
                        help="phases to run, comma-separated (sender and floor always run)")
    args = parser.parse_args()
    counts = [int(count) for count in args.counts.split(",")]
    wanted = set(args.phases.split(",")) | {"sender", "floor"}
    if not wanted <= set(PHASES):
        parser.error(f"--phases: one of {', '.join(PHASES)}")
    phases = [phase for phase in PHASES if phase in wanted]
    shapes = [phase for phase in ("deployed", "shared") if phase in wanted]
    in_own_network()
    best: dict[tuple[int, str], Run] = {}
    with tempfile.TemporaryDirectory() as folder:
        sender, floor = build(Path(folder))
        ts = make_ts(Path(folder) / "input.ts", args.rate)
        for repeat in range(args.repeats):
            for count in counts:
                # Fewer inputs run longer: their costs are small against the tick-sampled accounting.
                seconds = args.seconds * math.sqrt(max(1.0, 100 / count))
                for phase in phases:
                    run = run_phase(phase, count, args.rate, seconds, sender, floor, ts)
                    print(f"  run {repeat + 1}: {count:>3} inputs, {phase:<8} {run.busy * 100:6.1f}% of a core "
                          f"(machine softirq {run.softirq * 100:5.1f}%), received {run.received * 100:5.1f}%"
                          f"{f' (its own drops {run.dropped * 100:.1f}%)' if run.dropped else ''}",
                          flush=True)
                    kept = best.get((count, phase))
                    if kept is None or run.busy < kept.busy:
                        best[(count, phase)] = run
    ratios: dict[str, list[float]] = {"deployed": [], "shared": []}
    for count in counts:
        base = best[(count, "sender")]

        def per_input(phase: str) -> tuple[float, float]:
            run = best[(count, phase)]
            return (run.busy - base.busy) / count, (run.softirq - base.softirq) / count

        floor_cpu, floor_softirq = per_input("floor")
        line = [f"{count:>4} inputs at {args.rate / 1e6:g} Mb/s, whole-machine CPU per input (machine softirq): "
                f"plain UDP "
                f"{floor_cpu * 100:.3f}% of a core ({floor_softirq * 100:.3f}%)"]
        for phase in shapes:
            cpu, softirq = per_input(phase)
            ratios[phase].append(cpu / floor_cpu)
            line.append(f"analyser {phase} {cpu * 100:.3f}% ({softirq * 100:.3f}%): {cpu / floor_cpu:.2f}×")
        print("; ".join(line) + f" (sender alone {base.busy * 100:.1f}%)", flush=True)

    def ratio_line(phase: str) -> str:
        return ", ".join(f"{ratio:.2f}× plain UDP sockets at {count} inputs" if i == 0 else f"{ratio:.2f}× at {count}"
                         for i, (ratio, count) in enumerate(zip(ratios[phase], counts)))

    # The last line is the shape a host with many inputs runs (avwatch host:
    # every input of the host in one process, one receive ring); one process
    # per input (avwatch monitor per pipe) costs each input a filter run per
    # datagram of every other input, and is printed before it.
    if "deployed" in shapes:
        print(f"analyser whole-machine CPU per input, one process per input: {ratio_line('deployed')}")
    if "shared" in shapes:
        print(f"analyser whole-machine CPU per input: {ratio_line('shared')} (one process per host)")
    return 0


if __name__ == "__main__":
    os.environ.setdefault("PYTHONUNBUFFERED", "1")
    sys.exit(main())
