"""`avwatch monitor` running the real monitors against a real Redis."""

import json
import logging
import re
import signal
import threading
import time

import pytest

import avwatch
from avwatch_cli.module_log import DeletedChannelWording
from call_thread import CallThread
from hls_standin import HlsStandIn
from machine import free_port
from media import UdpSender

IN_KEY, OUT_KEY = "ch:7:in:main", "ch:7:out:main"


def wait_for(condition, timeout=15):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.05)


@pytest.fixture
def running_channel(broker, redis_url, kestrel_root, avwatch_command):
    """A live channel whose input has no URI yet and whose output has no
    segments: both monitors run, publish little, and wait."""
    broker.set("ch:7", json.dumps({"live": True}))
    broker.set("ch:7:input:main", json.dumps({}))
    process = avwatch_command.start("monitor", "--redis", redis_url, "--channel", 7, "--pipe", "main")
    wait_for(lambda: broker.exists(OUT_KEY))
    yield process
    if process.poll() is None:
        process.kill()
        process.wait()


def test_channel_stop_ends_the_command(broker, running_channel):
    broker.set("ch:7", json.dumps({"live": False}))
    _, stderr = running_channel.communicate(timeout=15)
    assert running_channel.returncode == 0, stderr
    assert broker.exists(IN_KEY, OUT_KEY) == 0
    assert "input monitor ended: channel ch:7 stopped" in stderr
    assert "output monitor ended: channel ch:7 stopped" in stderr


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_operator_stop(broker, running_channel, signum):
    running_channel.send_signal(signum)
    _, stderr = running_channel.communicate(timeout=15)
    assert running_channel.returncode == 130, stderr
    assert "input monitor stopped" in stderr and "output monitor stopped" in stderr
    # Stopped by hand, not by the channel: the last records stay for whoever reads them.
    assert broker.exists(OUT_KEY) == 1


@pytest.mark.parametrize("written, named", [
    (["not", "an", "object"], "is an array, not a JSON object"),
    ({"uri": 5}, '"uri" in the input source record under ch:7:input:main is a number 5'),
    (None, "no input source record under ch:7:input:main"),
])
def test_a_failing_monitor_stops_the_other(running_channel, broker, written, named):
    # Passed the start checks; the source record turns bad while the monitors run.
    if written is None:
        broker.delete("ch:7:input:main")
    else:
        broker.set("ch:7:input:main", json.dumps(written))
    _, stderr = running_channel.communicate(timeout=20)
    assert running_channel.returncode == 5, stderr
    assert "input monitor failed on its source record" in stderr and named in stderr
    assert "for example {" in stderr
    assert "output monitor stopped" in stderr


def test_one_monitor_only(broker, redis_url, kestrel_root, avwatch_command):
    broker.set("ch:7", json.dumps({"live": False}))
    result = avwatch_command.run("monitor", "--redis", redis_url, "--channel", 7, "--pipe", "main", "--input")
    assert result.returncode == 0
    assert "input monitor ended" in result.stderr and "output monitor" not in result.stderr


@pytest.mark.parametrize("present, warnings", [
    ([], ["no segment folder", "no playlist"]),
    (["7/main"], ["no playlist"]),
    (["7/main", "7/a/playlist.m3u8"], []),
])
def test_start_warns_about_missing_output_files(broker, redis_url, kestrel_root, avwatch_command,
                                                present, warnings):
    html = kestrel_root / "trunk/objs/nginx/html"
    for path in present:
        if path.endswith(".m3u8"):
            (html / path).parent.mkdir(parents=True, exist_ok=True)
            (html / path).write_text("#EXTM3U\n")
        else:
            (html / path).mkdir(parents=True)
    broker.set("ch:7", json.dumps({"live": False}))
    result = avwatch_command.run("monitor", "--redis", redis_url, "--channel", 7, "--pipe", "main", "--output")
    assert result.returncode == 0, result.stderr
    assert [text for text in ("no segment folder", "no playlist") if text in result.stderr] == warnings


class LogReader:
    """Collects a running command's stderr lines as they come."""

    def __init__(self, process):
        self.lines: list[str] = []
        self.thread = threading.Thread(target=self._read, args=(process.stderr,), daemon=True)
        self.thread.start()

    def _read(self, stream):
        for line in stream:
            self.lines.append(line.rstrip("\n"))

    def wait_for(self, text, timeout=20) -> int:
        """The index of the first line that holds `text`, once there is one."""
        wait_for(lambda: any(text in line for line in self.lines), timeout)
        return next(index for index, line in enumerate(self.lines) if text in line)


