"""CPU time of one monitor pass, the module's own share of it.

Each monitor runs for --passes passes in one thread against stand-ins:
a clock whose pause returns at once, a prober (avwatch.subprocess) that
answers at once with a fixed JSON document, and a broker that is either a
dict in memory or the real Redis client on a redis-server started here.  The
HLS helpers read a real media server tree (the tmpfs of tools/sandbox).

For each kind of pass it prints the process CPU time per pass, what the
stand-ins (and the Redis client) account for when called alone in the same
pattern, the difference (the module's own CPU per pass), and the same pass
written in Python over the same helpers and stand-ins as the baseline, with
the ratio baseline / module.  The rows with the in-memory broker are the
module's own cost; with Redis, what is left after the client's cost measured
alone also holds decoding the client's bytes and the cache misses that the
socket round trips bring.

  output, probed:     the playlist advertises nothing, so the newest segment is probed
  output, bandwidth:  the playlist's BANDWIDTH is published
  input:              the source is probed and its record published

Run: tools/sandbox env PYTHONPATH=build/<dir> .venv/bin/python bench/monitors.py [--passes N] [--no-redis]
"""

import argparse
import json
import logging
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import types
from pathlib import Path

import avwatch

KESTREL_ROOT = Path("/usr/local/kestrel-srs")
HTML_ROOT = KESTREL_ROOT / "trunk/objs/nginx/html"
ENV_FILE = KESTREL_ROOT / "env.json"
ANSWER = json.dumps({"streams": [
    {"codec_type": "video", "codec_name": "h264", "width": 640, "height": 360, "r_frame_rate": "25/1", "id": "0x100"},
    {"codec_type": "audio", "codec_name": "aac", "sample_fmt": "fltp", "sample_rate": "48000", "channels": 2,
     "id": "0x101"}]}, indent=4) + "\n"
LIVE, STOPPED = json.dumps({"live": True}), json.dumps({"live": False})


# ---- stand-ins ----

class InstantProber:
    TimeoutExpired = subprocess.TimeoutExpired

    def __init__(self):
        self.answer = types.SimpleNamespace(returncode=0, stdout=ANSWER)

    def run(self, *args, **kwargs):
        return self.answer


class CountingClock:
    """A pause returns at once; after `passes` pauses the channel stops.
    The rest of the time module stays real."""

    def __init__(self, broker, channel_key, passes):
        self.broker, self.channel_key, self.passes = broker, channel_key, passes
        self.pauses = 0

    def sleep(self, seconds):
        self.pauses += 1
        if self.pauses == self.passes:
            self.broker.set(self.channel_key, STOPPED)

    def __getattr__(self, name):  # time.time for the freshness test
        return getattr(time, name)


class MemoryBroker:
    def __init__(self):
        self.values = {}
        self.last_set = {}  # kept after a delete, to check what a run published

    def get(self, key):
        return self.values.get(key)

    def set(self, key, value):
        self.values[key] = value
        self.last_set[key] = value

    def delete(self, key):
        self.values.pop(key, None)


# ---- the media server tree ----

def write_tree(ch_uid, bandwidth):
    ENV_FILE.write_text(json.dumps({"SRS_VHOST_HLS_HLS_FRAGMENT": "6"}))
    folder = HTML_ROOT / ch_uid / "p1"
    folder.mkdir(parents=True, exist_ok=True)
    future = time.time() + 3600
    for number in range(4):
        segment = folder / f"segment-{number}.ts"
        segment.write_bytes(b"")
        os.utime(segment, (future + number, future + number))
    (folder / "segment-4.ts.tmp").write_bytes(b"")
    (folder / "chunks.m3u8").write_text("#EXTM3U\n")
    tag = f"BANDWIDTH={bandwidth}" if bandwidth else "RESOLUTION=640x360"
    (HTML_ROOT / ch_uid / "a").mkdir(exist_ok=True)
    (HTML_ROOT / ch_uid / "a" / "playlist.m3u8").write_text(f"#EXTM3U\n#EXT-X-STREAM-INF:{tag}\n../p1/chunks.m3u8\n")


# ---- the baseline: the same passes in Python, over the module's helpers ----

