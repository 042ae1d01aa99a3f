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
    raw: str | None          # the start of an unreadable value, as text
    age: float | None


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
                            "input": side_json(pipe.input), "output": side_json(pipe.output)}
                           for pipe in channel.pipes]}
                for channel in self.channels],
            "events": [event.as_json() for event in self.events],
        }, separators=(",", ":")).encode()


def side_json(side: SideView) -> dict[str, Any]:
    return {"state": side.state.value, "reason": side.reason, "record": side.record,
            "raw": side.raw, "age_seconds": None if side.age is None else round(side.age, 3)}


def raw_preview(raw: bytes | str | None) -> str | None:
    if raw is None:
        return None
    if isinstance(raw, bytes):
        raw = raw[:RAW_PREVIEW_CHARS * 4].decode("utf-8", "replace")
    return raw[:RAW_PREVIEW_CHARS]


class History:
    """Input and output bitrate of every pipe at each of the last refreshes,
    in fixed-size rings: one shared ring of sample times, and per pipe two
    rings of floats aligned with it (NaN where nothing was known)."""

    def __init__(self, refresh_seconds: float):
        self.size = max(2, min(HISTORY_SAMPLES_MAX, math.ceil(HISTORY_SECONDS / refresh_seconds)))
        self.times = array.array("d", [math.nan] * self.size)
        self.rings: dict[str, tuple[array.array, array.array]] = {}
        self.head = -1
        self.lock = threading.Lock()

    def add(self, now: float, samples: dict[str, tuple[float | None, float | None]]) -> None:
        """One sample per known pipe; pipes not in `samples` are dropped."""
        nan = math.nan
        with self.lock:
            self.head = (self.head + 1) % self.size
            head = self.head
            self.times[head] = now
            for gone in [pipe for pipe in self.rings if pipe not in samples]:
                del self.rings[gone]
            for pipe, (input_bps, output_bps) in samples.items():
                rings = self.rings.get(pipe)
                if rings is None:
                    empty = array.array("f", [nan]) * self.size
                    rings = self.rings[pipe] = (empty, array.array("f", empty))
                rings[0][head] = nan if input_bps is None else input_bps
                rings[1][head] = nan if output_bps is None else output_bps

    def get(self, pipes: list[str]) -> dict[str, dict[str, list]]:
        with self.lock:
            order = [(self.head + 1 + step) % self.size for step in range(self.size)]
            order = [at for at in order if not math.isnan(self.times[at])]
            times = [self.times[at] for at in order]
            found = {}
            for pipe in pipes:
                rings = self.rings.get(pipe)
                if rings is not None:
                    found[pipe] = {"t": times,
                                   "input": [finite(rings[0][at]) for at in order],
                                   "output": [finite(rings[1][at]) for at in order]}
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
