"""`avwatch host` against a real Redis, with channels started and stopped
under it, inputs over UDP and HLS folders ffmpeg writes, beside the
per-pipe `avwatch monitor` for the same kind of pipes."""

import json
import os
import shutil
import signal
import socket
import threading
import time

import pytest

from avwatch_cli.host.selection import Selection, shard_of
from hls_standin import HlsStandIn
from machine import command_lines, free_port, processes_naming
from media import UdpSender

HTML = "trunk/objs/nginx/html"
# What a probe of the same stream measures alike (bitrates vary a little).
STREAM_FIELDS = ("acodec", "vcodec", "vresolution", "vfps")


def wait_for(condition, timeout=30, what="condition"):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, f"timed out waiting for {what() if callable(what) else what}"
        time.sleep(0.1)


class Lines:
    def __init__(self, process):
        self.lines: list[str] = []
        threading.Thread(target=self._read, args=(process.stderr,), daemon=True).start()

    def _read(self, stream):
        for line in stream:
            self.lines.append(line.rstrip("\n"))

    def has(self, text) -> bool:
        return any(text in line for line in self.lines)

    def __str__(self):
        return "\n".join(self.lines[-60:])


def start_channel(broker, ch_uid, uri, live=True):
    broker.set(f"ch:{ch_uid}:input:main", json.dumps({"uri": uri, "miface": "127.0.0.1", "pid": 1,
                                                       "vpid": 256, "apid": 257}))
    broker.set(f"ch:{ch_uid}", json.dumps({"live": live}))


def record(broker, key):
    raw = broker.get(key)
    return json.loads(raw) if raw is not None else None


def pipe_keys(ch_uid):
    return {kind: f"ch:{ch_uid}:{kind}:main" for kind in ("in", "out", "ts", "hls")}


def shape(value):
    """A record's field names, nested, without its values (nor the error
    kinds seen so far, which depend on the moment)."""
    if isinstance(value, dict):
        return {key: shape(item) for key, item in value.items() if key != "error_times"}
    if isinstance(value, list):
        return [shape(value[0])] if value else []
    return type(value).__name__ if value is not None else None


def same_shape(one, other) -> bool:
    """The same fields with values of the same kinds, a null matching any:
    what the analysers know yet (a loudness needs 3 s of sound, a
    thumbnail a key frame) depends on the moment."""
    if one is None or other is None:
        return True
    if isinstance(one, dict) and isinstance(other, dict):
        return one.keys() == other.keys() and all(same_shape(one[key], other[key]) for key in one)
    if isinstance(one, list) and isinstance(other, list):
        return not one or not other or same_shape(one[0], other[0])
    return type(one) is type(other)


def ready(broker, ch_uid) -> bool:
    records = {kind: record(broker, key) for kind, key in pipe_keys(ch_uid).items()}
    return (all(records.values()) and records["in"].get("vcodec") == "h264"
            and records["out"].get("vcodec") == "h264" and records["ts"].get("bitrate", 0) > 0
            # The delay factor is null until the analyser has a long-run rate to drain at.
            and records["ts"].get("delay_factor_ms") is not None)


def stop(process, signum=signal.SIGTERM, timeout=30):
    if process.poll() is None:
        process.send_signal(signum)
    try:
        process.wait(timeout)
    except Exception:
        process.kill()
        process.wait()
        raise


@pytest.fixture
def media(kestrel_root):
    started = []

    def make(kind, *args, **options):
        thing = kind(*args, **options).start()
        started.append(thing)
        return thing
    yield make
    for thing in started:
        thing.stop()


