"""What a media server's folder may hold that a check must survive: FIFOs,
symlinks leading out, one file under many names, more bytes than a check
may read, absurd figures; and a Ctrl-C in the middle of a check."""

import json
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from avwatch_analysis import HlsOutput

from cli.conftest import Avwatch, REPO  # noqa: F401  (the checkout's CLI on the path)
from avwatch_cli.analyze.hls_publisher import HlsPublisher, media_playlist_for

HEADER = "#EXTM3U\n#EXT-X-TARGETDURATION:2\n"
# A null packet: enough MPEG-TS for the segment to be read as such.
PACKET = b"\x47\x1f\xff\x10" + b"\xff" * 184


def playlist_of(folder, uris, duration="2"):
    path = folder / "chunks.m3u8"
    path.write_text(HEADER + "".join(f"#EXTINF:{duration},\n{uri}\n" for uri in uris))
    return path


def rchar():
    """Bytes this process has read through read(2)."""
    with open("/proc/self/io") as io:
        return next(int(line.split()[1]) for line in io if line.startswith("rchar"))


def bytes_read_by(call):
    """What `call` read, and its result."""
    before = rchar()
    result = call()
    return rchar() - before, result


def in_json(record):
    """The record as the monitor publishes it: strict JSON, 64-bit numbers."""
    json.dumps(record, allow_nan=False)
    for key, value in record.items():
        if isinstance(value, int) and not isinstance(value, bool):
            assert -2**63 <= value < 2**63, key
    return record


# ---- figures ----

@pytest.mark.parametrize("body, expected", [
    # A tiny EXTINF over real bytes: no rate rather than a wrapped one.
    ("#EXTINF:0.00000000000000000001,\na.ts\n", None),
    # Durations each finite, their sum not: refused one by one.
    ("".join(f"#EXTINF:{'9' * 308},\na.ts\n" for _ in range(3)), "unreadable EXTINF duration"),
    ("#EXT-X-MEDIA-SEQUENCE:9223372036854775807\n#EXTINF:2,\na.ts\n#EXTINF:2,\na.ts\n",
     "unreadable EXT-X-MEDIA-SEQUENCE"),
    ("#EXT-X-DISCONTINUITY-SEQUENCE:9223372036854775807\n#EXTINF:2,\na.ts\n",
     "unreadable EXT-X-DISCONTINUITY-SEQUENCE"),
])
def test_figures_stay_finite_and_in_range(tmp_path, body, expected):
    (tmp_path / "a.ts").write_bytes(PACKET * 100)
    playlist = tmp_path / "chunks.m3u8"
    playlist.write_text(HEADER + body)
    output = HlsOutput(playlist)
    for _ in range(2):
        record = in_json(output.check())
        assert record["bitrate"] >= 0 and 0 <= record["duration"] < 1e11
    if expected:
        assert any(expected in text for text in record["problems"]), record["problems"]


def test_sequences_at_the_top_of_the_range_advance_without_wrapping(tmp_path):
    (tmp_path / "a.ts").write_bytes(PACKET * 100)
    top = 2**63 - 1 - 10000
    playlist = tmp_path / "chunks.m3u8"
    output = HlsOutput(playlist)
    for sequence in (top - 3, top):
        playlist.write_text(HEADER + f"#EXT-X-MEDIA-SEQUENCE:{sequence}\n"
                            f"#EXT-X-DISCONTINUITY-SEQUENCE:{top}\n" + "#EXT-X-DISCONTINUITY\n#EXTINF:2,\na.ts\n" * 3)
        record = in_json(output.check())
        assert record["media_sequence"] == sequence


def test_a_playlist_dated_centuries_ahead_is_no_overflow(tmp_path):
    (tmp_path / "a.ts").write_bytes(PACKET * 100)
    playlist = playlist_of(tmp_path, ["a.ts"])
    os.utime(playlist, (1e10, 1e10))   # the year 2286: past 2^63 ns
    record = in_json(HlsOutput(playlist).check())
    assert record["unchanged_for"] is not None and record["unchanged_for"] >= 0


# ---- the master playlist ----

