"""Cost of watching inputs continuously, against the probe loop and against
a receive floor, measured in the same run.

For 1, 10 and 100 inputs, each a 5 Mb/s MPEG-TS stream sent on loopback by
a separate sender process (bench/udp_sender.cpp; its cost is not counted):

  (1) the analyser: one process holding one avwatch_analysis.Watch per input
      (each a packet socket and a native thread), its reports taken as
      `avwatch monitor` takes them; CPU of the whole process
  (2) the floor: the same sockets, kernel filter, batched receives and
      draining threads with nothing parsed (bench/receive_floor.cpp, built
      here with g++ from the analyser's own receive layer), running at the
      same time as (1) on the same datagrams
  (3) the module's probe loop on the same inputs: avwatch.get_ffprobe_info
      (ffprobe under nice and cpulimit, through the prober guard) and a 3 s
      pause, as the input monitor runs it; CPU of every process involved
      (this script is their subreaper, so the guard and what it started are
      counted when reaped), measured on up to 3 of the inputs

Prints per count the CPU per input, (1)/(3), the CPU per packet of (1)
against (2), and the analyser's memory per input (resident set growth when
the watches start, divided by the inputs) and its drift over the run; and
last, the worst of the counts:
  analyser CPU per input: X% of the probe loop's; X.XX× the receive floor

Run after tools/bootstrap, as root (packet sockets need CAP_NET_RAW):
  .venv/bin/python bench/inputs.py [--seconds S] [--counts 1,10,100] [--rate BPS]
  .venv/bin/python bench/inputs.py --counts 10 --seconds 600 --memory-only   # memory over 10 minutes
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BASE_PORT = 31000
WARMUP = 3.0
PROBED_INPUTS = 3
PROBE_PAUSE = 3.0  # the input monitor's pause between probes


def build(folder: Path) -> tuple[Path, Path]:
    sender, floor = folder / "udp_sender", folder / "receive_floor"
    subprocess.run(["g++", "-O2", "-std=c++20", "-o", str(sender), str(ROOT / "bench/udp_sender.cpp")], check=True)
    receive_layer = [str(ROOT / "src/analysis/input" / name) for name in ("sockets.cpp", "batch.cpp", "udp_uri.cpp",
                                                                       "ip_datagram.cpp", "local_destinations.cpp")]
    subprocess.run(["g++", "-O2", "-std=c++20", f"-I{ROOT / 'src'}", "-o", str(floor),
                    str(ROOT / "bench/receive_floor.cpp"), *receive_layer, "-pthread"], check=True)
    return sender, floor


def make_ts(path: Path, rate: int) -> Path:
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                    "testsrc=size=1280x720:rate=25", "-f", "lavfi", "-i", "sine=sample_rate=48000", "-t", "10",
                    "-c:v", "libx264", "-preset", "ultrafast", "-g", "25", "-b:v", str(rate * 3 // 4),
                    "-maxrate", str(rate * 3 // 4), "-bufsize", str(rate), "-c:a", "aac", "-b:a", "128k",
                    "-f", "mpegts", "-muxrate", str(rate), str(path)], check=True)
    return path


PR_SET_CHILD_SUBREAPER = 36


def become_subreaper() -> None:
    """Orphans of the measured children (the prober guard outlives its worker
    by a moment) come back to this process, so their CPU is counted when reaped."""
    import ctypes
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)


def reap_orphans(timeout: float = 10.0) -> None:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            time.sleep(0.05)


def children_cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def rss_kib() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def self_cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


# ---- the measured processes (run as children of this script) ----

def analyser_child(count: int, seconds: float) -> dict:
    import avwatch_analysis

    before = rss_kib()
    watches = [avwatch_analysis.Watch(f"udp://127.0.0.1:{BASE_PORT + i}") for i in range(count)]
    packets = [0] * count

    def take(until: float) -> None:
        while time.monotonic() < until:
            for i, watch in enumerate(watches):
                report = watch.next_report(0)
                while report is not None:
                    packets[i] = report["packets"]
                    report = watch.next_report(0)
            time.sleep(0.5)  # reports queue natively: a few a second is enough

    take(time.monotonic() + WARMUP)
    started_rss, cpu, counted = rss_kib(), self_cpu(), sum(packets)
    samples = []
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        take(min(end, time.monotonic() + max(1.0, seconds / 10)))
        samples.append(rss_kib())
    result = {"cpu": self_cpu() - cpu, "packets": sum(packets) - counted, "rss_before": before,
              "rss_started": started_rss, "rss_samples": samples}
    for watch in watches:
        watch.close()
    return result


def probe_child(count: int, seconds: float) -> dict:
    import avwatch

    passes = [0] * count

    def loop(i: int, end: float) -> None:
        uri = f"udp://127.0.0.1:{BASE_PORT + i}"
        while time.monotonic() < end:
            record = avwatch.get_ffprobe_info(uri, "1", "256", "257")
            passes[i] += 1 if record["vcodec"] else 0
            time.sleep(PROBE_PAUSE)

    end = time.monotonic() + seconds
    threads = [threading.Thread(target=loop, args=(i, end)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return {"answered": sum(passes)}


# ---- the orchestration ----

def sending(sender: Path, ts: Path, count: int, rate: int, seconds: float) -> subprocess.Popen:
    return subprocess.Popen([str(sender), str(ts), str(BASE_PORT), str(count), str(rate), str(seconds)])


def run_child(mode: str, count: int, seconds: float) -> tuple[dict, float]:
    """The child's result and the CPU it and its reaped descendants used."""
    before = children_cpu()
    done = subprocess.run([sys.executable, __file__, "--child", mode, "--counts", str(count), "--seconds",
                           str(seconds)], capture_output=True, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1]), children_cpu() - before


