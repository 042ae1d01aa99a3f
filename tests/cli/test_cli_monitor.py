"""`avwatch monitor` running the real monitors against a real Redis."""

import json
import signal
import time

import pytest

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


def test_a_failing_monitor_stops_the_other(broker, redis_url, kestrel_root, avwatch_command):
    broker.set("ch:7", json.dumps({"live": True}))
    broker.set("ch:7:input:main", json.dumps(["not", "an", "object"]))
    result = avwatch_command.run("monitor", "--redis", redis_url, "--channel", 7, "--pipe", "main")
    assert result.returncode == 1
    assert "input monitor failed: AttributeError" in result.stderr
    assert "output monitor stopped" in result.stderr


def test_one_monitor_only(broker, redis_url, kestrel_root, avwatch_command):
    broker.set("ch:7", json.dumps({"live": False}))
    result = avwatch_command.run("monitor", "--redis", redis_url, "--channel", 7, "--pipe", "main", "--input")
    assert result.returncode == 0
    assert "input monitor ended" in result.stderr and "output monitor" not in result.stderr
