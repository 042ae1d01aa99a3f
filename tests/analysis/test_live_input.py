"""The analyser on a live ffmpeg stream beside the other receivers of the
port, through the command and through `avwatch monitor` into Redis."""

from __future__ import annotations

import json
import os
import shutil
import signal
import socket
import subprocess
import threading
import time

import avwatch
import pytest

avwatch_analysis = pytest.importorskip("avwatch_analysis")

from cli.conftest import Avwatch  # noqa: E402  (also puts the checkout's CLI on the path)


@pytest.fixture
def avwatch_command():
    return Avwatch()


def reap(process: subprocess.Popen) -> None:
    """Ends a command a failed assertion left running, and closes its pipes."""
    if process.poll() is None:
        process.kill()
        process.wait()
    process.stdout.close()
    process.stderr.close()


def open_watch(uri: str):
    try:
        return avwatch_analysis.Watch(uri)
    except PermissionError as error:
        pytest.skip(str(error))


def test_the_probe_still_answers_while_the_analyser_runs(udp_stream):
    with open_watch(udp_stream.uri) as watch:
        assert watch.method == "packet socket"
        for _ in range(2):
            record = avwatch.get_ffprobe_info(udp_stream.uri, "1", "256", "257")
            assert (record["vcodec"], record["acodec"]) == ("h264", "aac")
        reports = [watch.next_report(2.0) for _ in range(2)]
    assert all(report is not None and report["bitrate"] > 100_000 for report in reports)
    assert reports[-1]["continuity_errors"] == 0


@pytest.mark.parametrize("json_lines", [True, False])
def test_analyze_prints_a_line_a_second(udp_stream, avwatch_command, json_lines):
    result = avwatch_command.run("analyze", udp_stream.uri, "--seconds", "3.5", *(["--json"] if json_lines else []))
    if "CAP_NET_RAW" in result.stderr:
        pytest.skip(result.stderr)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 3
    if json_lines:
        records = [json.loads(line) for line in lines]
        assert all(r["bitrate"] > 100_000 and r["continuity_errors"] == 0 for r in records)
        assert records[0]["packets"] < records[1]["packets"] < records[2]["packets"]
        assert records[-1]["programs"][0]["streams"][0]["codec"] == "h264"
    else:
        assert all(" b/s  packets " in line and "h264@256 aac@257" in line for line in lines[1:])


@pytest.mark.parametrize("uri, message", [
    ("http://127.0.0.1/x.ts", "only udp:// and rtp://"),
    ("udp://example.org:5000", "not an IPv4 address"),
    ("udp://127.0.0.1:70000", "bad port"),
    # HLS is read from the media server's files, never fetched.
    ("http://127.0.0.1/live/x.m3u8", "only udp:// and rtp://"),
    ("file:///srv/x.m3u8", "give the playlist's path"),
])
def test_analyze_refuses_what_it_cannot_receive(avwatch_command, uri, message):
    result = avwatch_command.run("analyze", uri, "--seconds", "1")
    assert result.returncode == 2 and message in result.stderr


@pytest.mark.parametrize("seconds", ["0", "-1", "nan", "inf", "soon"])
def test_analyze_refuses_a_run_that_would_not_end_as_asked(avwatch_command, seconds):
    result = avwatch_command.run("analyze", "udp://127.0.0.1:5999", f"--seconds={seconds}")
    assert result.returncode == 2 and "--seconds" in result.stderr


@pytest.mark.skipif(shutil.which("setpriv") is None, reason="needs setpriv")
def test_analyze_says_which_privilege_is_missing():
    # The same command with CAP_NET_RAW dropped from every set.
    done = subprocess.run(["setpriv", "--inh-caps=-net_raw", "--bounding-set=-net_raw", "--",
                           *Avwatch.command, "analyze", "udp://127.0.0.1:5999", "--seconds", "1"],
                          capture_output=True, text=True, timeout=30)
    assert done.returncode == 1
    assert "CAP_NET_RAW" in done.stderr and "AmbientCapabilities" in done.stderr


