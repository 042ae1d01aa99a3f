"""A hundred thousand calls of every public function, on their good and their
failing paths alike, leave the process as they found it: no Python objects,
C heap or resident memory gained, no file descriptor and no child process
left open.  The slow parts stand in for themselves cheaply (a prober through
avwatch.subprocess, a clock that does not wait, a broker in memory); the file
system is the real one."""

import gc
import json
import os
import socket
import sys
import threading
import time
import tracemalloc

import pytest

import avwatch
from footprint import Footprint, under_address_sanitizer
from machine import free_port, processes_naming
from proof_fakes import ENV_FILE, HTML_ROOT, PROBER_OUTCOMES, CyclingProber, MemoryBroker, SilentLog, StoppingClock

CALLS = 100_000
WARM_UP = 2_000

# What a leak of one small object, or one small C++ block, in a fraction of
# the calls would exceed many times over; what caches and allocator
# rounding stay well inside.
MAX_PYTHON_GROWTH = 256 * 1024
MAX_HEAP_GROWTH = 256 * 1024
MAX_RSS_GROWTH = 2 * 1024 * 1024


# ---- the media server's tree, as the helpers and the output monitor read it ----

PLAYLIST_WITHOUT_BANDWIDTH = "#EXTM3U\n#EXT-X-STREAM-INF:RESOLUTION=640x360\n../{pipe}/chunks.m3u8\n"
PLAYLIST_WITH_BANDWIDTH = "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=2000000\n../{pipe}/chunks.m3u8\n"
PLAYLIST_UNPARSABLE = "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=2000000,RESOLUTION=640x360\n../{pipe}/chunks.m3u8\n"


def channel_tree(ch_uid, segments=(), playlist=None, pipe="p1"):
    """The channel's segment folder (None: no folder) and its playlist
    (None: no playlist file); returns the segment folder's path."""
    folder = HTML_ROOT / ch_uid / pipe
    if segments is not None:
        folder.mkdir(parents=True)
        future = time.time() + 3600  # fresh for the whole test
        for name in segments:
            (folder / name).write_bytes(b"")
            os.utime(folder / name, (future, future))
    if playlist is not None:
        (HTML_ROOT / ch_uid / "a").mkdir(parents=True, exist_ok=True)
        (HTML_ROOT / ch_uid / "a" / "playlist.m3u8").write_text(playlist.format(pipe=pipe))
    return folder


@pytest.fixture
def prober(monkeypatch):
    fake = CyclingProber()
    monkeypatch.setattr(avwatch, "subprocess", fake)
    return fake


@pytest.fixture
def memory_broker(monkeypatch):
    broker = MemoryBroker()
    monkeypatch.setattr(avwatch, "time", StoppingClock(broker))
    monkeypatch.setattr(avwatch, "logging", SilentLog())
    return broker


class Workload:
    """Calls, one after another and round and round, each a function, its
    arguments and the errors it may raise (swallowed).  The arguments are
    watched: a call that kept a reference to one would show in its count."""

    def __init__(self, *calls):
        self.calls = calls
        self.count = 0
        self.watched = [argument for _, arguments, _ in calls for argument in arguments]

    def __call__(self):
        function, arguments, allowed = self.calls[self.count % len(self.calls)]
        self.count += 1
        try:
            function(*arguments)
        except allowed:
            pass

    def reference_counts(self):
        return [sys.getrefcount(argument) for argument in self.watched]


def fresh(text):
    """A str of its own: literals are interned, and interned strings are
    immortal, so their reference counts never move."""
    return "".join(list(text))


NOTHING = ()


# ---- one workload per public function ----

def conversions_to_int(kestrel_root):
    to_int = avwatch.to_int
    return Workload((to_int, (fresh("128000"),), NOTHING), (to_int, (29.97,), NOTHING),
                    (to_int, (fresh(" 1e3 "),), NOTHING), (to_int, (fresh("N/A"),), ValueError),
                    (to_int, (None,), TypeError), (to_int, (fresh("inf"),), OverflowError),
                    (to_int, (2**1100,), OverflowError))


def conversions_bit_depth(kestrel_root):
    names = [(fresh(name),) for name in ("s16", "fltp", "dbl", "u8")]
    return Workload(*[(avwatch.get_bit_depth, name, NOTHING) for name in names],
                    (avwatch.get_bit_depth, (None,), TypeError), (avwatch.get_bit_depth, ([fresh("s16")],), NOTHING))


