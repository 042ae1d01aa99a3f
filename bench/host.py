"""Whole-machine CPU and memory per pipe of `avwatch host`: every pipe of a
host in one process, at 10, 100 and 200 pipes.

Each pipe is a live channel with an input at 4 Mb/s (MPEG-TS in 1316-byte
datagrams on loopback, from one sender process: bench/udp_sender.cpp) and
an HLS output advancing every 2 s (one writer process copies a 2 s segment
of the same stream into each pipe's folder and rewrites its playlist; the
master playlist advertises BANDWIDTH, as the media server's does, so the
output monitor probes no segment).  Redis runs here too.  All of it runs in
a network namespace and a media-server tree (tools/sandbox) of its own.

Per count, two phases on the same load:
  load   the sender, the writer and an idle Redis: their cost, subtracted
  host   the same with `avwatch host` running every pipe
CPU is the run time of every thread in the bench's PID namespace (so of
our processes only: the machine may be shared), with the softirq work of
receiving that the kernel charges to the thread it interrupts (on
loopback, mostly the sender's: as bench/machine_cpu.py explains); the
machine's softirq from /proc/stat is printed beside.
The probes' processes (nice, cpulimit, ffprobe: the probe every 3 s of each
input) are measured apart: those alive at the window's ends by their run
time, those that ended inside it by the children's time of who collected
them (their guard, or process 1 for what a chain killed at its limit left).  The
host's share is everything else the host phase adds: the host process, its
probe guard, Redis's work for it and the kernel's receive path.

Memory per pipe is the host's RSS (its guard's included) less the RSS of
the same command watching no pipe, divided by the pipes.

Last line:
  host: X.XX% of a core and Y KB per pipe at 200 pipes, besides ffprobe

Run after tools/bootstrap, as root:
  .venv/bin/python bench/host.py [--counts 10,100,200] [--seconds S]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import machine_cpu  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
KESTREL = Path("/usr/local/kestrel-srs")
HTML = KESTREL / "trunk/objs/nginx/html"
BASE_PORT = 32000
REDIS_PORT = 6399
SEGMENT_SECONDS = 2
CHAIN = ("nice", "cpulimit", "ffprobe")
GUARD = "avwatch-guard"

# Rotates every pipe's HLS output: a new segment (a copy of the template)
# and a rewritten playlist every SEGMENT_SECONDS, the pipes spread over
# that period; the four newest segments are kept, as the media server does.
WRITER = """
import os, shutil, sys, time
template, count, period = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
folders = sys.argv[4:]
sequence = [0] * count
start = time.monotonic()
step = period / count
tick = 0
while True:
    index = tick % count
    due = start + tick * step
    pause = due - time.monotonic()
    if pause > 0:
        time.sleep(pause)
    folder = folders[index]
    sequence[index] += 1
    n = sequence[index]
    shutil.copyfile(template, f"{folder}/segment-{n:06d}.ts")
    first = max(1, n - 3)
    lines = ["#EXTM3U", "#EXT-X-VERSION:3", f"#EXT-X-TARGETDURATION:{int(period)}",
             f"#EXT-X-MEDIA-SEQUENCE:{first}"]
    for m in range(first, n + 1):
        lines += [f"#EXTINF:{period:.3f},", f"segment-{m:06d}.ts"]
    with open(f"{folder}/chunks.m3u8.tmp", "w") as playlist:
        playlist.write("\\n".join(lines) + "\\n")
    os.replace(f"{folder}/chunks.m3u8.tmp", f"{folder}/chunks.m3u8")
    if n > 4:
        try:
            os.unlink(f"{folder}/segment-{n - 4:06d}.ts")
        except FileNotFoundError:
            pass
    tick += 1