def test_monitor_publishes_the_analysis_and_drops_it_when_the_channel_stops(broker, redis_url, kestrel_root,
                                                                            udp_stream, avwatch_command):
    broker.set("ch:7", json.dumps({"live": True}))
    broker.set("ch:7:input:main", json.dumps({"uri": udp_stream.uri, "miface": "127.0.0.1", "pid": 1,
                                              "vpid": 256, "apid": 257}))
    process = avwatch_command.start("monitor", "--redis", redis_url, "--channel", 7, "--pipe", "main", "--input")
    try:
        records = []
        deadline = time.monotonic() + 15
        while len(records) < 3 and time.monotonic() < deadline:
            raw = broker.get("ch:7:ts:main")
            if raw is not None and (not records or json.loads(raw)["time"] != records[-1]["time"]):
                records.append(json.loads(raw))
            time.sleep(0.3)
        assert len(records) == 3, process.stderr.read() if process.poll() is not None else "no records"
        assert 0 < broker.ttl("ch:7:ts:main") <= 10
        last = records[-1]
        assert last["bitrate"] > 100_000 and last["continuity_errors"] == 0 and last["method"] == "packet socket"
        assert last["uri"] == udp_stream.uri + "?localaddr=127.0.0.1"
        broker.set("ch:7", json.dumps({"live": False}))
        process.wait(30)
        assert process.returncode == 0
        assert broker.get("ch:7:ts:main") is None
    finally:
        reap(process)


def test_multicast_is_shared_with_the_other_members():
    """A member socket of the service keeps every datagram while the
    analyser, another member on the record's interface, counts them all."""
    from relay import free_port
    from ts_builder import Stream, datagrams

    group, port = "239.255.7.7", free_port()
    member = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    member.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    member.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    member.bind((group, port))
    member.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                      socket.inet_aton(group) + socket.inet_aton("127.0.0.1"))
    member.settimeout(1.0)
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sender.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("127.0.0.1"))
    stream = Stream()
    payloads = datagrams(stream.tables() + stream.media(7 * 300 - 2))
    try:
        with avwatch_analysis.Watch(f"udp://{group}:{port}?localaddr=127.0.0.1") as watch:
            assert watch.method == "packet socket + membership"
            for payload in payloads:
                sender.sendto(payload, (group, port))
            received = 0
            while received < len(payloads):
                member.recv(4096)
                received += 1
            time.sleep(0.2)
            report = None
            while (newer := watch.next_report(1.5)) is not None:
                report = newer
                if report["datagrams"] == len(payloads):
                    break
        assert report is not None
        assert (report["datagrams"], report["packets"], report["continuity_errors"]) == (len(payloads), 7 * 300, 0)
    finally:
        member.close()
        sender.close()


def test_closing_from_another_thread_ends_a_waiting_call():
    from relay import free_port

    watch = open_watch(f"udp://127.0.0.1:{free_port()}")
    results: list = []
    waiter = threading.Thread(target=lambda: results.append(watch.next_report(10.0)))
    started = time.monotonic()
    waiter.start()
    time.sleep(0.3)
    watch.close()
    waiter.join(5)
    assert results == [None] and time.monotonic() - started < 2
    with pytest.raises(ValueError, match="closed"):
        watch.next_report(0)


def test_analyze_stops_on_ctrl_c(udp_stream, avwatch_command):
    process = avwatch_command.start("analyze", udp_stream.uri, "--json")
    try:
        first = process.stdout.readline()
        if not first:
            pytest.skip(process.stderr.read())
        assert json.loads(first)["bitrate"] > 0
        process.send_signal(signal.SIGINT)
        assert process.wait(5) == 130
    finally:
        reap(process)


def open_descriptors() -> int:
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.parametrize("uri, error", [
    ("udp://127.0.0.1:{port}", None),
    ("rtp://239.255.7.8:{port}?localaddr=127.0.0.1", None),
    ("udp://239.255.7.9:{port}?localaddr=10.255.255.254", OSError),  # no interface has that address
    ("udp://127.0.0.1:0", ValueError),
])
def test_watches_leave_no_descriptor_or_thread_behind(uri, error):
    from relay import free_port

    def cycle(close: bool) -> None:
        try:
            watch = avwatch_analysis.Watch(uri.format(port=free_port()))
        except PermissionError as missing:
            pytest.skip(str(missing))
        except Exception as raised:
            assert error is not None and isinstance(raised, error), raised
            return
        assert error is None
        watch.next_report(0)
        if close:
            watch.close()
        del watch  # the other half: dropped without close()

    cycle(True)
    fds, threads = open_descriptors(), len(os.listdir("/proc/self/task"))
    for round_ in range(20):
        cycle(round_ % 2 == 0)
    assert (open_descriptors(), len(os.listdir("/proc/self/task"))) == (fds, threads)
