"""Cost of the HLS output analyser's check.

A real HLS output is made once by ffmpeg's HLS muxer (6-s segments, five
listed, as the media server's default), then, measured in the same run:

  (1) the floor: the playlist and every listed segment read with plain
      reads into a reused buffer, nothing parsed
  (2) a first check: a new HlsOutput, so every segment is read and parsed
      (sync, tables, first access unit, continuity) besides the playlist,
      the folder listing and the master playlist
  (3) a steady check: the same HlsOutput again; segments already read are
      known by their identity (inode, size, mtime) and not read again
  (4) CPU per output at a 3-s period (half the target duration) for 1, 100
      and 1,000 outputs whose playlists advance by one new segment every
      6 s, as live ones do: the process CPU time of the checks only

Prints the medians, the CPU shares, and last "output check: X.XX× the read
floor", (2)/(1) (goal at most 1.5).

    .venv/bin/python bench/outputs.py [--rounds N] [--seconds S]
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))

from avwatch_analysis import HlsOutput  # noqa: E402
from media import FFMPEG, lavfi_sources  # noqa: E402
from timing import median_seconds  # noqa: E402

FRAGMENT = 6
LISTED = 5
PERIOD = FRAGMENT / 2
OUTPUT_COUNTS = (1, 100, 1000)


def make_output(folder: Path) -> Path:
    """ffmpeg's HLS muxer, as fast as it can: LISTED + 1 segments written."""
    folder.mkdir(parents=True)
    playlist = folder / "chunks.m3u8"
    subprocess.run([FFMPEG, "-nostdin", "-loglevel", "error", *lavfi_sources("1280x720", 25, FRAGMENT * (LISTED + 1)),
                    "-f", "hls", "-hls_time", str(FRAGMENT), "-hls_list_size", str(LISTED),
                    "-hls_segment_filename", str(folder / "segment-%06d.ts"), str(playlist)],
                   check=True, timeout=300)
    # A live playlist: no end.
    playlist.write_text(playlist.read_text().replace("#EXT-X-ENDLIST\n", ""))
    return playlist


def listed(playlist: Path) -> list[Path]:
    return [playlist.parent / line for line in playlist.read_text().splitlines() if line and not line.startswith("#")]


def plain_reads(paths: list[Path], buffer: bytearray) -> None:
    for path in paths:
        with open(path, "rb", buffering=0) as file:
            while file.readinto(buffer):
                pass


class LiveOutputs:
    """N outputs sharing the real segments through hard links; each
    playlist advances by one segment every FRAGMENT seconds, the outputs'
    advances spread over that time."""

    def __init__(self, root: Path, source: Path, count: int):
        self.sources = listed(source)
        self.durations = [line for line in source.read_text().splitlines() if line.startswith("#EXTINF")]
        self.folders = []
        for index in range(count):
            folder = root / f"out{index}"
            folder.mkdir(parents=True)
            self.folders.append(folder)
        self.sequence = [0] * count
        for index in range(count):
            self.write(index)
        self.started = time.monotonic()

    def write(self, index: int) -> None:
        folder, sequence = self.folders[index], self.sequence[index]
        lines = ["#EXTM3U", "#EXT-X-VERSION:3", f"#EXT-X-TARGETDURATION:{FRAGMENT}",
                 f"#EXT-X-MEDIA-SEQUENCE:{sequence}"]
        for number in range(sequence, sequence + LISTED):
            name = f"segment-{number:06d}.ts"
            if not (folder / name).exists():
                os.link(self.sources[number % len(self.sources)], folder / name)
            lines += [self.durations[number % len(self.durations)], name]
        stale = folder / f"segment-{sequence - 2:06d}.ts"
        if sequence >= 2 and stale.exists():
            stale.unlink()
        temporary = folder / "chunks.m3u8.tmp"
        temporary.write_text("\n".join(lines) + "\n")
        os.replace(temporary, folder / "chunks.m3u8")

    def advance(self) -> None:
        """Advances the outputs whose next segment is due."""
        elapsed = time.monotonic() - self.started
        count = len(self.folders)
        for index in range(count):
            due = int((elapsed + FRAGMENT * index / count) // FRAGMENT)
            if due > self.sequence[index]:
                self.sequence[index] = due
                self.write(index)


def cpu_per_output(root: Path, source: Path, count: int, seconds: float) -> float:
    """Percent of one core per output, checks only."""
    outputs = LiveOutputs(root, source, count)
    checkers = [HlsOutput(str(folder / "chunks.m3u8")) for folder in outputs.folders]
    for checker in checkers:  # the first check reads every segment: not the steady state
        checker.check()
    cpu = 0.0
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        started = time.monotonic()
        outputs.advance()
        before = time.process_time()
        for checker in checkers:
            checker.check()
        cpu += time.process_time() - before
        time.sleep(max(0.0, PERIOD - (time.monotonic() - started)))
    return 100 * cpu / seconds / count


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=200, help="timed rounds per figure (default 200)")
    parser.add_argument("--seconds", type=float, default=24, help="run time of each CPU figure (default 24)")
    args = parser.parse_args(argv)

    with tempfile.TemporaryDirectory(prefix="avwatch-bench-") as temporary:
        root = Path(temporary)
        playlist = make_output(root / "source")
        segments = listed(playlist)
        size = sum(path.stat().st_size for path in segments)
        print(f"playlist: {len(segments)} segments of {FRAGMENT} s, {size / 1e6:.2f} MB in all")

        buffer = bytearray(1 << 20)
        floor = first = 0.0
        # Interleaved, so that a slower moment of the machine hits both alike.
        floors, firsts = [], []
        for _ in range(5):
            floors.append(median_seconds(lambda: plain_reads([playlist, *segments], buffer), args.rounds // 5))
            firsts.append(median_seconds(lambda: HlsOutput(str(playlist)).check(), args.rounds // 5))
        floor, first = sorted(floors)[2], sorted(firsts)[2]
        steady_output = HlsOutput(str(playlist))
        steady = median_seconds(steady_output.check, args.rounds)
        print(f"floor, plain reads of the playlist and its segments: {floor * 1e3:.3f} ms")
        print(f"first check, every segment read and parsed:          {first * 1e3:.3f} ms ({first / floor:.2f}x)")
        print(f"steady check, segments known:                        {steady * 1e3:.3f} ms ({steady / floor:.2f}x)")

        for count in OUTPUT_COUNTS:
            share = cpu_per_output(root / f"live{count}", playlist, count, args.seconds)
            print(f"CPU per output at a {PERIOD:g}-s period, {count} outputs: {share:.3f}% of a core")
        print(f"output check: {first / floor:.2f}\u00d7 the read floor")
    return 0


if __name__ == "__main__":
    sys.exit(main())
