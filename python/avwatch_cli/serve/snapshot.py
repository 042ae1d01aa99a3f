"""What one refresh saw: an immutable snapshot that HTTP handlers read while
the next one is built, and the list of recent state changes."""

from __future__ import annotations

import json
from collections import deque
from dataclasses import dataclass
from functools import cached_property
from types import MappingProxyType
from typing import Any, Mapping, NamedTuple

from avwatch_cli.health import State

EVENTS_KEPT = 200
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
    analysis: dict | None = None   # the input analyser's latest record


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


@dataclass(frozen=True, kw_only=True, eq=False)
class Snapshot:
    """Built whole by the refresher, then only read.  Compared by identity
    (the exposition's cache asks "is this the same refresh?"); no slots, as
    status_json caches itself in the instance dictionary."""

    generated_at: float
    redis_up: bool
    redis_url: str
    redis_error: str | None
    freshness_mode: str
    refresh_seconds: float
    stale_after: float
    channels: tuple[ChannelView, ...]
    events: tuple[Event, ...]
    malformed_total: int
    changes_total: dict[tuple[str, str], int]
    refresh_duration: float
    hls: Mapping[str, dict] = MappingProxyType({})   # pipe id -> the HLS analyser's record

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
                            "output": side_json(pipe.output, self.generated_at),
                            "analysis": pipe.analysis,
                            "hls": self.hls.get(pipe.id)}
                           for pipe in channel.pipes]}
                for channel in self.channels],
            "events": [event.as_json() for event in self.events],
        }, separators=(",", ":")).encode()


def side_json(side: SideView, now: float) -> dict[str, Any]:
    age = side.age(now)
    return {"state": side.state.value, "reason": side.reason, "record": side.record,
            "raw": side.raw, "age_seconds": None if age is None else round(age, 3)}


def raw_preview(raw: bytes) -> str:
    # A UTF-8 character is at most 4 bytes: decode no more than can be shown.
    return raw[:RAW_PREVIEW_CHARS * 4].decode("utf-8", "replace")[:RAW_PREVIEW_CHARS]


class Events:
    """The most recent state changes, newest first."""

    def __init__(self) -> None:
        self.recent: deque[Event] = deque(maxlen=EVENTS_KEPT)

    def add(self, event: Event) -> None:
        self.recent.appendleft(event)

    def latest(self) -> tuple[Event, ...]:
        return tuple(self.recent)