def python_output_monitor(ch_uid, pipe_name, broker):
    tts_folder = str(HTML_ROOT) + "/" + f"{ch_uid}/{pipe_name}"
    playlist = tts_folder.replace(pipe_name, "a/playlist.m3u8")
    default_info = {"acodec": "", "vcodec": "", "sequence": None, "atime": "", "vtime": "", "bitrate": 0,
                    "vbitrate": 0, "abitrate": 0, "vfps": 0, "vresolution": "", "lastts": "", "name": pipe_name}
    broker.set(f"ch:{ch_uid}:in:{pipe_name}", avwatch.json.dumps(default_info))
    max_tries, current_try, sleep_time = 3, 1, 3
    while True:
        try:
            fragment_time = avwatch.get_srs_fragment_time()
            sleep_time = max(1, int(fragment_time / 2))
            channel = avwatch.json.loads(broker.get(f"ch:{ch_uid}"))
            if not channel["live"]:
                break
            out_info = default_info.copy()
            if os.path.isdir(tts_folder):
                tts_files = [name for name in os.listdir(tts_folder)
                             if not name.endswith(".tmp") and not name.startswith("chunks")]
                if not tts_files and current_try <= max_tries:
                    current_try += 1
                    continue
                if tts_files:
                    newest = max(tts_files, key=lambda name: os.path.getctime(os.path.join(tts_folder, name)))
                    ts_file = os.path.join(tts_folder, newest)
                    out_info = default_info.copy()
                    out_info["lastts"] = newest
                    if avwatch.is_ts_file_recent(ts_file, fragment_time):
                        bitrate = avwatch.get_bitrate_from_playlist(playlist, pipe_name)
                        out_info["bitrate"] = bitrate
                        if bitrate == 0:
                            info = avwatch.get_ffprobe_info(ts_file)
                            if info["bitrate"] == 0 and current_try <= max_tries:
                                current_try += 1
                                continue
                            out_info.update(info)
            current_try = 1
            broker.set(f"ch:{ch_uid}:out:{pipe_name}", avwatch.json.dumps(out_info))
        except Exception as error:
            avwatch.logging.error(f"Error in ffmpeg_output_bitrate: {error}")
        avwatch.time.sleep(sleep_time)
    broker.delete(f"ch:{ch_uid}:in:{pipe_name}")
    broker.delete(f"ch:{ch_uid}:out:{pipe_name}")


def python_input_monitor(ch_uid, pipe_name, broker):
    channel = avwatch.json.loads(broker.get(f"ch:{ch_uid}"))
    while channel["live"]:
        source = avwatch.json.loads(broker.get(f"ch:{ch_uid}:input:{pipe_name}"))
        if not source.get("uri"):
            channel = avwatch.json.loads(broker.get(f"ch:{ch_uid}"))
            avwatch.time.sleep(3)
            continue
        interface = source.get("miface") or ""
        ids = [str(source.get(field)) if source.get(field) else "" for field in ("pid", "vpid", "apid")]
        uri = source["uri"]
        if uri.startswith("udp"):
            uri = f"{uri}?localaddr={interface}"
        info = avwatch.get_ffprobe_info(uri, *ids)
        broker.set(f"ch:{ch_uid}:in:{pipe_name}", avwatch.json.dumps({**info}))
        channel = avwatch.json.loads(broker.get(f"ch:{ch_uid}"))
        avwatch.time.sleep(3)
    broker.delete(f"ch:{ch_uid}:in:{pipe_name}")


# ---- measuring ----

def cpu_per_pass(monitor, broker, ch_uid, passes):
    """Process CPU seconds per pass of `monitor` over `passes` passes."""
    broker.set(f"ch:{ch_uid}", LIVE)
    clock = CountingClock(broker, f"ch:{ch_uid}", passes)
    avwatch.time = clock
    started = time.process_time()
    monitor(ch_uid, "p1", broker)
    spent = time.process_time() - started
    # The input monitor sees the stop one pass late: it re-reads the
    # channel before its pause.
    assert clock.pauses >= passes, (clock.pauses, passes)
    return spent / clock.pauses


def stand_in_cpu_per_pass(broker, pattern, passes):
    """What the stand-ins cost alone, called as one pass calls them: `pattern`
    lists ("get"|"set"|"run"|"sleep") per pass."""
    prober, clock = avwatch.subprocess, CountingClock(MemoryBroker(), "ch:none", passes + 1)
    value = json.dumps({"a": 1})
    calls = {"get": lambda: broker.get("ch:bench"), "set": lambda: broker.set("ch:bench:x", value),
             "run": lambda: prober.run(["nice"], capture_output=True, text=True, timeout=3),
             "sleep": lambda: clock.sleep(3)}
    steps = [calls[name] for name in pattern]
    broker.set("ch:bench", LIVE)
    started = time.process_time()
    for _ in range(passes):
        for step in steps:
            step()
    return (time.process_time() - started) / passes