def probe(kestrel_root):
    # The prober's round of outcomes runs under each kind of source.
    probe = avwatch.get_ffprobe_info
    return Workload((probe, (fresh("/seg.ts"),), IndexError),
                    (probe, (fresh("udp://239.0.0.1:1234?localaddr="), fresh("1"), fresh("256"), fresh("257")),
                     IndexError),
                    (probe, (fresh("udp://239.0.0.1:1234"), fresh("1"), "", fresh("0x101")), (IndexError, ValueError)),
                    (probe, (None,), AttributeError))


def freshness(kestrel_root):
    channel_tree("42", ["segment-1.ts"])
    segment = str(HTML_ROOT / "42" / "p1" / "segment-1.ts")
    missing = str(HTML_ROOT / "42" / "p1" / "gone.ts")
    recent = avwatch.is_ts_file_recent
    return Workload((recent, (segment, 6), NOTHING), (recent, (missing, 6), NOTHING),
                    (recent, (segment, None), NOTHING), (recent, (b"\0", 6), NOTHING))


def playlist(kestrel_root):
    paths = {}
    for name, content in (("plain", PLAYLIST_WITHOUT_BANDWIDTH), ("bandwidth", PLAYLIST_WITH_BANDWIDTH),
                          ("unparsable", PLAYLIST_UNPARSABLE)):
        paths[name] = str(kestrel_root / f"{name}.m3u8")
        with open(paths[name], "w") as file:
            file.write(content.format(pipe="p1"))
    (kestrel_root / "latin1.m3u8").write_bytes(b"\xff\xfe\n")
    read = avwatch.get_bitrate_from_playlist
    pipe = fresh("p1")
    return Workload((read, (paths["plain"], pipe), NOTHING), (read, (paths["bandwidth"], pipe), NOTHING),
                    (read, (paths["unparsable"], pipe), ValueError),
                    (read, (str(kestrel_root / "none.m3u8"), pipe), FileNotFoundError),
                    (read, (str(kestrel_root / "latin1.m3u8"), pipe), UnicodeDecodeError),
                    (read, (paths["plain"], None), TypeError))


def fragment_time(kestrel_root):
    # The environment file stays at its one fixed path: a link there points
    # at each content in turn, and a dangling one means no file.
    contents = [json.dumps({"SRS_VHOST_HLS_HLS_FRAGMENT": "2"}), json.dumps({"SRS_VHOST_HLS_HLS_FRAGMENT": 2.5}),
                "{not json", json.dumps([1]), json.dumps({"other": 1}), b"\xff\xfe"]
    targets = []
    for number, content in enumerate(contents):
        path = kestrel_root / f"env-{number}.json"
        path.write_bytes(content if isinstance(content, bytes) else content.encode())
        targets.append(path)
    targets.append(kestrel_root / "missing.json")

    def read_with(target):
        ENV_FILE.unlink(missing_ok=True)
        ENV_FILE.symlink_to(target)
        avwatch.get_srs_fragment_time()
    return Workload(*[(read_with, (target,), NOTHING) for target in targets])


def run_monitor(monitor, broker, ch_uid, pipe_name):
    broker.live = True
    monitor(ch_uid, pipe_name, broker)


def output_monitor(kestrel_root, broker):
    # Each channel drives a different kind of pass: probed (with every
    # prober outcome in turn, retries and logged errors included), playlist
    # bandwidth, no folder, only excluded names, playlist missing (logged).
    ENV_FILE.write_text(json.dumps({"SRS_VHOST_HLS_HLS_FRAGMENT": "6"}))
    channel_tree("40", ["segment-1.ts", "segment-2.ts", "x.tmp"], PLAYLIST_WITHOUT_BANDWIDTH)
    channel_tree("41", ["segment-1.ts"], PLAYLIST_WITH_BANDWIDTH)
    channel_tree("42", None)
    channel_tree("43", ["chunks.m3u8", "segment-3.ts.tmp"])
    channel_tree("44", ["segment-1.ts"], None)
    calls = []
    for ch_uid in ("40", "41", "42", "43", "44"):
        broker.add_channel(ch_uid)
        calls.append((run_monitor, (avwatch.ffmpeg_output_bitrate, broker, fresh(ch_uid), fresh("p1")), NOTHING))
    return Workload(*calls)