def measure_memory(count: int, rate: int, seconds: float, sender: Path, ts: Path) -> None:
    load = sending(sender, ts, count, rate, WARMUP + seconds + 2)
    analyser, _ = run_child("analyser", count, seconds)
    load.wait()
    samples = analyser["rss_samples"]
    print(f"{count} inputs at {rate / 1e6:g} Mb/s for {seconds:g} s: {analyser['packets']:,} TS packets; resident "
          f"set {(analyser['rss_started'] - analyser['rss_before']) / count:.0f} KiB per input once started, then "
          f"{' '.join(str(sample) for sample in samples)} KiB in all (drift {samples[-1] - samples[0]:+d} KiB)")


def measure(count: int, rate: int, seconds: float, sender: Path, floor: Path, ts: Path) -> dict:
    # The floor and the analyser receive the same datagrams at the same time
    # (packet sockets each get a copy), so that both see the same load.
    load = sending(sender, ts, count, rate, WARMUP + seconds + 2)
    floor_run = subprocess.Popen([str(floor), str(BASE_PORT), str(count), str(WARMUP), str(seconds)],
                                 stdout=subprocess.PIPE, text=True)
    analyser, _ = run_child("analyser", count, seconds)
    floor_result = json.loads(floor_run.communicate()[0])
    load.wait()
    probed = min(count, PROBED_INPUTS)
    probe_seconds = max(11.0, min(seconds, 30.0))
    load = sending(sender, ts, probed, rate, probe_seconds + 3)
    time.sleep(1)
    before = children_cpu()
    probe, _ = run_child("probe", probed, probe_seconds)
    load.wait()
    reap_orphans()
    probe_cpu = children_cpu() - before
    samples = analyser["rss_samples"]
    return {
        "count": count,
        "analyser_cpu_per_input": analyser["cpu"] / seconds / count,
        "probe_cpu_per_input": probe_cpu / probe_seconds / probed,
        "probe_answers": probe["answered"],
        "analyser_cpu_per_packet": analyser["cpu"] / max(1, analyser["packets"]),
        "floor_cpu_per_packet": floor_result["cpu"] / max(1, floor_result["packets"]),
        "packets_per_second": analyser["packets"] / seconds,
        "memory_per_input_kib": (analyser["rss_started"] - analyser["rss_before"]) / count,
        "memory_drift_kib": samples[-1] - samples[0] if samples else 0,
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=10.0, help="measured seconds per count")
    parser.add_argument("--counts", default="1,10,100", help="numbers of inputs, comma-separated")
    parser.add_argument("--rate", type=int, default=5_000_000, help="bits per second of each input")
    parser.add_argument("--memory-only", action="store_true", help="only the analyser's memory over --seconds")
    parser.add_argument("--child", choices=("analyser", "probe"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    counts = [int(count) for count in args.counts.split(",")]
    if args.child:
        measured = (analyser_child if args.child == "analyser" else probe_child)(counts[0], args.seconds)
        print(json.dumps(measured))
        return 0
    become_subreaper()
    with tempfile.TemporaryDirectory() as folder:
        sender, floor = build(Path(folder))
        ts = make_ts(Path(folder) / "input.ts", args.rate)
        if args.memory_only:
            for count in counts:
                measure_memory(count, args.rate, args.seconds, sender, ts)
            return 0
        results = []
        for count in counts:
            result = measure(count, args.rate, args.seconds, sender, floor, ts)
            results.append(result)
            print(f"{count:>4} inputs at {args.rate / 1e6:g} Mb/s: analyser {result['analyser_cpu_per_input'] * 100:.3f}% "
                  f"of a core per input ({result['packets_per_second']:,.0f} TS packets/s in all), probe loop "
                  f"{result['probe_cpu_per_input'] * 100:.2f}% ({result['probe_answers']} answers): "
                  f"{result['analyser_cpu_per_input'] / result['probe_cpu_per_input'] * 100:.1f}% of it; "
                  f"CPU per packet {result['analyser_cpu_per_packet'] * 1e9:.0f} ns against the floor's "
                  f"{result['floor_cpu_per_packet'] * 1e9:.0f} ns: "
                  f"{result['analyser_cpu_per_packet'] / result['floor_cpu_per_packet']:.2f}×; memory "
                  f"{result['memory_per_input_kib']:.0f} KiB per input, drift {result['memory_drift_kib']:+d} KiB "
                  f"over {args.seconds:g} s", flush=True)
    share = max(r["analyser_cpu_per_input"] / r["probe_cpu_per_input"] for r in results)
    floor_ratio = max(r["analyser_cpu_per_packet"] / r["floor_cpu_per_packet"] for r in results)
    print(f"analyser CPU per input: {share * 100:.1f}% of the probe loop's; {floor_ratio:.2f}× the receive floor")
    return 0


if __name__ == "__main__":
    os.environ.setdefault("PYTHONUNBUFFERED", "1")
    sys.exit(main())