def test_state_changes_and_a_deleted_channel_record(broker, redis_url, kestrel_root, avwatch_command):
    """Both sides through an outage and back, then the channel record deleted
    under the running monitors."""
    sender = UdpSender(free_port()).start()
    server = HlsStandIn(kestrel_root / "trunk/objs/nginx/html", "7", "main", fragment=1).start()
    broker.set("ch:7", json.dumps({"live": True}))
    broker.set("ch:7:input:main", json.dumps({"uri": sender.uri, "miface": "127.0.0.1",
                                              "pid": 1, "vpid": 256, "apid": 257}))
    process = avwatch_command.start("monitor", "--redis", redis_url, "--channel", 7, "--pipe", "main")
    log = LogReader(process)
    try:
        log.wait_for("input: ok: h264")
        log.wait_for("output: ok: h264/aac 640x360 25 fps, ")
        assert "lastts segment-" in log.lines[log.wait_for("output: ok: ")]

        sender.stop()
        server.stop()
        log.wait_for("input: no_signal (the probe got no answer)")
        log.wait_for("output: no_signal (bitrate 0: no fresh segment)")

        sender.start()
        server.start()
        log.wait_for("input: ok again: h264")
        log.wait_for("output: ok again: h264/aac 640x360 25 fps")

        broker.delete("ch:7")
        process.wait(20)
        log.thread.join(5)
    finally:
        sender.stop()
        server.stop()
        if process.poll() is None:
            process.kill()
            process.wait()
    assert process.returncode == 5, "\n".join(log.lines)
    assert "the channel record ch:7 was deleted while the monitors ran" in "\n".join(log.lines)
    assert not any("NoneType" in line for line in log.lines), "\n".join(log.lines)
    # One line per change: an unchanged state is not repeated.
    states = [match.group(1) for match in map(re.compile(r": input: (\w+)").search, log.lines) if match]
    assert all(before != after for before, after in zip(states, states[1:])), states


def test_the_output_monitor_error_about_a_deleted_channel_record_in_words(broker, kestrel_root, caplog):
    wording = DeletedChannelWording("7")
    logging.getLogger().addFilter(wording)
    try:
        monitor = CallThread(avwatch.ffmpeg_output_bitrate, "7", "main", broker).start()
        wait_for(lambda: "Error in ffmpeg_output_bitrate" in caplog.text)
        broker.set("ch:7", json.dumps({"live": False}))
        monitor.join(15)
    finally:
        logging.getLogger().removeFilter(wording)
    assert "Error in ffmpeg_output_bitrate: no channel record ch:7 to read" in caplog.text
    assert "NoneType" not in caplog.text


REASON_KEY = "avwatch:reason:ch:7:out:main"


def test_the_output_monitor_s_known_reason_is_published(broker, redis_url, kestrel_root, avwatch_command):
    """A playlist deleted under a running output monitor: every pass fails
    alike; the reason goes to Redis beside the status record, the log says
    it once, and both clear when the playlist is back."""
    server = HlsStandIn(kestrel_root / "trunk/objs/nginx/html", "7", "main", fragment=1).start()
    broker.set("ch:7", json.dumps({"live": True}))
    process = avwatch_command.start("monitor", "--redis", redis_url, "--channel", 7, "--pipe", "main", "--output")
    log = LogReader(process)
    try:
        log.wait_for("output: ok: h264")
        assert broker.get(REASON_KEY) is None
        server.playlist.unlink()
        first = log.wait_for("Error in ffmpeg_output_bitrate")
        wait_for(lambda: broker.get(REASON_KEY) and json.loads(broker.get(REASON_KEY))["passes"] >= 3, 30)
        published = json.loads(broker.get(REASON_KEY))
        assert "playlist.m3u8" in published["reason"] and published["reason"] in log.lines[first]
        assert published["since"] < published["seen"] <= time.time()
        # Three failing passes, one line.
        assert sum("Error in ffmpeg_output_bitrate" in line for line in log.lines) == 1, "\n".join(log.lines)

        server.write_master_playlist()
        wait_for(lambda: broker.get(REASON_KEY) is None, 30)
        log.wait_for("is over after")
    finally:
        server.stop()
        process.terminate()
        process.wait(20)
        log.thread.join(5)


@pytest.mark.parametrize("live", [True, False])
def test_a_playlist_missing_at_start_is_the_reason_until_the_channel_stops(broker, redis_url, kestrel_root,
                                                                           avwatch_command, live):
    broker.set("ch:7", json.dumps({"live": live}))
    process = avwatch_command.start("monitor", "--redis", redis_url, "--channel", 7, "--pipe", "main", "--output")
    try:
        if live:
            wait_for(lambda: broker.get(REASON_KEY))
            assert json.loads(broker.get(REASON_KEY))["reason"].startswith("no playlist ")
            broker.set("ch:7", json.dumps({"live": False}))
        assert process.wait(20) == 0
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    # A stopped channel leaves no reason behind, as it leaves no status record.
    assert broker.exists(REASON_KEY, OUT_KEY) == 0