def input_monitor(kestrel_root, broker):
    sources = {
        "50": {"uri": "srt://127.0.0.1:9000", "pid": 1, "vpid": 256, "apid": 257},
        "51": {"uri": "udp://239.0.0.1:1234", "miface": "127.0.0.1", "pid": "1", "vpid": "256", "apid": "257"},
        "52": {"uri": ""},
        "53": None,          # no input source key: TypeError
        "54": {"uri": 7},    # AttributeError
    }
    calls = []
    for ch_uid, source in sources.items():
        broker.add_channel(ch_uid)
        if source is not None:
            broker.set(f"ch:{ch_uid}:input:p1", json.dumps(source))
        calls.append((run_monitor, (avwatch.ffmpeg_input_bitrate, broker, fresh(ch_uid), fresh("p1")),
                      (TypeError, AttributeError, IndexError, ValueError)))
    return Workload(*calls)


WORKLOADS = {
    "to_int": conversions_to_int,
    "get_bit_depth": conversions_bit_depth,
    "get_ffprobe_info": probe,
    "is_ts_file_recent": freshness,
    "get_bitrate_from_playlist": playlist,
    "get_srs_fragment_time": fragment_time,
    "ffmpeg_output_bitrate": output_monitor,
    "ffmpeg_input_bitrate": input_monitor,
}
MONITORS = {"ffmpeg_output_bitrate", "ffmpeg_input_bitrate"}


@pytest.mark.parametrize("function", WORKLOADS)
def test_a_hundred_thousand_calls_leave_nothing_behind(function, kestrel_root, prober, memory_broker):
    workload = WORKLOADS[function]
    call = workload(kestrel_root, memory_broker) if function in MONITORS else workload(kestrel_root)
    call.watched += PROBER_OUTCOMES
    # Under AddressSanitizer every Python allocation goes through its
    # allocator (PYTHONMALLOC=malloc), whose count the heap reading is;
    # tracing them as well would only triple the time.
    trace_python = not under_address_sanitizer()

    if trace_python:
        tracemalloc.start()
    try:
        for _ in range(WARM_UP):
            call()
        gc.collect()
        counts = call.reference_counts()
        before = Footprint.take()
        started = time.perf_counter()
        for _ in range(CALLS):
            call()
        elapsed = time.perf_counter() - started
        gc.collect()
        after = Footprint.take()
        counts_after = call.reference_counts()
    finally:
        tracemalloc.stop()

    growth = before.growth(after)
    print(f"{function}: {CALLS} calls in {elapsed:.2f} s, growth {growth}")
    assert growth["new_fds"] == [] and growth["new_children"] == [], growth
    assert growth["python_bytes"] <= MAX_PYTHON_GROWTH, growth
    assert growth["heap_bytes"] <= MAX_HEAP_GROWTH, growth
    if not under_address_sanitizer():  # its quarantine holds freed memory resident
        assert growth["rss_bytes"] <= MAX_RSS_GROWTH, growth
    kept = [(argument, later - earlier) for argument, earlier, later in zip(call.watched, counts, counts_after)
            if later - earlier > CALLS // 100]
    assert kept == []


# ---- the real prober chain on a source that never answers ----

SILENT_PROBES = 30


def test_thirty_silent_probes_leave_no_process_behind(monkeypatch):
    import subprocess
    monkeypatch.setattr(avwatch, "subprocess", subprocess)
    port = str(free_port(socket.SOCK_DGRAM))
    uri = f"udp://127.0.0.1:{port}?localaddr=127.0.0.1"
    before = Footprint.take()
    results = []

    def probe():
        results.append(avwatch.get_ffprobe_info(uri, "1", "256", "257"))

    # Each waits out its 3 s limit; side by side they take about that long.
    threads = [threading.Thread(target=probe) for _ in range(SILENT_PROBES)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(30)
    assert not any(thread.is_alive() for thread in threads)
    assert len(results) == SILENT_PROBES
    assert all(record["vresolution"] == "" and record["bitrate"] == 0 for record in results)

    # The whole group was killed; a killed process may take a moment to exit.
    deadline = time.monotonic() + 1
    while processes_naming(port) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert processes_naming(port) == []
    after = Footprint.take()
    assert after.fds == before.fds
    assert after.children == before.children