def test_our_variant_is_found_after_a_thousand_others(tmp_path):
    (tmp_path / "p1").mkdir()
    (tmp_path / "p1" / "a.ts").write_bytes(PACKET * 100)
    ours = playlist_of(tmp_path / "p1", ["a.ts"])
    master = tmp_path / "a" / "playlist.m3u8"
    master.parent.mkdir()
    others = "".join(f"#EXT-X-STREAM-INF:BANDWIDTH={n}\n../other{n}/chunks.m3u8\n" for n in range(1500))
    master.write_text("#EXTM3U\n" + others + "#EXT-X-STREAM-INF:BANDWIDTH=777\n../p1/chunks.m3u8\n")
    record = HlsOutput(ours, master).check()
    assert "variant_missing" not in record["checks_failed"] and record["declared_bitrate"] == 777
    # The monitor finds the pipe's media playlist the same way.
    assert media_playlist_for(str(master), str(tmp_path / "p1")) == str(ours)


# ---- FIFOs: nothing blocks ----

@pytest.mark.parametrize("fifo, reason", [
    ("chunks.m3u8", "is not a regular file"),
    ("master.m3u8", "master.m3u8 is not a regular file"),
    ("a.ts", "a.ts not a regular file"),
])
def test_a_fifo_anywhere_ends_the_check_promptly(tmp_path, fifo, reason):
    (tmp_path / "a.ts").write_bytes(PACKET * 100)
    playlist_of(tmp_path, ["a.ts"])
    (tmp_path / "master.m3u8").write_text("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nchunks.m3u8\n")
    os.unlink(tmp_path / fifo)
    os.mkfifo(tmp_path / fifo)
    record = HlsOutput(tmp_path / "chunks.m3u8", tmp_path / "master.m3u8").check()
    assert any(reason in text for text in record["problems"]), record["problems"]
    # And the command the operator runs ends when told (it never would).
    result = Avwatch().run("analyze", tmp_path / "chunks.m3u8", "--master", tmp_path / "master.m3u8",
                           "--seconds", "2", timeout=30)
    assert result.returncode == 0, result.stderr
    assert reason in result.stdout


class Broker:
    """The two calls the HLS thread makes of Redis."""

    def __init__(self):
        self.records = {}

    def set(self, key, value):
        self.records[key] = value

    def delete(self, key):
        self.records.pop(key, None)


@pytest.mark.parametrize("fifo", ["master", "media playlist"])
def test_the_monitors_hls_thread_stops_beside_a_fifo(tmp_path, fifo):
    folder = tmp_path / "42" / "p1"
    folder.mkdir(parents=True)
    (tmp_path / "42" / "a").mkdir()
    master = tmp_path / "42" / "a" / "playlist.m3u8"
    if fifo == "master":
        os.mkfifo(master)
    else:
        master.write_text("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\n../p1/chunks.m3u8\n")
        os.mkfifo(folder / "chunks.m3u8")
    broker = Broker()
    thread = HlsPublisher(broker, "42", "p1", str(tmp_path))
    thread.start()
    deadline = time.monotonic() + 10
    while "ch:42:hls:p1" not in broker.records:
        assert time.monotonic() < deadline and thread.is_alive(), "no record published"
        time.sleep(0.05)
    thread.stop(delete=True)
    assert not thread.is_alive() and broker.records == {}


# ---- symlinks ----

@pytest.mark.parametrize("link, target, uri, allowed", [
    ("seg.ts", "real.ts", "seg.ts", True),
    ("sub", ".", "sub/real.ts", True),
    ("seg.ts", "../outside/secret.ts", "seg.ts", False),
    ("seg.ts", "{root}/outside/secret.ts", "seg.ts", False),
    ("sub", "../outside", "sub/secret.ts", False),
])
def test_a_symlink_out_of_the_folder_is_refused_as_dotdot_is(tmp_path, link, target, uri, allowed):
    folder = tmp_path / "p1"
    folder.mkdir()
    (tmp_path / "outside").mkdir()
    (tmp_path / "outside" / "secret.ts").write_bytes(PACKET * 1000)
    (folder / "real.ts").write_bytes(PACKET * 1000)
    os.symlink(target.format(root=tmp_path), folder / link)
    record = HlsOutput(playlist_of(folder, [uri])).check()
    dotdot = HlsOutput(playlist_of(folder, ["../outside/secret.ts"])).check()
    if allowed:
        assert "malformed" not in record["checks_failed"]
        assert record["bytes"] == len(PACKET) * 1000
    else:
        assert record["checks_failed"] == dotdot["checks_failed"] == ["malformed"]
        assert "not a file beside the playlist" in record["problems"][0]
        assert record["bytes"] == 0 and record["bitrate"] == 0