def test_host_pipes_publish_as_the_per_pipe_monitor_and_follow_the_channels(
        broker, redis_url, kestrel_root, avwatch_command, media):
    """Channel 7 in the host and channel 9 under `avwatch monitor`, each with a
    live input and HLS output; channel 8 in the host and 10 under `avwatch
    monitor`, each with a silent input and fresh segments but no playlist
    (every output pass fails); channel 5 live but not the host's.  Then 7
    stops, 6 starts and 8's source record turns bad: the host follows, the
    others publish on."""
    html = kestrel_root / HTML
    fresh = [html / ch_uid / "main" / "segment-000001.ts" for ch_uid in ("8", "10")]
    for segment in fresh:
        segment.parent.mkdir(parents=True)
        segment.write_bytes(b"\x47" + bytes(187))
    touching = threading.Event()

    def touch():
        while not touching.wait(0.5):
            for segment in fresh:
                segment.touch()
    threading.Thread(target=touch, daemon=True).start()
    for ch_uid in ("7", "9"):
        start_channel(broker, ch_uid, media(UdpSender, free_port(socket.SOCK_DGRAM)).uri)
        media(HlsStandIn, html, ch_uid, "main", fragment=1)
    silent = f"udp://127.0.0.1:{free_port(socket.SOCK_DGRAM)}"
    start_channel(broker, "8", silent)
    start_channel(broker, "10", silent)
    start_channel(broker, "5", silent)
    host = avwatch_command.start("host", "--redis", redis_url, "--channels", "5,6,7", "--channels", "8",
                                 "--match", "[6-9]", "--scan-period", "2", "--hls-workers", "2")
    monitors = [avwatch_command.start("monitor", "--redis", redis_url, "--channel", ch_uid, "--pipe", "main")
                for ch_uid in ("9", "10")]
    lines = Lines(host)
    try:
        wait_for(lambda: ready(broker, "7") and ready(broker, "9"), 60,
                 lambda: f"both healthy pipes' records: {[record(broker, k) for k in [*pipe_keys(7).values(), *pipe_keys(9).values()]]} {lines}")
        wait_for(lambda: broker.exists("avwatch:reason:ch:8:out:main", "avwatch:reason:ch:10:out:main") == 2,
                 what="the reasons")
        for kind, key in pipe_keys(7).items():
            hosted, alone = shape(record(broker, key)), shape(record(broker, key.replace(":7:", ":9:")))
            assert same_shape(hosted, alone), (kind, hosted, alone)
        for kind in ("in", "out"):
            hosted, alone = (record(broker, f"ch:{ch}:{kind}:main") for ch in (7, 9))
            assert [hosted[field] for field in STREAM_FIELDS] == [alone[field] for field in STREAM_FIELDS], kind
        # The silent input's probe answers when its time is up: then both say the same.
        for kind in ("in", "out"):
            wait_for(lambda: record(broker, f"ch:8:{kind}:main") == record(broker, f"ch:10:{kind}:main"),
                     what=lambda: f"{kind}: {record(broker, f'ch:8:{kind}:main')} {record(broker, f'ch:10:{kind}:main')}")
        # The module's error lines reach the reason of the pipe whose monitor logged them, and no other.
        reasons = [f"avwatch:reason:ch:{ch}:out:main" for ch in ("8", "10")]
        wait_for(lambda: "No such file" in record(broker, reasons[1])["reason"]
                 and record(broker, reasons[0])["reason"] == record(broker, reasons[1])["reason"].replace("/10/", "/8/"),
                 what=lambda: f"{record(broker, reasons[0])} {record(broker, reasons[1])}")
        assert broker.exists("avwatch:reason:ch:7:out:main") == 0
        assert set(broker.keys("ch:5*")) == {b"ch:5", b"ch:5:input:main"}, "channel 5 is not the host's"

        # Channel 7 stops: its records go as the per-pipe monitor's go.
        broker.set("ch:7", json.dumps({"live": False}))
        wait_for(lambda: broker.exists(*pipe_keys(7).values()) == 0, what="channel 7's records deleted")
        assert lines.has("input monitor ended: channel ch:7 stopped")
        # Channel 6 starts under the running host.
        start_channel(broker, "6", media(UdpSender, free_port(socket.SOCK_DGRAM)).uri)
        wait_for(lambda: (record(broker, "ch:6:in:main") or {}).get("vcodec") == "h264", what="channel 6 probed")
        # A monitor of channel 8 fails: 8 is started again, 6 publishes on.
        broker.set("ch:8:input:main", json.dumps({"uri": 5}))
        wait_for(lambda: lines.has("input monitor failed on its source record"), what="8's failure")
        stamp = record(broker, "ch:6:ts:main")
        wait_for(lambda: record(broker, "ch:6:ts:main") != stamp, what="6's analysis going on")
        # Mended, it starts again at once.
        broker.set("ch:8:input:main", json.dumps({"uri": silent}))
        wait_for(lambda: sum("input monitor started for ch:8" in line for line in lines.lines) == 2,
                 what=lambda: f"8 started again: {lines}")
        assert host.poll() is None, str(lines)
    finally:
        touching.set()
        for process in (host, *monitors):
            stop(process)
    assert host.returncode == 130, str(lines)
    assert lines.has("input monitor stopped") and lines.has("output monitor stopped")


