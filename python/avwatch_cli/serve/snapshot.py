"""What one refresh saw: an immutable snapshot that HTTP handlers read while
the next one is built, and the list of recent state changes."""

from __future__ import annotations

import json
import math
from collections import deque
from dataclasses import dataclass
from functools import cached_property
from types import MappingProxyType
from typing import TYPE_CHECKING, Any, Mapping, NamedTuple

import orjson

from avwatch_cli.content_evidence import DEFAULT_TARGET, DEFAULT_TOLERANCE
from avwatch_cli.health import State
from avwatch_cli.serve import status_pages
from avwatch_cli.serve.reasons import reason

if TYPE_CHECKING:
    from avwatch_cli.serve.mosaic import MosaicAnswers

EMPTY_SOURCES: Mapping[str, dict] = MappingProxyType({})
EMPTY_REPORTED: Mapping[str, str] = MappingProxyType({})
EVENTS_KEPT = 200
RAW_PREVIEW_CHARS = 200


class SideView(NamedTuple):
    state: State
    reason: str
    record: dict | None
    raw: str | None           # the start of an unreadable value, as text
    written_at: float | None  # when the record was last written, as far as known
    since: float | None = None   # when serve saw the side enter this state
    since_first_read: bool = False   # already in it when serve first read it: since is a lower bound
    measured: float | None = None    # the analyser's measured rate (b/s) from its fresh record

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
    before: State | None   # None: the state the side had when serve first read it
    after: State
    reason: str

    def as_json(self) -> dict[str, Any]:
        return {"time": self.time, "channel": self.channel, "pipe": self.pipe, "side": self.side,
                "from": None if self.before is None else self.before.value, "to": self.after.value,
                "reason": self.reason}


@dataclass(frozen=True, kw_only=True, eq=False)
class Snapshot:
    """Built whole by the refresher, then only read.  Compared by identity
    (the exposition's cache asks "is this the same refresh?"); no slots, as
    its /api/status answers are kept in the instance dictionary."""

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
    read_at: float | None = None   # of the last successful read, which the states are from
    sources: Mapping[str, dict] = EMPTY_SOURCES   # input source summaries by pipe id
    reported: Mapping[str, str] = EMPTY_REPORTED   # output monitors' own reasons by pipe id
    hls: Mapping[str, dict] = EMPTY_SOURCES   # the HLS analyser's records by pipe id
    loudness_target: float = DEFAULT_TARGET       # LUFS, and how far from it is
    loudness_tolerance: float = DEFAULT_TOLERANCE  # still right (LU): serve's options

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
    def entries(self) -> list[tuple[ChannelView, PipeView | None]]:
        return status_pages.entries(self)

    @cached_property
    def pipe_index(self) -> dict[tuple[str, str], PipeView]:
        """The pipes by their names as shown, made when first asked for (thumbnail requests)."""
        return {(pipe.channel, pipe.pipe): pipe for pipe in self.pipes()}

    @cached_property
    def problem_entries(self) -> list[tuple[ChannelView, PipeView | None]]:
        return [(channel, pipe) for channel, pipe in self.entries if status_pages.has_problem(pipe)]

    @cached_property
    def answers(self) -> status_pages.Answers:
        return status_pages.Answers()

    @cached_property
    def mosaic_answers(self) -> MosaicAnswers:
        from avwatch_cli.serve.mosaic import MosaicAnswers
        return MosaicAnswers()

    def status(self, query: status_pages.Query = status_pages.Query(), gzipped: bool = False) -> bytes:
        """An /api/status body, encoded once per snapshot and query however often it is asked for."""
        return self.answers.get(self, query, gzipped)

    @property
    def status_json(self) -> bytes:
        return self.status()

    @property
    def status_gzip(self) -> bytes:
        return self.status(gzipped=True)

    def head_document(self) -> dict[str, Any]:
        """What every /api/status answer begins with."""
        return {
            "generated_at": self.generated_at,
            "redis": {"up": self.redis_up, "url": self.redis_url, "error": self.redis_error,
                      "read_at": self.read_at},
            "freshness_mode": self.freshness_mode,
            "refresh_seconds": self.refresh_seconds,
            "stale_after": self.stale_after,
            "counts": self.counts(),
        }


def strict_json(document: Any) -> bytes:
    """Standard JSON whatever a record held: a number beyond the double range
    (1e400 reads as infinity) or NaN, which a record may carry in a field
    the judge does not check, become null."""
    try:
        return orjson.dumps(document)
    except orjson.JSONEncodeError:
        # What orjson refuses: integers beyond 64 bits, text with lone surrogates.
        return json.dumps(finite(document), separators=(",", ":"), allow_nan=False).encode()


def finite(value: Any) -> Any:
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {key: finite(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [finite(item) for item in value]
    return value


def pipe_json(pipe: PipeView, source: dict | None, hls: dict | None, now: float,
              reported: str | None = None) -> dict[str, Any]:
    output_reason = reason("output", pipe.output.state, pipe.output.reason, None, reported)
    return {"id": pipe.id, "pipe": pipe.pipe, "source": source,
            "input": side_json(pipe.input, now, reason("input", pipe.input.state, pipe.input.reason, source)),
            "output": side_json(pipe.output, now, output_reason),
            "analysis": pipe.analysis, "hls": hls}


def side_json(side: SideView, now: float, shown_reason: str) -> dict[str, Any]:
    age = side.age(now)
    # The rate first: the analyser's measurement where it has a fresh one,
    # else the module's estimate ("bitrate" of the record).
    estimate = side.record.get("bitrate") if side.record is not None else None
    measured = side.measured
    return {"state": side.state.value, "bitrate": estimate if measured is None else measured,
            "bitrate_measured": measured is not None, "estimated_bitrate": estimate,
            "reason": shown_reason, "record": side.record,
            "raw": side.raw, "age_seconds": None if age is None else round(age, 3),
            "since": side.since, "since_first_read": side.since_first_read}


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
