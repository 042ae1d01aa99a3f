"""What one refresh saw: an immutable snapshot that HTTP handlers read while
the next one is built, the bounded per-pipe bitrate history, and the list
of recent state changes."""

from __future__ import annotations

import array
import json
import math
import threading
from collections import deque
from functools import cached_property
from typing import Any, NamedTuple

from avwatch_cli.health import State

EVENTS_KEPT = 200
HISTORY_SECONDS = 600
HISTORY_SAMPLES_MAX = 600
RAW_PREVIEW_CHARS = 200


class SideView(NamedTuple):
    state: State
    reason: str
    record: dict | None
    raw: str | None           # the start of an unreadable value, as text
    written_at: float | None  # when the record was last written, as far as known

    def age(self, now: float) -> float | None:
        return None if self.written_at is None else max(0.0, now - self.written_at)


class PipeView(NamedTuple):
    id: str
    channel: str
    pipe: str
    input: SideView
    output: SideView


class ChannelView(NamedTuple):
    channel: str
    live: bool | None
    pipes: tuple[PipeView, ...]


class Event(NamedTuple):
    time: float
    channel: str
    pipe: str
    side: str
    before: State
    after: State
    reason: str

    def as_json(self) -> dict[str, Any]:
        return {"time": self.time, "channel": self.channel, "pipe": self.pipe, "side": self.side,
                "from": self.before.value, "to": self.after.value, "reason": self.reason}


class Snapshot:
    """Built whole by the refresher, then only read."""

    def __init__(self, *, generated_at: float, redis_up: bool, redis_url: str, redis_error: str | None,
                 freshness_mode: str, refresh_seconds: float, stale_after: float,
                 channels: tuple[ChannelView, ...], events: tuple[Event, ...],
                 malformed_total: int, changes_total: dict[tuple[str, str], int],
                 refresh_duration: float):
        self.generated_at = generated_at
        self.redis_up = redis_up
        self.redis_url = redis_url
        self.redis_error = redis_error
        self.freshness_mode = freshness_mode
        self.refresh_seconds = refresh_seconds
        self.stale_after = stale_after
        self.channels = channels
        self.events = events
        self.malformed_total = malformed_total
        self.changes_total = changes_total
        self.refresh_duration = refresh_duration

    def pipes(self):
        for channel in self.channels:
            yield from channel.pipes

    def counts(self) -> dict[str, int]:
        counts = dict.fromkeys((state.value for state in State), 0)
        for pipe in self.pipes():
            counts[pipe.input.state.value] += 1
            counts[pipe.output.state.value] += 1
        return counts

    @cached_property
    def status_json(self) -> bytes:
        """The /api/status body, encoded once per snapshot however often it is asked for."""
        return json.dumps({
            "generated_at": self.generated_at,
            "redis": {"up": self.redis_up, "url": self.redis_url, "error": self.redis_error},
            "freshness_mode": self.freshness_mode,
            "refresh_seconds": self.refresh_seconds,
            "stale_after": self.stale_after,
            "counts": self.counts(),
            "channels": [
                {"channel": channel.channel, "live": channel.live,
                 "pipes": [{"id": pipe.id, "pipe": pipe.pipe,
                            "input": side_json(pipe.input, self.generated_at),
                            "output": side_json(pipe.output, self.generated_at)}
                           for pipe in channel.pipes]}
                for channel in self.channels],
            "events": [event.as_json() for event in self.events],
        }, separators=(",", ":")).encode()


def side_json(side: SideView, now: float) -> dict[str, Any]:
    age = side.age(now)
    return {"state": side.state.value, "reason": side.reason, "record": side.record,
            "raw": side.raw, "age_seconds": None if age is None else round(age, 3)}


def raw_preview(raw: bytes | str | None) -> str | None:
    if raw is None:
        return None
    if isinstance(raw, bytes):
        raw = raw[:RAW_PREVIEW_CHARS * 4].decode("utf-8", "replace")
    return raw[:RAW_PREVIEW_CHARS]


class History:
    """Input and output bitrate of every pipe at each of the last refreshes.

    One shared ring of sample times, and per pipe a row of each of two
    row-major float tables aligned with it (NaN where nothing was known).
    The refresher keeps the current value of each row up to date as views
    change; a refresh then writes the whole column in one slice assignment."""

    def __init__(self, refresh_seconds: float):
        self.size = max(2, min(HISTORY_SAMPLES_MAX, math.ceil(HISTORY_SECONDS / refresh_seconds)))
        self.times = array.array("d", [math.nan] * self.size)
        self.head = -1
        self.rows: dict[str, int] = {}
        self.free: list[int] = []
        self.tables = (array.array("f"), array.array("f"))
        self.current = (array.array("f"), array.array("f"))
        self.lock = threading.Lock()

    def keep(self, pipe_ids: set[str]) -> dict[str, int]:
        """Rows for exactly these pipes; a new pipe's row starts empty."""
        nan_row = array.array("f", [math.nan]) * self.size
        with self.lock:
            for pipe_id in [pipe_id for pipe_id in self.rows if pipe_id not in pipe_ids]:
                self.free.append(self.rows.pop(pipe_id))
            for pipe_id in pipe_ids:
                if pipe_id in self.rows:
                    continue
                if not self.free:
                    self.grow()
                row = self.rows[pipe_id] = self.free.pop()
                for table, current in zip(self.tables, self.current):
                    table[row * self.size:(row + 1) * self.size] = nan_row
                    current[row] = math.nan
            return dict(self.rows)

    def grow(self) -> None:
        rows = len(self.current[0])
        added = max(64, rows)
        for table, current in zip(self.tables, self.current):
            table.extend(array.array("f", [math.nan]) * (added * self.size))
            current.extend(array.array("f", [math.nan]) * added)
        self.free.extend(range(rows + added - 1, rows - 1, -1))

    def set(self, row: int, input_bps: float | None, output_bps: float | None) -> None:
        self.current[0][row] = math.nan if input_bps is None else input_bps
        self.current[1][row] = math.nan if output_bps is None else output_bps

    def add(self, now: float) -> None:
        """One sample of every row: its current values."""
        with self.lock:
            head = self.head = (self.head + 1) % self.size
            self.times[head] = now
            for table, current in zip(self.tables, self.current):
                table[head::self.size] = current

    def get(self, pipe_ids: list[str]) -> dict[str, dict[str, list[Any]]]:
        with self.lock:
            order = [(self.head + 1 + step) % self.size for step in range(self.size)]
            order = [at for at in order if not math.isnan(self.times[at])]
            times = [self.times[at] for at in order]
            found: dict[str, dict[str, list[Any]]] = {}
            for pipe_id in pipe_ids:
                row = self.rows.get(pipe_id)
                if row is not None:
                    start = row * self.size
                    found[pipe_id] = {"t": times,
                                      "input": [finite(self.tables[0][start + at]) for at in order],
                                      "output": [finite(self.tables[1][start + at]) for at in order]}
            return found


def finite(value: float) -> float | None:
    return None if math.isnan(value) else value


class Events:
    """The most recent state changes, newest first."""

    def __init__(self) -> None:
        self.recent: deque[Event] = deque(maxlen=EVENTS_KEPT)

    def add(self, event: Event) -> None:
        self.recent.appendleft(event)

    def latest(self) -> tuple[Event, ...]:
        return tuple(self.recent)