@pytest.mark.skipif(shutil.which("gcc") is None, reason="needs gcc")
def test_without_openat2_a_symlink_out_is_refused_all_the_same(tmp_path):
    """An older kernel (or a seccomp filter) refuses openat2: the opened
    file's real path is held against the folder's instead."""
    shim = tmp_path / "no_openat2.so"
    subprocess.run(["gcc", "-shared", "-fPIC", "-o", str(shim), str(Path(__file__).with_name("no_openat2.c")),
                    "-ldl"], check=True)
    folder = tmp_path / "p1"
    folder.mkdir()
    (tmp_path / "outside").mkdir()
    (tmp_path / "outside" / "secret.ts").write_bytes(PACKET * 10)
    (folder / "real.ts").write_bytes(PACKET)
    os.symlink("real.ts", folder / "inside.ts")
    os.symlink("../outside/secret.ts", folder / "out.ts")
    os.symlink("../outside", folder / "sub")
    playlist = playlist_of(folder, ["inside.ts", "out.ts", "sub/secret.ts"])
    code = "import json, sys, avwatch_analysis; print(json.dumps(avwatch_analysis.HlsOutput(sys.argv[1]).check()))"
    # After the sanitizers' runtime, when the suite runs under them.
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(shim)]))
    done = subprocess.run([sys.executable, "-c", code, str(playlist)], capture_output=True, text=True, timeout=60,
                          env={**os.environ, "LD_PRELOAD": preload})
    assert done.returncode == 0 and "openat2 refused" in done.stderr, done.stderr
    record = json.loads(done.stdout)
    assert record["bytes"] == len(PACKET)
    assert '2 segments not a file beside the playlist: "out.ts", "sub/secret.ts"' in record["problems"]


# ---- reading: once per file, within a budget, stopped by a signal ----

def test_a_file_under_many_names_is_read_once(tmp_path):
    size = 4 << 20
    (tmp_path / "seg.ts").write_bytes(PACKET * (size // len(PACKET)))
    os.link(tmp_path / "seg.ts", tmp_path / "hard.ts")
    names = ["./" * k + "seg.ts" for k in range(12)] + [".//" * k + "seg.ts" for k in range(1, 12)] + ["hard.ts"]
    output = HlsOutput(playlist_of(tmp_path, names))
    read, record = bytes_read_by(output.check)
    assert read < 2 * size, f"{read >> 20} MiB read for 24 names of one 4 MiB file"
    assert record["segments"] == 24 and record["bytes"] == 24 * (size // len(PACKET)) * len(PACKET)


@pytest.fixture
def five_large_segments(tmp_path):
    """Five distinct 64-MiB segments (sparse): 320 MiB, over one check's budget."""
    names = []
    for n in range(5):
        name = f"big{n}.ts"
        with open(tmp_path / name, "wb") as file:
            file.write(PACKET)
            file.truncate(64 << 20)
        names.append(name)
    return playlist_of(tmp_path, names)


def test_segments_past_the_read_budget_are_left_for_the_next_check(five_large_segments):
    output = HlsOutput(five_large_segments)
    read, first = bytes_read_by(output.check)
    assert read <= (256 << 20) + (1 << 20)
    assert first["unread_segments"] == 1 and "unread" in first["checks_failed"]
    assert any("read budget of 256 MiB" in text for text in first["problems"])
    read, second = bytes_read_by(output.check)
    assert read <= (64 << 20) + (1 << 20)   # the four already read are remembered
    assert second["unread_segments"] == 0 and "unread" not in second["checks_failed"]


class Interrupted(Exception):
    pass


def test_a_signal_ends_a_check_between_reads(five_large_segments):
    """Its handler runs within the check (as Ctrl-C's KeyboardInterrupt
    does), not once a whole check's 256 MiB are read."""
    def interrupt(*_):
        raise Interrupted
    output = HlsOutput(five_large_segments)
    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        before = rchar()
        signal.setitimer(signal.ITIMER_REAL, 0.002)
        with pytest.raises(Interrupted):
            output.check()
        assert rchar() - before < 128 << 20
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    # The next check starts afresh.
    read, record = bytes_read_by(output.check)
    assert record["unread_segments"] == 1 and read > 128 << 20


# ---- the command line ----

@pytest.mark.parametrize("seconds", ["0", "-1", "nan", "inf"])
def test_analyze_refuses_a_meaningless_duration(tmp_path, seconds):
    result = Avwatch().run("analyze", playlist_of(tmp_path, ["a.ts"]), "--seconds", seconds, timeout=20)
    assert result.returncode == 2 and "--seconds must be a positive number" in result.stderr
