"""What one HLS check reads, and how soon Ctrl-C ends one.

  (1) one 64-MiB MPEG-TS segment (ffmpeg's, repeated) listed under 24 names
      (seg.ts, ./seg.ts, ././seg.ts, ...): the bytes a first check reads,
      against the floor, the file's size (each file read once)
  (2) five distinct 64-MiB segments, over a check's read budget: a process
      checking them afresh, again and again, is sent SIGINT at a few
      moments; the worst time from the signal to its exit

    .venv/bin/python bench/hls_reads.py [--tries N]
"""

import argparse
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import avwatch_analysis

SEGMENT = 64 << 20
NAMES = 24


def rchar() -> int:
    with open("/proc/self/io") as io:
        return next(int(line.split()[1]) for line in io if line.startswith("rchar"))


def make_segment(path: Path, folder: Path) -> None:
    one = folder / "one.ts"
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=640x360:rate=25",
                    "-t", "4", "-c:v", "libx264", "-preset", "ultrafast", "-b:v", "20M", "-f", "mpegts", str(one)],
                   check=True)
    data = one.read_bytes()
    with open(path, "wb") as out:
        written = 0
        while written + len(data) <= SEGMENT:
            out.write(data)
            written += len(data)
        out.write(data[:(SEGMENT - written) // 188 * 188])


def playlist(folder: Path, names: list[str]) -> Path:
    path = folder / "chunks.m3u8"
    path.write_text("#EXTM3U\n#EXT-X-TARGETDURATION:2\n" + "".join(f"#EXTINF:2,\n{n}\n" for n in names))
    return path


def ctrl_c_latency(path: Path, tries: int) -> float:
    code = ("import sys, avwatch_analysis\nprint('go', flush=True)\n"
            "while True:\n    avwatch_analysis.HlsOutput(sys.argv[1]).check()\n")
    worst = 0.0
    for n in range(tries):
        process = subprocess.Popen([sys.executable, "-c", code, str(path)], stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL, text=True)
        process.stdout.readline()
        time.sleep(0.3 + 0.37 * n)
        sent = time.monotonic()
        process.send_signal(signal.SIGINT)
        process.wait(timeout=120)
        worst = max(worst, time.monotonic() - sent)
    return worst


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--tries", type=int, default=5)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(scratch)
        make_segment(folder / "seg.ts", folder)
        names = ["./" * k + "seg.ts" for k in range(NAMES)]
        before = rchar()
        avwatch_analysis.HlsOutput(playlist(folder, names)).check()
        read = rchar() - before
        print(f"{NAMES} names of one 64-MiB segment: {read / 2**20:.0f} MiB read "
              f"({read / SEGMENT:.2f}x the file)")
        big = folder / "big"
        big.mkdir()
        for n in range(5):
            shutil.copyfile(folder / "seg.ts", big / f"big{n}.ts")
        worst = ctrl_c_latency(playlist(big, [f"big{n}.ts" for n in range(5)]), args.tries)
        print(f"Ctrl-C during checks of 5 x 64 MiB: exit within {worst * 1000:.0f} ms (worst of {args.tries})")


if __name__ == "__main__":
    main()
