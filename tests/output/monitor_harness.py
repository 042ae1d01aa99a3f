"""A harness for the output monitor: the real redis client wrapped so every
call is written down, and the module's helpers, clock and logging replaced
by recorders (or left real for the end-to-end runs)."""

import json
import logging
import time
from pathlib import Path

import avwatch

HTML_ROOT = Path("/usr/local/kestrel-srs/trunk/objs/nginx/html")
HELPERS = ("get_srs_fragment_time", "is_ts_file_recent", "get_bitrate_from_playlist", "get_ffprobe_info")


def initial_record(pipe_name):
    return {"acodec": "", "vcodec": "", "sequence": None, "atime": "", "vtime": "", "bitrate": 0,
            "vbitrate": 0, "abitrate": 0, "vfps": 0, "vresolution": "", "lastts": "", "name": pipe_name}


def stream_record(**fields):
    record = {"acodec": "", "vcodec": "", "vresolution": "", "vfps": 0, "vbitrate": 0, "abitrate": 0, "bitrate": 0}
    record.update(fields)
    return record


class Runaway(BaseException):
    """Ends a monitor that a broken test would keep running for ever."""


MAX_PASSES = 100


class RecordingBroker:
    """The real client; every get, set and delete goes into `events` first."""

    def __init__(self, client, events):
        self.client = client
        self.events = events

    def get(self, key):
        self.events.append(("get", key))
        return self.client.get(key)

    def set(self, key, value):
        self.events.append(("set", key, value))
        return self.client.set(key, value)

    def delete(self, key):
        self.events.append(("delete", key))
        return self.client.delete(key)


class Clock:
    """Stands in for avwatch.time: a pause returns at once, and after
    `harness.stop_after_pauses` pauses the channel is switched off, so the
    next pass ends the monitor."""

    def __init__(self, harness):
        self.harness = harness

    def sleep(self, seconds):
        harness = self.harness
        harness.events.append(("sleep", seconds))
        if sum(1 for event in harness.events if event[0] == "sleep") >= harness.stop_after_pauses:
            harness.client.set(harness.channel_key, json.dumps({"live": False}))

    def time(self):
        return time.time() + self.harness.clock_offset

    def __getattr__(self, name):  # the rest stays real
        return getattr(time, name)


class EventLog(logging.Handler):
    def __init__(self, events):
        super().__init__(logging.ERROR)
        self.events = events

    def emit(self, record):
        self.events.append(("log", record.getMessage()))


class Harness:
    """One channel and pipe, its folder in the sandboxed tree, and recorders
    for what the monitor calls.  Set the attributes, then run()."""

    def __init__(self, client, monkeypatch, ch_uid="42", pipe_name="p1"):
        self.client = client
        self.monkeypatch = monkeypatch
        self.events = []
        self.broker = RecordingBroker(client, self.events)
        self.stop_after_pauses = 1
        self.clock_offset = 0  # seconds added to the wall clock the monitor's helpers see
        # Each a value, or a list of values used one per call (the last one
        # repeats); an exception instance among them is raised.
        self.fragment_time = 6
        self.recent = True
        self.bandwidth = 0
        self.probe = stream_record()
        self.before_pass = None  # called with the pass number, before its fragment lookup
        self.use(ch_uid, pipe_name)
        self.real_helpers = {name: getattr(avwatch, name) for name in HELPERS}
        for name in HELPERS:
            monkeypatch.setattr(avwatch, name, getattr(self, "_" + name))
        monkeypatch.setattr(avwatch, "time", Clock(self))

    def use(self, ch_uid, pipe_name):
        self.ch_uid = ch_uid
        self.pipe_name = pipe_name
        self.channel_key = f"ch:{ch_uid}"
        self.input_status_key = f"ch:{ch_uid}:in:{pipe_name}"
        self.output_status_key = f"ch:{ch_uid}:out:{pipe_name}"
        self.folder = HTML_ROOT / str(ch_uid) / pipe_name

    def use_real_helpers(self):
        for name, function in self.real_helpers.items():
            self.monkeypatch.setattr(avwatch, name, function)

    def make_folder(self, *names):
        self.folder.mkdir(parents=True, exist_ok=True)
        for name in names:
            (self.folder / name).write_bytes(b"")
        return self.folder

    @staticmethod
    def _pick(setting, count):
        value = setting[min(count, len(setting) - 1)] if isinstance(setting, list) else setting
        if isinstance(value, BaseException):
            raise value
        return value

    def _count(self, kind):
        return sum(1 for event in self.events if event[0] == kind)

    def _get_srs_fragment_time(self):
        number = self._count("fragment")
        if number >= MAX_PASSES:
            raise Runaway(f"{number} passes")
        self.events.append(("fragment",))
        if self.before_pass is not None:
            self.before_pass(number)
        return self._pick(self.fragment_time, number)

    def _is_ts_file_recent(self, file, fragment_time):
        self.events.append(("recent", file, fragment_time))
        return self._pick(self.recent, self._count("recent") - 1)

    def _get_bitrate_from_playlist(self, playlist, pipe_name):
        self.events.append(("playlist", playlist, pipe_name))
        return self._pick(self.bandwidth, self._count("playlist") - 1)

    def _get_ffprobe_info(self, uri, program_id="", video_id="", audio_id=""):
        self.events.append(("probe", uri, program_id, video_id, audio_id))
        return dict(self._pick(self.probe, self._count("probe") - 1))

    # ---- running and reading back ----

    def run(self, live=True):
        self.client.set(self.channel_key, json.dumps({"live": live}))
        handler = EventLog(self.events)
        logging.getLogger().addHandler(handler)
        try:
            return avwatch.ffmpeg_output_bitrate(self.ch_uid, self.pipe_name, self.broker)
        finally:
            logging.getLogger().removeHandler(handler)

    def published(self):
        return [json.loads(event[2]) for event in self.events
                if event[0] == "set" and event[1] == self.output_status_key]

    def trace(self):
        """The run as letters: f lookup, p probe, S publish, E logged error, z pause."""
        letters = {"fragment": "f", "probe": "p", "log": "E", "sleep": "z"}
        out = []
        for event in self.events:
            if event[0] == "set" and event[1] == self.output_status_key:
                out.append("S")
            elif event[0] in letters:
                out.append(letters[event[0]])
        return "".join(out)

    def of_kind(self, kind):
        return [event[1:] for event in self.events if event[0] == kind]
