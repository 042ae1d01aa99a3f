"""Cost of the audio check per stream: decoding and metering one audio
stream whole, as the analysers do for every audio stream of the judged
program.

For stereo AAC at 48 kHz (the common broadcast stream) and, for scale,
MPEG-1 Layer II and AC-3 5.1: ffmpeg makes 60 s of programme-like sound
(pink noise with a sine over it), bench/audio_check_cost.cpp (built here
with g++ against the check's own sources) feeds it to AudioCheck in PES-
sized pieces. Prints the CPU seconds per second of stream, i.e. the share
of one core a live stream of that kind costs (goal for stereo AAC: well
under 0.5%).

  .venv/bin/python bench/audio_check.py [--rounds N]
"""

import argparse
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CHECK_SOURCES = ["audio_check.cpp", "audio_samples.cpp", "loudness_meter.cpp", "silence_run.cpp",
                 "audio_timeline.cpp"]
SECONDS = 60
SOUND = (f"anoisesrc=color=pink:sample_rate=48000:amplitude=0.2:duration={SECONDS}[noise];"
         f"sine=frequency=440:sample_rate=48000:duration={SECONDS}[tone];"
         "[noise][tone]amix=inputs=2")
# (name, decoder, ffmpeg's encoding arguments)
STREAMS = [
    ("AAC stereo 48 kHz 128 kb/s", "aac", ["-ac", "2", "-c:a", "aac", "-b:a", "128k", "-f", "adts"]),
    ("MPEG-1 Layer II stereo 48 kHz 192 kb/s", "mp2", ["-ac", "2", "-c:a", "mp2", "-b:a", "192k", "-f", "mp2"]),
    ("AC-3 5.1 48 kHz 384 kb/s", "ac3", ["-ac", "6", "-c:a", "ac3", "-b:a", "384k", "-f", "ac3"]),
]


def build(folder: Path) -> Path:
    program = folder / "audio_check_cost"
    flags = subprocess.run(["pkg-config", "--cflags", "--libs", "libavcodec", "libavutil", "libebur128"],
                           capture_output=True, text=True, check=True).stdout.split()
    sources = [str(ROOT / "bench" / "audio_check_cost.cpp")]
    sources += [str(ROOT / "src" / "analysis" / "content" / name) for name in CHECK_SOURCES]
    subprocess.run(["g++", "-O2", "-std=c++20", f"-I{ROOT / 'src'}", "-o", str(program), *sources, *flags],
                   check=True)
    return program


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=5, help="rounds per stream; the fastest counts")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as directory:
        folder = Path(directory)
        program = build(folder)
        for name, decoder, encoding in STREAMS:
            stream = folder / f"{decoder}.es"
            subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-filter_complex", SOUND, *encoding, str(stream)],
                           check=True)
            result = subprocess.run([str(program), decoder, str(stream), str(args.rounds)], capture_output=True,
                                    text=True, check=True)
            cpu = float(result.stdout.split("cpu ")[-1])
            print(f"{name:40s} {cpu / SECONDS * 100:.3f}% of a core  ({cpu:.3f} s CPU per {SECONDS} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