# Per pass: what each monitor asks of its stand-ins.
PASSES = {
    "output, probed": ("50", 0, avwatch.ffmpeg_output_bitrate, python_output_monitor, ["get", "run", "set", "sleep"]),
    "output, bandwidth": ("51", 2000000, avwatch.ffmpeg_output_bitrate, python_output_monitor, ["get", "set", "sleep"]),
    "input": ("52", None, avwatch.ffmpeg_input_bitrate, python_input_monitor, ["get", "run", "set", "get", "sleep"]),
}


def start_redis():
    if shutil.which("redis-server") is None:
        return None, None
    import redis
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
    scratch = tempfile.mkdtemp()
    server = subprocess.Popen(["redis-server", "--port", str(port), "--bind", "127.0.0.1", "--save", "",
                               "--appendonly", "no", "--dir", scratch],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    client = redis.StrictRedis(host="127.0.0.1", port=port)
    deadline = time.monotonic() + 10
    while True:
        try:
            client.ping()
            return server, client
        except redis.ConnectionError:
            if time.monotonic() > deadline:
                server.kill()
                raise
            time.sleep(0.05)


def check_kind(name, ch_uid, broker):
    """The pass measured is the kind it is named after."""
    if name == "input":
        record = json.loads(broker.last_set[f"ch:{ch_uid}:in:p1"])
        assert record["vcodec"] == "h264", record
        return
    record = json.loads(broker.last_set[f"ch:{ch_uid}:out:p1"])
    assert record["lastts"] == "segment-3.ts", record
    assert (record["vcodec"] == "h264") == (name == "output, probed"), record
    assert record["bitrate"] > 0, record


def report(label, brokers, passes):
    print(f"{label}")
    print(f"  {'pass':<18} {'broker':<7} {'total':>9} {'stand-ins':>10} {'module':>9} {'python':>9} {'ratio':>6}"
          "   (CPU µs per pass; python = the same pass in Python, minus the stand-ins)")
    for name, (ch_uid, bandwidth, monitor, baseline, pattern) in PASSES.items():
        if bandwidth is not None:
            write_tree(ch_uid, bandwidth)
        for broker_name, broker in brokers.items():
            if bandwidth is None:
                broker.set(f"ch:{ch_uid}:input:p1", json.dumps({"uri": "udp://239.0.0.1:1234", "miface": "127.0.0.1",
                                                                "pid": 1, "vpid": 256, "apid": 257}))
            for run in (monitor, baseline):  # warm up, and check what is measured
                cpu_per_pass(run, broker, ch_uid, max(passes // 10, 1))
                if broker_name == "memory":
                    check_kind(name, ch_uid, broker)
            total = min(cpu_per_pass(monitor, broker, ch_uid, passes) for _ in range(3))
            python = min(cpu_per_pass(baseline, broker, ch_uid, passes) for _ in range(3))
            stand_ins = min(stand_in_cpu_per_pass(broker, pattern, passes) for _ in range(3))
            own, python_own = total - stand_ins, python - stand_ins
            print(f"  {name:<18} {broker_name:<7} {total * 1e6:9.1f} {stand_ins * 1e6:10.1f} {own * 1e6:9.1f} "
                  f"{python_own * 1e6:9.1f} {python_own / own:6.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--passes", type=int, default=5000, help="passes per measurement (default 5000)")
    parser.add_argument("--no-redis", action="store_true", help="the in-memory broker only")
    options = parser.parse_args()
    if os.environ.get("AVWATCH_SANDBOX") != "1":
        sys.exit("run under tools/sandbox: the bench writes a media server tree at " + str(KESTREL_ROOT))

    avwatch.subprocess = InstantProber()
    avwatch.logging = types.SimpleNamespace(error=logging.getLogger("bench").error)
    brokers = {"memory": MemoryBroker()}
    server = None
    if not options.no_redis:
        server, client = start_redis()
        if client is not None:
            brokers["redis"] = client
    try:
        report(f"avwatch {Path(avwatch.__file__).name}, {options.passes} passes per figure, best of 3",
               brokers, options.passes)
    finally:
        if server is not None:
            server.terminate()
            server.wait()


if __name__ == "__main__":
    main()
