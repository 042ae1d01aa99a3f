"""What the content checks (black, frozen, silent, loudness and the
thumbnails) cost per channel: CPU against ffmpeg's own filters for the
same verdicts on the same stream, and memory.

The stream: 60 s of 1080p25 H.264 (a 2-s GOP, 6 Mb/s, a moving test
picture with grain so that it does not compress to nothing) and stereo AAC
at 48 kHz, in MPEG-TS, made by ffmpeg in a temporary folder.

CPU: the file is fed through `avwatch_analysis.Analyser` in datagrams of 7
packets, with arrival times at the stream's rate (fed as fast as the
analyser takes them) and a window closed every second of stream time; the
process's CPU time (every thread's) is taken around it.  There is no switch
for the content checks, so the same file is fed once with program 1 judged
(its video key frames and all its audio decoded) and once with a program
the stream does not carry judged: every packet parsed the same, nothing
decoded.  The difference, per second of stream, is the content checks'
share of a core.  It also holds the transport-stream checks that only a
judged program gets (PTS and PCR timing, PMT deadlines), which the same
bench measured before the content checks were built: 0.022 s of CPU for
the 60-s stream either way, under 0.002% of a core apart.  Rounds
alternate the two runs; the least of each is kept.

Against: `ffmpeg -i FILE -vf blackdetect=d=2:pix_th=0.1,freezedetect=n=-60dB:d=2
-af silencedetect=noise=-60dB:d=2,ebur128 -f null -`, its user + system
CPU (os.wait4), over the same stream seconds.  ffmpeg decodes every
picture, the analyser only the key frames: that is most of the difference.

Memory: a fresh process reads the file, notes its resident set, then holds
N analysers (program 1 judged), each fed the stream's first seconds, and
notes it again: the growth divided by N.

Prints the figures, and last:
  memory per channel: X.X MB (...)
  content checks per channel: X.XX% of a core; Y.YY× ffmpeg's filters

Run after tools/bootstrap:
  .venv/bin/python bench/content.py [--seconds 60] [--rounds 3] [--analysers 10]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import avwatch_analysis

PACKET = 188
DATAGRAM = 7 * PACKET
BITRATE = 6_000_000
ABSENT_PROGRAM = 999


def make_stream(path: Path, seconds: float) -> None:
    video = "testsrc2=size=1920x1080:rate=25,noise=alls=10:allf=t+u,format=yuv420p"
    audio = "aevalsrc=0.2*sin(2*PI*440*t)|0.2*sin(2*PI*660*t):s=48000:c=stereo"
    subprocess.run([
        "ffmpeg", "-nostdin", "-loglevel", "error", "-y",
        "-f", "lavfi", "-i", video, "-f", "lavfi", "-i", audio, "-t", str(seconds),
        "-c:v", "libx264", "-preset", "veryfast", "-g", "50", "-keyint_min", "50", "-sc_threshold", "0",
        "-b:v", str(BITRATE), "-maxrate", str(BITRATE), "-bufsize", str(2 * BITRATE),
        "-c:a", "aac", "-b:a", "192k", "-ac", "2", "-ar", "48000",
        "-f", "mpegts", str(path)], check=True, timeout=1800)


def feed(analyser, data: bytes, seconds: float) -> tuple[dict | None, int]:
    """Every datagram at its arrival time on the stream's rate; a window
    closed each second of stream time.  The last window's report, and how
    many reports brought a thumbnail."""
    rate = len(data) / seconds   # bytes per second of stream
    next_close = 1.0
    report = None
    thumbnails = 0

    def close(at: float) -> dict:
        nonlocal thumbnails
        closed = analyser.close_window(at)
        thumbnails += bool(closed.get("thumbnail"))
        return closed

    for offset in range(0, len(data) - DATAGRAM + 1, DATAGRAM):
        at = (offset + DATAGRAM) / rate
        while at >= next_close:
            report = close(next_close)
            next_close += 1.0
        analyser.datagram(data[offset:offset + DATAGRAM], at)
    if seconds > next_close - 1.0:
        report = close(seconds)
    return report, thumbnails


def analyser_cpu(data: bytes, seconds: float, program: int) -> tuple[float, dict | None, int]:
    """CPU seconds (every thread of the process) to feed the whole stream
    through a fresh analyser, its last report and its thumbnails."""
    started = time.process_time()
    analyser = avwatch_analysis.Analyser(program=program, start=0.0)
    report, thumbnails = feed(analyser, data, seconds)
    del analyser   # its decoders' threads, if any, end inside the measure
    return time.process_time() - started, report, thumbnails


def ffmpeg_cpu(path: Path) -> float:
    process = subprocess.Popen([
        "ffmpeg", "-nostdin", "-loglevel", "error", "-i", str(path),
        "-vf", "blackdetect=d=2:pix_th=0.1,freezedetect=n=-60dB:d=2",
        "-af", "silencedetect=noise=-60dB:d=2,ebur128", "-f", "null", "-"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        raise RuntimeError(f"ffmpeg's filters failed with status {process.returncode}")
    return usage.ru_utime + usage.ru_stime


def resident_bytes() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS in /proc/self/status")


def memory_child(path: Path, seconds: float, count: int, fed: float) -> None:
    """In a fresh process: the resident set's growth for `count` analysers,
    each fed the stream's first `fed` seconds."""
    data = path.read_bytes()
    part = data[:int(len(data) * min(1.0, fed / seconds)) // DATAGRAM * DATAGRAM]
    # Warm-up: the module's first analyser loads the codecs' tables; it
    # stays, counted in the baseline.
    first = avwatch_analysis.Analyser(program=1, start=0.0)
    feed(first, data[:DATAGRAM * 200], seconds)
    before = resident_bytes()
    held = []
    for _ in range(count):
        analyser = avwatch_analysis.Analyser(program=1, start=0.0)
        feed(analyser, part, fed)
        held.append(analyser)
    after = resident_bytes()
    print(json.dumps({"before": before, "after": after, "count": len(held)}))


def lufs(value) -> str:
    return "-" if value is None else f"{value:.1f}"


def describe(report: dict | None, thumbnails: int) -> str:
    """What the judged run's last report says was decoded: proof the checks ran."""
    content = (report or {}).get("content")
    if not isinstance(content, dict):
        return "this build's reports carry no content: the figures below measure no content checks"
    video = content.get("video") or {}
    audio = content.get("audio") or []
    return (f"decoded: {video.get('pictures', 0)} pictures of {video.get('codec')} "
            f"{video.get('width')}x{video.get('height')}; "
            + ", ".join(f"{stream.get('frames', 0)} frames of {stream.get('codec')} "
                        f"({stream.get('channels')} ch, {stream.get('sample_rate')} Hz, "
                        f"integrated {lufs(stream.get('integrated'))} LUFS)" for stream in audio)
            + f"; {thumbnails} thumbnails")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=60.0, help="stream length (default 60)")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--analysers", type=int, default=10, help="analysers held for the memory figure")
    parser.add_argument("--fed", type=float, default=20.0, help="stream seconds fed to each of them")
    parser.add_argument("--memory-child", type=Path, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child is not None:
        memory_child(args.memory_child, args.seconds, args.analysers, args.fed)
        return
    if shutil.which("ffmpeg") is None:
        sys.exit("bench/content.py needs ffmpeg (tools/bootstrap installs it)")

    with tempfile.TemporaryDirectory(prefix="avwatch-content-bench-") as folder:
        path = Path(folder) / "stream.ts"
        started = time.monotonic()
        make_stream(path, args.seconds)
        data = path.read_bytes()
        data = data[:len(data) // DATAGRAM * DATAGRAM]
        print(f"stream: {args.seconds:g} s of 1080p25 H.264 + stereo AAC 48 kHz, {len(data) / 1e6:.1f} MB "
              f"({len(data) * 8 / args.seconds / 1e6:.2f} Mb/s), made in {time.monotonic() - started:.0f} s")

        judged, bare = [], []
        report, thumbnails = None, 0
        for _ in range(args.rounds):
            cpu, report, thumbnails = analyser_cpu(data, args.seconds, 1)
            judged.append(cpu)
            bare.append(analyser_cpu(data, args.seconds, ABSENT_PROGRAM)[0])
        print(describe(report, thumbnails))
        ffmpeg = min(ffmpeg_cpu(path) for _ in range(max(1, args.rounds // 2)))

        memory = subprocess.run([sys.executable, __file__, "--memory-child", str(path), "--seconds",
                                 str(args.seconds), "--analysers", str(args.analysers), "--fed", str(args.fed)],
                                capture_output=True, text=True, check=True, timeout=1800)
        resident = json.loads(memory.stdout.strip().splitlines()[-1])

    with_checks, without = min(judged), min(bare)
    share = max(0.0, with_checks - without) / args.seconds
    ffmpeg_share = ffmpeg / args.seconds
    print(f"analyser, program 1 judged (content checks on): {with_checks:7.3f} s CPU, "
          f"{with_checks / args.seconds:.2%} of a core (rounds: {', '.join(f'{v:.3f}' for v in judged)})")
    print(f"analyser, no program judged (nothing decoded):  {without:7.3f} s CPU, "
          f"{without / args.seconds:.2%} of a core (rounds: {', '.join(f'{v:.3f}' for v in bare)})")
    print(f"ffmpeg blackdetect, freezedetect, silencedetect, ebur128: {ffmpeg:.2f} s CPU, "
          f"{ffmpeg_share:.2%} of a core")
    per_channel = (resident["after"] - resident["before"]) / resident["count"]
    print(f"memory per channel: {per_channel / 1e6:.1f} MB (resident set growth of one process holding "
          f"{resident['count']} analysers fed {args.fed:g} s each; goal 16 MB)")
    print(f"content checks per channel: {share:.2%} of a core; {share / ffmpeg_share:.2f}× ffmpeg's filters")


if __name__ == "__main__":
    main()
