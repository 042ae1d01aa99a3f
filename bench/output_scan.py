"""Cost of one output-monitor pass against the segment selection in Python.

For folders of 100, 1,000, 10,000 and 100,000 segments (plus a few ".tmp"
and "chunks" names), measured in the same run:

  (1) avwatch.ffmpeg_output_bitrate doing one publishing pass: fragment
      lookup, channel read, native scan, freshness test, playlist bandwidth
      (the playlist advertises one, so no probe) and publish, with its start
      and its stop; the broker is an in-memory stand-in and the pause returns
      at once, so the figure is the module's own work
  (2) the selection alone, as the interpreter makes it: os.listdir, the two
      name tests, max with os.path.getctime as key
  (3) the floor: readdir and one fstatat per entry in C++ (bench/scan_floor.cpp,
      built here with g++), with no interpreter at all

Prints the median times, (2)/(1) and (1)/(3) per size (targets: (2)/(1) at
least 3 from 10,000 segments on; (1)/(3) at most 1.5 from 1,000 on, where
the scan outweighs the pass's fixed work).

Run inside the sandbox (the monitor reads the media server's fixed tree):
  tools/sandbox env PYTHONPATH=build/<dir> .venv/bin/python bench/output_scan.py [--rounds-scale X]
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import avwatch
from timing import median_seconds

KESTREL_ROOT = Path("/usr/local/kestrel-srs")
HTML_ROOT = KESTREL_ROOT / "trunk/objs/nginx/html"
ENV_FILE = KESTREL_ROOT / "env.json"
PIPE = "p1"
SIZES = {100: 300, 1_000: 100, 10_000: 20, 100_000: 5}  # segments: timed rounds


class MemoryBroker:
    """get/set/delete on a dict: the pass's own cost without a network."""

    def __init__(self):
        self.values = {}

    def get(self, key):
        return self.values.get(key)

    def set(self, key, value):
        self.values[key] = value

    def delete(self, key):
        self.values.pop(key, None)


class OnePass:
    """Stands in for avwatch.time: the first pause switches the channel off,
    so a monitor call makes exactly one publishing pass."""

    def __init__(self, broker, channel_key):
        self.broker = broker
        self.channel_key = channel_key

    def sleep(self, seconds):
        self.broker.values[self.channel_key] = '{"live": false}'

    time = staticmethod(time.time)


def python_selection(folder):
    names = [name for name in os.listdir(folder) if not name.endswith(".tmp") and not name.startswith("chunks")]
    return max(names, key=lambda name: os.path.getctime(os.path.join(folder, name)))


def build_floor(directory):
    """Compiles the floor program; its path."""
    source = Path(__file__).with_name("scan_floor.cpp")
    program = Path(directory) / "scan_floor"
    subprocess.run(["g++", "-O2", "-std=c++20", "-o", str(program), str(source)], check=True)
    return program


def floor_seconds(program, folder, rounds):
    result = subprocess.run([str(program), str(folder), str(rounds)], capture_output=True, text=True, check=True)
    return float(result.stdout)


def fill(folder, count):
    folder.mkdir(parents=True)
    for number in range(count):
        (folder / f"segment-{number:06d}.ts").write_bytes(b"")
    for extra in ("segment-999999.ts.tmp", "chunks.m3u8", "chunks.m3u8.tmp"):
        (folder / extra).write_bytes(b"")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds-scale", type=float, default=1.0, help="multiply the timed rounds per size")
    options = parser.parse_args()
    if os.environ.get("AVWATCH_SANDBOX") != "1":
        sys.exit("run inside tools/sandbox: the monitor reads /usr/local/kestrel-srs")

    HTML_ROOT.mkdir(parents=True, exist_ok=True)
    channel_folder = Path(tempfile.mkdtemp(prefix="bench-", dir=HTML_ROOT))
    ch_uid = channel_folder.name
    env_before = ENV_FILE.read_bytes() if ENV_FILE.exists() else None
    ENV_FILE.write_text(json.dumps({"SRS_VHOST_HLS_HLS_FRAGMENT": "6"}))
    (channel_folder / "a").mkdir()
    (channel_folder / "a/playlist.m3u8").write_text(f"#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=2000000\n"
                                                    f"../{PIPE}/chunks.m3u8\n")
    broker = MemoryBroker()
    channel_key = f"ch:{ch_uid}"
    real_time = avwatch.time
    avwatch.time = OnePass(broker, channel_key)

    def one_pass():
        broker.values[channel_key] = '{"live": true}'
        avwatch.ffmpeg_output_bitrate(ch_uid, PIPE, broker)
        return broker.values

    floor_directory = tempfile.mkdtemp(prefix="bench-floor-")
    floor_program = build_floor(floor_directory)
    print(f"{'segments':>9} {'(1) pass':>12} {'(2) Python':>12} {'(3) floor':>12} {'(2)/(1)':>8} {'(1)/(3)':>8}")
    try:
        for count, rounds in SIZES.items():
            folder = channel_folder / PIPE
            fill(folder, count)
            published = {}
            avwatch_set = broker.set

            def capture(key, value):
                published[key] = value
                avwatch_set(key, value)

            broker.set = capture
            one_pass()
            broker.set = avwatch_set
            record = json.loads(published[f"ch:{ch_uid}:out:{PIPE}"])
            assert record["bitrate"] == 2000000, record
            assert record["lastts"] == python_selection(folder), (record["lastts"], python_selection(folder))

            rounds = max(3, round(rounds * options.rounds_scale))
            native = median_seconds(one_pass, rounds)
            python = median_seconds(lambda: python_selection(folder), rounds)
            floor = floor_seconds(floor_program, folder, rounds)
            print(f"{count:>9,} {native * 1000:>9.3f} ms {python * 1000:>9.3f} ms {floor * 1000:>9.3f} ms"
                  f" {python / native:>8.1f} {native / floor:>8.2f}", flush=True)
            shutil.rmtree(folder)
    finally:
        avwatch.time = real_time
        shutil.rmtree(channel_folder)
        shutil.rmtree(floor_directory)
        if env_before is None:
            ENV_FILE.unlink()
        else:
            ENV_FILE.write_bytes(env_before)
    print("targets: (2)/(1) >= 3 from 10,000 segments on, (1)/(3) <= 1.5 from 1,000 on")


if __name__ == "__main__":
    main()
