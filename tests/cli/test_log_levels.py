"""Which lines `avwatch monitor` logs, and at what level: the rules of the
state log and of the output monitor's repeated error (with a dict standing
in for Redis and a hand-moved clock)."""

import json
import logging

import pytest

from avwatch_cli.output_reason import REPEAT_LOG_SECONDS, OutputReason
from avwatch_cli.state_log import StateLog

INITIAL = {"acodec": "", "vcodec": "", "vresolution": "", "vfps": 0, "vbitrate": 0, "abitrate": 0,
           "bitrate": 0, "lastts": "", "name": "main"}
PROBED = {"acodec": "aac", "vcodec": "h264", "vresolution": "640x360", "vfps": 25, "vbitrate": 1,
          "abitrate": 1, "bitrate": 500000}
EMPTY = {**PROBED, "acodec": "", "vcodec": "", "bitrate": 0}


class Store(dict):
    def get(self, key):
        value = super().get(key)
        return None if value is None else json.dumps(value).encode()

    def set(self, key, value):
        self[key] = json.loads(value)

    def delete(self, key):
        self.pop(key, None)


@pytest.mark.parametrize("channel, record, level", [
    ({"live": True}, INITIAL, logging.INFO),       # the output monitor's initial record: no probe yet
    ({"live": False}, PROBED, logging.INFO),       # a stopped channel
    ({"live": True}, EMPTY, logging.WARNING),      # the probe got no answer
    ({"live": True}, None, logging.WARNING),       # missing while live
    (None, PROBED, logging.WARNING),               # no channel record
])
def test_expected_states_are_not_warnings(caplog, channel, record, level):
    store = Store({"ch:7": channel, "ch:7:in:main": record})
    caplog.set_level(logging.INFO)
    StateLog(store, "7", "main", ["input"]).poll()
    [logged] = [entry for entry in caplog.records if entry.getMessage().startswith("input: ")]
    assert logged.levelno == level, logged.getMessage()


class Clock:
    now = 1000.0

    def __call__(self):
        return self.now


def module_error(text):
    return logging.LogRecord("root", logging.ERROR, __file__, 1, f"Error in ffmpeg_output_bitrate: {text}",
                             None, None)


@pytest.mark.parametrize("errors, logged", [
    # One line for a run of the same error, then one a minute.
    (["gone"] * 5, ["gone"]),
    (["gone"] * 3 + ["other"] + ["gone"], ["gone", "other", "gone"]),
    (["gone", "wait", "gone", "gone"], ["gone", "gone (still, 2 passes in a row)"]),
])
def test_a_repeated_error_is_logged_once_a_minute(errors, logged):
    store, clock = Store(), Clock()
    reason = OutputReason(store, "7", "main", clock)
    shown = []
    for error in errors:
        if error == "wait":
            clock.now += REPEAT_LOG_SECONDS
            continue
        clock.now += 1
        record = module_error(error)
        if reason.filter(record):
            shown.append(record.getMessage().removeprefix("Error in ffmpeg_output_bitrate: "))
    assert shown == logged
    published = store["avwatch:reason:ch:7:out:main"]
    assert published["reason"] == errors[-1] and published["seen"] == clock.now
    reason.clear()
    assert store == {}
