"""Probe cost on one generated segment (4 s of 1280x720 h264 + aac):

  (1) avwatch.get_ffprobe_info
  (2) subprocess.run of the plain 16-argument chain (nice, cpulimit, ffprobe)
      with capture_output, text and timeout 3: what a literal probe pays,
      waiting on the wrapper's lingering limiter
  (3) bare ffprobe with the same ffprobe arguments

Prints the median wall time of each and the ratios (1)/(3) (target: at most
1.15) and (2)/(1) (target: at least 20).

Run: PYTHONPATH=build/<dir> .venv/bin/python bench/probe.py [--rounds N]
"""

import argparse
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))

import avwatch  # noqa: E402
from media import make_ts_file  # noqa: E402
from timing import median_seconds  # noqa: E402

FFPROBE_ARGUMENTS = ["-v", "quiet", "-show_entries",
                     "stream=codec_type,codec_name,sample_fmt,sample_rate,channels,bit_rate,width,height,"
                     "bits_per_raw_sample,r_frame_rate,id", "-of", "json", "-i"]
WRAPPERS = ["nice", "-n", "5", "cpulimit", "-l", "60", "--"]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=15, help="timed runs of (1) and (3)")
    parser.add_argument("--literal-rounds", type=int, default=5, help="timed runs of (2), about 2 s each")
    options = parser.parse_args()

    with tempfile.TemporaryDirectory() as scratch:
        segment = str(make_ts_file(Path(scratch) / "segment.ts"))
        literal = WRAPPERS + ["ffprobe"] + FFPROBE_ARGUMENTS + [segment]
        bare = ["ffprobe"] + FFPROBE_ARGUMENTS + [segment]

        record = avwatch.get_ffprobe_info(segment)
        assert record["vcodec"] == "h264" and record["acodec"] == "aac", record

        probe = median_seconds(lambda: avwatch.get_ffprobe_info(segment), options.rounds)
        plain = median_seconds(lambda: subprocess.run(literal, capture_output=True, text=True, timeout=3),
                               options.literal_rounds)
        ffprobe = median_seconds(lambda: subprocess.run(bare, capture_output=True), options.rounds)

    print(f"(1) get_ffprobe_info           median {probe * 1000:8.1f} ms")
    print(f"(2) literal subprocess.run     median {plain * 1000:8.1f} ms")
    print(f"(3) bare ffprobe               median {ffprobe * 1000:8.1f} ms")
    print(f"(1)/(3) = {probe / ffprobe:.2f}   (target <= 1.15)")
    print(f"(2)/(1) = {plain / probe:.1f}   (target >= 20)")


if __name__ == "__main__":
    main()