def test_a_missing_folder_and_a_dead_input_leave_the_others_publishing(
        broker, redis_url, kestrel_root, avwatch_command, media):
    html = kestrel_root / HTML
    start_channel(broker, "1", media(UdpSender, free_port(socket.SOCK_DGRAM)).uri)
    media(HlsStandIn, html, "1", "main", fragment=1)
    dead = media(UdpSender, free_port(socket.SOCK_DGRAM))
    start_channel(broker, "2", dead.uri)
    output = media(HlsStandIn, html, "2", "main", fragment=1)
    host = avwatch_command.start("host", "--redis", redis_url, "--scan-period", "2")
    lines = Lines(host)
    try:
        wait_for(lambda: ready(broker, "1") and ready(broker, "2"), 60, "both pipes' records")
        dead.stop()
        output.stop()
        shutil.rmtree(html / "2")
        wait_for(lambda: (record(broker, "ch:2:in:main") or {}).get("vcodec") == ""
                 or record(broker, "ch:2:in:main").get("bitrate") == 0, what="2's input seen gone")
        wait_for(lambda: record(broker, "ch:2:hls:main")["problems"], what="2's output problems")
        before = {kind: record(broker, key) for kind, key in pipe_keys(1).items() if kind in ("ts", "hls")}
        wait_for(lambda: all(record(broker, pipe_keys(1)[kind]) != value for kind, value in before.items()),
                 what="1 publishing on")
        assert ready(broker, "1")
    finally:
        stop(host)
    assert host.returncode == 130, str(lines)


def probers(port):
    return [pid for pid in processes_naming(f"127.0.0.1:{port}")
            if os.path.basename(command_lines().get(pid, [""])[0]) in ("nice", "cpulimit", "ffprobe")]


def test_a_killed_host_leaves_no_prober(broker, redis_url, kestrel_root, avwatch_command):
    ports = [free_port(socket.SOCK_DGRAM) for _ in range(3)]
    for index, port in enumerate(ports):
        # Nothing sends there: each probe waits out its limit.
        start_channel(broker, f"k{index}", f"udp://127.0.0.1:{port}")
    host = avwatch_command.start("host", "--redis", redis_url, "--no-analysis")
    try:
        wait_for(lambda: all(probers(port) for port in ports), 30, "a probe of every pipe")
    finally:
        host.kill()
        host.wait()
    wait_for(lambda: not any(probers(port) for port in ports), 10, "the probers gone")


@pytest.mark.parametrize("shares", [1, 2, 3, 7])
def test_shards_split_every_channel_once(shares):
    ids = [str(n) for n in range(300)] + ["eu-1", "ü", "a:in:b"]
    owners = {ch: [k for k in range(1, shares + 1) if ch in Selection(shard=(k, shares))] for ch in ids}
    assert all(len(found) == 1 for found in owners.values())
    counts = [sum(found == [k] for found in owners.values()) for k in range(1, shares + 1)]
    assert min(counts) > len(ids) / shares / 2
    assert all(shard_of(ch, shares) == owners[ch][0] for ch in ids)


@pytest.mark.parametrize("arguments, message", [
    (["--shard", "0/3"], "K counts from 1 to N"),
    (["--shard", "three"], "--shard wants K/N"),
    (["--channels", ","], "names no channel id"),
    (["--hls-workers", "0"], "--hls-workers at least 1"),
])
def test_bad_selection(avwatch_command, redis_url, arguments, message):
    result = avwatch_command.run("host", "--redis", redis_url, *arguments)
    assert result.returncode == 2 and message in result.stderr