"""


@dataclass
class Window:
    total: float     # CPU seconds per second of every thread, with the softirq charged to them
    chain_running: float   # the probes' processes' share of total: those alive at the window's end
    chain: float     # with those that ended inside the window, whose time is not in total
    load: float      # the sender's, the HLS writer's and the bench's own
    softirq: float   # the machine's, from /proc/stat
    probing: int     # ffprobe processes alive at the window's end


def enter_own_world() -> None:
    """Re-executes in a network namespace and under tools/sandbox (a tmpfs
    media-server tree, every process ended with the run)."""
    if os.environ.get("AVWATCH_SANDBOX") != "1":
        os.execvp("unshare", ["unshare", "--net", "--", str(ROOT / "tools/sandbox"), sys.executable, *sys.argv])
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)


def command_of(pid: int) -> str:
    try:
        with open(f"/proc/{pid}/stat") as stat:
            text = stat.read()
    except OSError:
        return ""
    return text[text.index("(") + 1:text.rindex(")")]


def children_time(pid: int) -> float:
    """CPU seconds of the process's waited-for children (and theirs)."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    return (int(fields[13]) + int(fields[14])) / machine_cpu.TICKS


def reapers() -> list[int]:
    """Every process: who collects a process that ended adds its time (and
    its children's) to its own children's time; the chains' processes are
    collected by their guard, what a killed chain leaves by process 1 of
    the namespace (tools/sandbox's shell), a guard retired as stuck by the
    host.  Nothing else ends inside a window."""
    return [int(pid) for pid in os.listdir("/proc") if pid.isdigit()]


def guards() -> list[int]:
    return [int(pid) for pid in os.listdir("/proc") if pid.isdigit() and command_of(int(pid)) == GUARD]


def thread_times() -> dict[tuple[int, int], float]:
    """Every thread's run time: in the bench's PID namespace, all are ours
    (the probe guard is no descendant of the host, by design)."""
    times: dict[tuple[int, int], float] = {}
    for pid in os.listdir("/proc"):
        if pid.isdigit():
            times.update(machine_cpu._thread_times(int(pid)))
    return times


def softirq_seconds() -> float:
    with open("/proc/stat") as stat:
        return int(stat.readline().split()[7]) / machine_cpu.TICKS


def measure(seconds: float, load: set[int]) -> Window:
    """CPU per second over the window: all, the probes' processes', the load's."""
    start, reaped_start, softirq = thread_times(), {pid: children_time(pid) for pid in reapers()}, softirq_seconds()
    chain_at_start = {thread: run for thread, run in start.items() if command_of(thread[0]) in CHAIN}
    time.sleep(seconds)
    end, reaped_end = thread_times(), {pid: children_time(pid) for pid in reapers()}
    softirq = softirq_seconds() - softirq
    commands: dict[int, str] = {}
    total = chain = loaded = 0.0
    for (pid, tid), run in end.items():
        spent = run - start.get((pid, tid), 0.0)
        total += spent
        if commands.setdefault(pid, command_of(pid)) in CHAIN:
            chain += spent
        elif pid in load:
            loaded += spent
    # Reaped inside the window, with what they had run before it, which is not the window's.
    ended = sum(reaped - reaped_start.get(pid, 0.0) for pid, reaped in reaped_end.items())
    ended -= sum(run for thread, run in chain_at_start.items() if thread not in end)
    probing = sum(command == "ffprobe" for command in commands.values())
    return Window(total / seconds, chain / seconds, (chain + ended) / seconds, loaded / seconds, softirq / seconds,
                  probing)


def rss_kb(pid: int) -> int:
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def host_rss_kb(host: subprocess.Popen) -> int:
    return rss_kb(host.pid) + sum(rss_kb(pid) for pid in guards())


def prepare_media(folder: Path, rate: int) -> tuple[Path, Path, Path]:
    sender = folder / "udp_sender"
    subprocess.run(["g++", "-O2", "-std=c++20", "-o", str(sender), str(ROOT / "bench/udp_sender.cpp")], check=True)
    ts = folder / "input.ts"
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                    "testsrc=size=1280x720:rate=25", "-f", "lavfi", "-i", "sine=sample_rate=48000", "-t", "10",
                    "-c:v", "libx264", "-preset", "ultrafast", "-g", "25", "-b:v", str(rate * 3 // 4),
                    "-maxrate", str(rate * 3 // 4), "-bufsize", str(rate), "-c:a", "aac", "-b:a", "128k",
                    "-f", "mpegts", "-muxrate", str(rate), str(ts)], check=True)
    segment = folder / "segment.ts"
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", str(ts), "-t", str(SEGMENT_SECONDS),
                    "-c", "copy", "-f", "mpegts", str(segment)], check=True)
    return sender, ts, segment


