"""How the monitor command runs, ends and stops its two monitor threads,
with fake monitors in the module's namespace (the real ones are covered
end to end in test_cli_monitor.py)."""

import os
import signal
import threading
import time

import pytest

import avwatch
from avwatch_cli import monitor
from avwatch_cli.failures import FAILED, INTERRUPTED, OK


def returns(ch_uid, pipe_name, broker):
    time.sleep(0.1)


def fails(ch_uid, pipe_name, broker):
    time.sleep(0.1)
    raise KeyError("live")


def loops(ch_uid, pipe_name, broker):
    # Like a real monitor, runs until stopped, calling Python code between waits.
    while True:
        time.sleep(0.05)


class Recorder:
    """Wraps a fake monitor to note how it ended."""

    def __init__(self, fake):
        self.fake = fake
        self.ended = None

    def __call__(self, *args):
        try:
            self.fake(*args)
        except BaseException as error:
            self.ended = type(error).__name__
            raise
        self.ended = "returned"


@pytest.fixture
def fake_monitors(monkeypatch):
    def install(input_fake, output_fake):
        recorders = {"input": Recorder(input_fake), "output": Recorder(output_fake)}
        monkeypatch.setattr(avwatch, "ffmpeg_input_bitrate", recorders["input"])
        monkeypatch.setattr(avwatch, "ffmpeg_output_bitrate", recorders["output"])
        return recorders
    return install


@pytest.mark.parametrize("input_fake, output_fake, status, ended", [
    (returns, returns, OK, {"input": "returned", "output": "returned"}),
    (fails, loops, FAILED, {"input": "KeyError", "output": "StopRequested"}),
    (loops, fails, FAILED, {"input": "StopRequested", "output": "KeyError"}),
])
def test_monitors_end_together(fake_monitors, caplog, input_fake, output_fake, status, ended):
    recorders = fake_monitors(input_fake, output_fake)
    started = time.monotonic()
    assert monitor.supervise(["input", "output"], "7", "main", broker=None) == status
    assert time.monotonic() - started < 5
    assert {kind: recorder.ended for kind, recorder in recorders.items()} == ended
    if status == FAILED:
        assert "monitor failed: KeyError: 'live'" in caplog.text


@pytest.mark.parametrize("kinds", [["input"], ["output"], ["input", "output"]])
def test_ctrl_c_stops_the_running_monitors(fake_monitors, kinds):
    recorders = fake_monitors(loops, loops)
    threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
    assert monitor.supervise(kinds, "7", "main", broker=None) == INTERRUPTED
    assert {kind for kind, recorder in recorders.items() if recorder.ended == "StopRequested"} == set(kinds)
    assert not any(thread.name in kinds for thread in threading.enumerate())


def test_monitors_get_the_channel_pipe_and_client(fake_monitors):
    seen = []
    fake_monitors(lambda *args: seen.append(("input", *args)), lambda *args: seen.append(("output", *args)))
    client = object()
    assert monitor.supervise(["input", "output"], "7", "main", client) == OK
    assert sorted(seen) == [("input", "7", "main", client), ("output", "7", "main", client)]

