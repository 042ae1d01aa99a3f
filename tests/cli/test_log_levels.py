"""Which lines `avwatch monitor` logs, and at what level: the rules of the
state log and of the output monitor's repeated error (with a dict standing
in for Redis and a hand-moved clock)."""

import json
import logging

import pytest

from avwatch_cli.analyze.record import ErrorTimes
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


def ts_record(at: float, **window) -> dict:
    return {"bitrate": 4_000_000, "in_sync": True, "data_age": 0.01, "time": at, "window": window}


@pytest.mark.parametrize("side, readings, logged", [
    # (seconds, record): an onset at once, its clear only once the minute is up.
    ("input", [(0, {"continuity_errors": 12}), (5, {}), (30, {}), (61, {})],
     ["WARNING input fault: continuity errors +12", "INFO input fault cleared: continuity errors +12"]),
    # A glitch every other second for over three minutes: one line a minute, no more.
    ("input", [(t, {"lost_packets": 3} if t % 2 == 0 else {}) for t in range(0, 190)],
     ["WARNING input fault: lost packets +3", "INFO input fault cleared: lost packets +3",
      "WARNING input fault: lost packets +3", "INFO input fault cleared: lost packets +3"]),
    # Two faults are two lines; an old record is no evidence, so its fault clears.
    ("input", [(0, {"continuity_errors": 1, "pat_errors": 2}), (100, None)],
     ["WARNING input fault: continuity errors +1", "WARNING input fault: PAT errors +2",
      "INFO input fault cleared: continuity errors +1", "INFO input fault cleared: PAT errors +2"]),
    # Continuity errors every 5 s for three minutes: held between the rises
    # (error_times), so one onset, and one clear once they stop.
    ("input", [(t, {"continuity_errors": 1} if t % 5 == 0 and t < 180 else {}) for t in range(0, 200)],
     ["WARNING input fault: continuity errors +1", "INFO input fault cleared: continuity errors +1"]),
    ("output", [(0, "stale"), (1, "stale"), (70, "stray_files")],
     ["WARNING output fault: stale playlist", "INFO output fault cleared: stale playlist"]),
])
def test_analyser_faults_logged_at_most_once_a_minute(caplog, side, readings, logged):
    clock = Clock()
    store = Store({"ch:7": {"live": True}, "ch:7:in:main": PROBED, "ch:7:out:main": dict(INITIAL, bitrate=1,
                                                                                       lastts="1.ts")})
    states = StateLog(store, "7", "main", [side])
    states.fault_log.clock = clock
    caplog.set_level(logging.INFO)
    rises = ErrorTimes()   # as the analyser's publisher keeps them
    for seconds, reading in readings:
        clock.now = 1000.0 + seconds
        if side == "output":
            store["ch:7:hls:main"] = {"time": clock.now, "stale": reading == "stale", "checks_failed": [reading]}
        else:
            store["ch:7:ts:main"] = (ts_record(clock.now - 3600, **{"continuity_errors": 1}) if reading is None
                                     else dict(ts_record(clock.now, **reading),
                                               error_times=rises.update(reading, clock.now)))
        states.poll()
    assert [f"{entry.levelname} {entry.getMessage()}" for entry in caplog.records
            if " fault" in entry.getMessage()] == logged
