"""Running a monitor in a thread against a real Redis, with the probe and the
pause replaceable through the module's globals."""

import json
import threading
import time

import pytest

import avwatch
from call_thread import CallThread

DEFAULT_RECORD = {"acodec": "", "vcodec": "", "vresolution": "", "vfps": 0,
                  "vbitrate": 0, "abitrate": 0, "bitrate": 0}

# A generous bound: a monitor that has not ended by then is a failure, and is
# stopped so that no test leaves a thread behind.
JOIN_TIMEOUT = 20


def put(client, key, value):
    """Stores a record as JSON text (or raw bytes / str as given)."""
    client.set(key, value if isinstance(value, (bytes, str)) else json.dumps(value))


class FakeProbe:
    """Stands in for get_ffprobe_info: records each call's arguments and
    answers with the next of `results` (the last one repeats); an exception
    instance is raised instead.  The hook runs first, with the call's number."""

    def __init__(self, *results, on_call=None):
        self.results = list(results) or [dict(DEFAULT_RECORD)]
        self.calls = []
        self.on_call = on_call

    def __call__(self, *args, **kwargs):
        assert not kwargs, "the monitor passes the probe's arguments by position"
        self.calls.append(args)
        if self.on_call is not None:
            self.on_call(len(self.calls))
        result = self.results[min(len(self.calls), len(self.results)) - 1]
        if isinstance(result, BaseException):
            raise result
        return result


class FakeTime:
    """Stands in for the time module: sleep records its argument, runs the
    hook for that pause (numbered from 1) and returns almost at once."""

    def __init__(self, on_sleep=None):
        self.sleeps = []
        self.on_sleep = on_sleep

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        if self.on_sleep is not None:
            self.on_sleep(len(self.sleeps))
        time.sleep(0.002)  # keeps a runaway loop from hammering Redis


class RecordingBroker:
    """A client proxy that logs every method called on it with its
    arguments, and forwards the call to the real client."""

    def __init__(self, client):
        self._client = client
        self.calls = []

    def __getattr__(self, name):
        method = getattr(self._client, name)

        def recorded(*args, **kwargs):
            self.calls.append((name, *args, *(kwargs and [kwargs])))
            return method(*args, **kwargs)
        return recorded


class MonitorThread(CallThread):
    """ffmpeg_input_bitrate running in its own thread."""

    def __init__(self, ch_uid, pipe_name, broker, stopper, function=None):
        super().__init__(function or avwatch.ffmpeg_input_bitrate, ch_uid, pipe_name, broker)
        self.stopper = stopper  # a client used to stop a runaway monitor

    def stop(self):
        put(self.stopper, f"ch:{self.args[0]}", {"live": False})

    def join(self, timeout=JOIN_TIMEOUT):
        """Waits for the monitor to end on its own; fails (after stopping
        it) when it does not."""
        self.thread.join(timeout)
        if self.thread.is_alive():
            self.stop()
            self.thread.join(JOIN_TIMEOUT)
            raise AssertionError("the monitor did not end in time")
        return self

    def finish(self):
        """Stops the monitor and waits for it."""
        self.stop()
        return self.join()


def run_monitor(ch_uid, pipe_name, broker, stopper):
    """Runs a monitor to its end; returns the finished MonitorThread."""
    return MonitorThread(ch_uid, pipe_name, broker, stopper).start().join()


@pytest.fixture
def probe(monkeypatch):
    fake = FakeProbe()
    monkeypatch.setattr(avwatch, "get_ffprobe_info", fake)
    return fake


@pytest.fixture
def clock(monkeypatch):
    fake = FakeTime()
    monkeypatch.setattr(avwatch, "time", fake)
    return fake
