"""`avwatch probe` through the real prober chain."""

import json
import socket
import subprocess
import sys
import time

import pytest

from machine import free_port, gone_soon
from media import stop_process

FIELDS = ["acodec", "vcodec", "vresolution", "vfps", "vbitrate", "abitrate", "bitrate"]


def test_probe_of_a_segment_file(avwatch_command, ts_file):
    result = avwatch_command.run("probe", ts_file)
    assert result.returncode == 0, result.stderr
    assert result.stdout.count("\n") == 1
    record = json.loads(result.stdout)
    assert list(record) == FIELDS
    assert record["vcodec"] == "h264" and record["acodec"] == "aac"
    assert record["vresolution"] == "1280x720" and record["vfps"] == 25
    assert record["bitrate"] > 0


def test_probe_of_a_live_udp_stream(avwatch_command, udp_stream):
    result = avwatch_command.run("probe", f"{udp_stream.uri}?localaddr=127.0.0.1",
                                 "--program", 1, "--video", 256, "--audio", 257)
    assert result.returncode == 0, result.stderr
    record = json.loads(result.stdout)
    assert (record["vcodec"], record["acodec"], record["vresolution"]) == ("h264", "aac", "640x360")


@pytest.mark.parametrize("uri, hint", [
    ("/nonexistent/segment.ts", "no usable answer from ffprobe"),
    # A silent port of its own: a fixed one collides with a run beside this one.
    ("udp://127.0.0.1:{port}?localaddr=127.0.0.1", "--program"),
])
def test_no_answer_prints_the_default_record_and_fails(avwatch_command, uri, hint):
    result = avwatch_command.run("probe", uri.format(port=free_port(socket.SOCK_DGRAM)))
    assert result.returncode == 1
    record = json.loads(result.stdout)
    assert list(record) == FIELDS and not any(record.values())
    assert hint in result.stderr


def test_pids_as_ffprobe_prints_them(avwatch_command, udp_stream):
    result = avwatch_command.run("probe", f"{udp_stream.uri}?localaddr=127.0.0.1",
                                 "--program", "1", "--video", "0x100", "--audio", "0X101", "-v")
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout)["acodec"] == "aac"


@pytest.fixture
def http_server(tmp_path):
    """A plain HTTP server on a free port with nothing to serve."""
    port = free_port()
    process = subprocess.Popen([sys.executable, "-m", "http.server", str(port), "--bind", "127.0.0.1",
                                "--directory", str(tmp_path)],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            assert time.monotonic() < deadline and process.poll() is None, "http.server did not start"
            time.sleep(0.05)
    yield f"http://127.0.0.1:{port}"
    stop_process(process)


def source_uri(request, source: str) -> str:
    """Each source fails the probe in its own way."""
    if source == "missing file":
        return "/nonexistent/segment.ts"
    if source == "text file":
        return __file__
    if source == "closed port":
        return f"tcp://127.0.0.1:{free_port()}"
    if source == "http 404":
        return request.getfixturevalue("http_server") + "/live/missing.ts"
    if source == "foreign localaddr":
        # An address of no interface here (TEST-NET-1).
        return f"udp://127.0.0.1:{free_port(socket.SOCK_DGRAM)}?localaddr=192.0.2.1"
    if source == "silent udp":
        return f"udp://127.0.0.1:{free_port(socket.SOCK_DGRAM)}?localaddr=127.0.0.1"
    return request.getfixturevalue("udp_stream").uri + "?localaddr=127.0.0.1"


@pytest.mark.parametrize("source, ids, reason", [
    ("missing file", [], "No such file or directory"),
    ("text file", [], "Invalid data found when processing input"),
    ("closed port", [], "Connection refused"),
    ("http 404", [], "Server returned 404 Not Found"),
    ("silent udp", ["--program", "1", "--video", "256"], "no data within 3 s"),
    ("live udp", ["--program", "5", "--video", "256", "--audio", "257"],
     "the stream has no program 5: it carries program 1 with video 256 (0x100), audio 257 (0x101)"),
    ("live udp", ["--program", "1", "--video", "0x200"], "no stream of program 1 has PID 512"),
    # Found, but not asked for: the probe of a udp:// source keeps nothing then.
    ("live udp", [], "ffprobe found streams, but none was asked for: it carries program 1 with video 256"),
    ("live udp", ["--program", "1"], "ffprobe found streams, but none was asked for: it carries program 1 with "
                                    "video 256 (0x100), audio 257 (0x101)"),
    # ffprobe's reason is the failed bind, not the stale errno of its last line.
    ("foreign localaddr", [], "bind failed: Cannot assign requested address; Inappropriate ioctl for device"),
])
def test_the_probe_says_why(avwatch_command, request, source, ids, reason):
    uri = source_uri(request, source)
    result = avwatch_command.run("probe", uri, *ids)
    assert result.returncode == 1
    assert not json.loads(result.stdout)["vcodec"]
    assert f"for {uri}: {reason}" in result.stderr
    if source != "silent udp":
        assert "a udp:// probe keeps only" not in result.stderr   # the reason says enough
    # The second ffprobe is bounded like the first: nothing of it outlives the command.
    assert gone_soon(uri)


@pytest.mark.parametrize("ids, warning", [
    (["--video", "256", "--audio", "999"], "no audio stream with PID 999 kept: program 1 carries program 1 with "
                                           "video 256 (0x100), audio 257 (0x101) (check --audio)"),
    (["--video", "300", "--audio", "257"], "no video stream with PID 300 kept"),
])
def test_a_pid_that_keeps_nothing_is_named(avwatch_command, udp_stream, ids, warning):
    result = avwatch_command.run("probe", f"{udp_stream.uri}?localaddr=127.0.0.1", "--program", "1", *ids)
    assert result.returncode == 0, result.stderr
    assert f"avwatch: warning: {warning}" in result.stderr