def start_redis(folder: Path) -> subprocess.Popen:
    server = subprocess.Popen(["redis-server", "--port", str(REDIS_PORT), "--bind", "127.0.0.1", "--save", "",
                               "--appendonly", "no", "--dir", str(folder)], stdout=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while subprocess.run(["redis-cli", "-p", str(REDIS_PORT), "ping"], capture_output=True,
                         text=True).stdout.strip() != "PONG":
        if time.monotonic() > deadline:
            raise SystemExit("redis-server did not start")
        time.sleep(0.1)
    return server


def client():
    import redis
    return redis.Redis(port=REDIS_PORT)


def set_up_channels(count: int) -> list[str]:
    """Channels b0..b{count-1}, live, each with its input record and its
    output's master playlist and segment folder."""
    broker = client()
    broker.flushall()
    (KESTREL / "env.json").write_text(json.dumps({"SRS_VHOST_HLS_HLS_FRAGMENT": str(SEGMENT_SECONDS)}))
    folders = []
    pipeline = broker.pipeline(transaction=False)
    for i in range(count):
        channel = f"b{i}"
        pipeline.set(f"ch:{channel}:input:main", json.dumps({"uri": f"udp://127.0.0.1:{BASE_PORT + i}",
                                                             "miface": "127.0.0.1", "pid": 1, "vpid": 256,
                                                             "apid": 257}))
        pipeline.set(f"ch:{channel}", json.dumps({"live": True}))
        (HTML / channel / "a").mkdir(parents=True, exist_ok=True)
        (HTML / channel / "a/playlist.m3u8").write_text("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=4000000\n"
                                                          "../main/chunks.m3u8\n")
        folder = HTML / channel / "main"
        folder.mkdir(exist_ok=True)
        folders.append(str(folder))
    pipeline.execute()
    broker.close()
    return folders


def clear_channels() -> None:
    shutil.rmtree(HTML, ignore_errors=True)
    HTML.mkdir(parents=True)


LOGS: Path | None = None


def start_host(log_path: Path) -> subprocess.Popen:
    if LOGS is not None:
        LOGS.mkdir(parents=True, exist_ok=True)
        log_path = LOGS / log_path.name
    log = open(log_path, "ab")
    try:
        # As contrib/systemd/avwatch-host.service runs it.
        return subprocess.Popen([sys.executable, "-m", "avwatch_cli", "host", "--redis",
                                 f"redis://127.0.0.1:{REDIS_PORT}/0"], stdout=log, stderr=log,
                                env={**os.environ, "MALLOC_ARENA_MAX": "2"})
    finally:
        log.close()


def stop_host(host: subprocess.Popen) -> float:
    """Seconds from SIGTERM to the host's exit."""
    asked = time.monotonic()
    host.send_signal(signal.SIGTERM)
    try:
        host.wait(30)
    except subprocess.TimeoutExpired:
        host.kill()
        host.wait()
    return time.monotonic() - asked


def records(count: int) -> list:
    broker = client()
    try:
        return broker.mget([f"ch:b{i}:{kind}:main" for i in range(count) for kind in ("in", "out", "ts", "hls")])
    finally:
        broker.close()


def all_publishing(count: int) -> bool:
    """Every pipe's four records are there (the input's may still be the
    output monitor's first record, before a probe answered)."""
    return all(value is not None for value in records(count))


def probes_answering(count: int) -> float:
    """The share of inputs whose last probe found the stream."""
    values = records(count)
    return sum(bool(json.loads(values[4 * i] or b"{}").get("vcodec")) for i in range(count)) / count


def idle_rss(folder: Path) -> int:
    """RSS of the host command watching no pipe."""
    clear_channels()
    set_up_channels(0)
    host = start_host(folder / "host-idle.log")
    time.sleep(6)
    rss = host_rss_kb(host)
    stop_host(host)
    return rss


def run_count(count: int, seconds: float, rate: int, sender: Path, ts: Path, segment: Path, folder: Path,
              base_rss: int) -> dict:
    clear_channels()
    folders = set_up_channels(count)
    duration = 3600
    load = [subprocess.Popen([str(sender), str(ts), str(BASE_PORT), str(count), str(rate), str(duration)]),
            subprocess.Popen([sys.executable, "-c", WRITER, str(segment), str(count), str(SEGMENT_SECONDS),
                              *folders])]
    host = None
    try:
        time.sleep(3)
        pids = {process.pid for process in load} | {os.getpid()}
        quiet = measure(min(seconds, 8), pids)
        host = start_host(folder / f"host-{count}.log")
        deadline = time.monotonic() + 60 + count * 0.3
        while not all_publishing(count):
            if host.poll() is not None or time.monotonic() > deadline:
                tail = ((LOGS or folder) / f"host-{count}.log").read_text(errors="replace").splitlines()[-20:]
                raise SystemExit(f"{count} pipes: not every pipe published; the host's last lines:\n" + "\n".join(tail))
            time.sleep(1)
        time.sleep(5)   # past the start's burst
        # The least of two windows: what others add on a shared machine is always on top.
        busy = min((measure(seconds / 2, pids) for _ in range(2)), key=lambda window: window.total - window.chain_running)
        rss = host_rss_kb(host)
        answering = probes_answering(count)
        stopped_in = stop_host(host)
    finally:
        if host is not None and host.poll() is None:
            host.kill()
            host.wait()
        for process in load:
            process.kill()
            process.wait()
    # The load's own threads carry the softirq of delivering its datagrams
    # to the host's receivers: what the load costs more with the host running is the host's.
    host_cpu = busy.total - busy.chain_running - quiet.total
    return {"count": count, "host": host_cpu / count, "chain": busy.chain / count, "load": quiet.load / count,
            "softirq": (busy.softirq - quiet.softirq) / count, "rss": rss, "per_pipe_kb": (rss - base_rss) / count,
            "stopped_in": stopped_in, "answering": answering, "probing": busy.probing}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--counts", default="10,100,200", help="numbers of pipes, comma-separated")
    parser.add_argument("--seconds", type=float, default=20.0,
                        help="measured seconds at each count, in two windows of which the lesser counts")
    parser.add_argument("--rate", type=int, default=4_000_000, help="bits per second of each input")
    parser.add_argument("--logs", type=Path, help="keep the host's log in this folder")
    args = parser.parse_args()
    counts = [int(count) for count in args.counts.split(",")]
    global LOGS
    LOGS = args.logs
    enter_own_world()
    results = []
    with tempfile.TemporaryDirectory() as name:
        folder = Path(name)
        sender, ts, segment = prepare_media(folder, args.rate)
        redis_server = start_redis(folder)
        try:
            base_rss = idle_rss(folder)
            print(f"host watching no pipe: RSS {base_rss / 1024:.1f} MiB", flush=True)
            for count in counts:
                result = run_count(count, args.seconds, args.rate, sender, ts, segment, folder, base_rss)
                results.append(result)
                print(f"{count:>4} pipes: host {result['host'] * 100:.3f}% of a core per pipe (machine softirq "
                      f"{result['softirq'] * 100:.3f}%), probes (nice, cpulimit, ffprobe) "
                      f"{result['chain'] * 100:.2f}%, senders and HLS writer {result['load'] * 100:.3f}%; "
                      f"RSS {result['rss'] / 1024:.1f} MiB, {result['per_pipe_kb']:.0f} KB per pipe above the idle "
                      f"host; {result['probing']} ffprobe running, {result['answering'] * 100:.0f}% of the inputs' last probes found the stream; SIGTERM to exit "
                      f"{result['stopped_in']:.1f} s", flush=True)
        finally:
            redis_server.terminate()
            redis_server.wait()
    last = results[-1]
    print(f"host: {last['host'] * 100:.2f}% of a core and {last['per_pipe_kb']:.0f} KB per pipe at "
          f"{last['count']} pipes, besides ffprobe")
    return 0


if __name__ == "__main__":
    os.environ.setdefault("PYTHONUNBUFFERED", "1")
    sys.exit(main())
