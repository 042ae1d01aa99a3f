"""/api/mosaic: every channel pipe as a tile of the wall at /mosaic, worst
first, in pages.  A tile is what a glance needs: the names, the states,
which side's thumbnail to show, and what is wrong with the picture and the
sound.  The order is made once per snapshot and filter, only when asked
for (a sort of 100,000 pipes), and each page's body is kept with it."""

from __future__ import annotations

import re
import threading
from functools import lru_cache
from typing import TYPE_CHECKING, Any, Mapping

from avwatch_cli.content_evidence import content_faults, judged_loudness, real
from avwatch_cli.evidence import fresh
from avwatch_cli.health import State
from avwatch_cli.serve.reasons import reason
from avwatch_cli.serve.status_pages import Query, parse_query, selected

if TYPE_CHECKING:
    from avwatch_cli.serve.snapshot import PipeView, Snapshot

DEFAULT_LIMIT = 200
MAX_LIMIT = 1000
KEPT = 16
# Worst first, as the main page sorts; a stopped channel is intended and goes last.
RANK = {State.NO_SIGNAL: 0, State.SILENT: 1, State.MALFORMED: 2, State.MISSING: 3, State.DEGRADED: 4,
        State.OK: 5, State.STOPPED: 6}
# Monitors keep a thumbnail for 30 s after they stored it.
THUMBNAIL_KEPT = 30.0
DIGITS = re.compile(r"(\d+)")


def parse_mosaic_query(arguments: Mapping[str, str]) -> Query:
    """The query of a request's arguments, as /api/status takes them but
    with the wall's page sizes; ValueError names what is wrong."""
    return parse_query(arguments, DEFAULT_LIMIT, MAX_LIMIT)


@lru_cache(maxsize=1 << 17)
def natural(name: str) -> tuple:
    """"c9" before "c10", as the page's collator orders names."""
    return tuple((0, int(part), "") if part.isdigit() else (1, 0, part) for part in DIGITS.split(name) if part)


def rank(pipe: PipeView) -> int:
    return min(RANK.get(pipe.input.state, -1), RANK.get(pipe.output.state, -1))


def ordered(snapshot: Snapshot, problems: bool, terms: tuple[str, ...]) -> list[PipeView]:
    chosen = [pipe for _, pipe in selected(snapshot, Query(problems, terms)) if pipe is not None]
    chosen.sort(key=lambda pipe: order_key(snapshot, pipe))
    return chosen


def order_key(snapshot: Snapshot, pipe: PipeView) -> tuple:
    worst = rank(pipe)
    # Among the degraded, the pipes with more faults of picture or sound first.
    faults = len(tile_faults(snapshot, pipe)) if worst == RANK[State.DEGRADED] else 0
    return worst, -faults, natural(pipe.channel), natural(pipe.pipe)


def side_records(snapshot: Snapshot, pipe: PipeView) -> tuple[tuple[str, dict | None], ...]:
    """Each side's analyser record while fresh: what its overlays are drawn from."""
    now, stale_after = snapshot.generated_at, snapshot.stale_after
    records = (("input", pipe.analysis), ("output", snapshot.hls.get(pipe.id)))
    return tuple((side, record if fresh(record, now, stale_after) else None) for side, record in records)


def tile_faults(snapshot: Snapshot, pipe: PipeView) -> list[dict[str, Any]]:
    """Each fault of picture or sound, once, with the sides that have it."""
    found: dict[str, dict[str, Any]] = {}
    for side, record in side_records(snapshot, pipe):
        if record is None:
            continue
        for kind, text in content_faults(record, snapshot.loudness_target, snapshot.loudness_tolerance):
            entry = found.setdefault(kind, {"kind": kind, "sides": [], "text": text})
            entry["sides"].append(side)
            if kind == "loudness":
                entry["off"] = round(float(judged_loudness(record) or 0.0) - snapshot.loudness_target, 1)
    return list(found.values())


def thumbnail_side(snapshot: Snapshot, pipe: PipeView) -> tuple[str | None, float | None]:
    """The side whose thumbnail the tile shows (the output's if there is
    one, else the input's) and when it was made; (None, None) without."""
    best: tuple[str | None, float | None] = (None, None)
    for side, record in side_records(snapshot, pipe):
        content = record.get("content") if record is not None else None
        made = real(content.get("thumbnail_time")) if type(content) is dict else None
        if made is not None and snapshot.generated_at - made <= THUMBNAIL_KEPT:
            best = (side, made)   # the output comes second: it wins
    return best


def tile(snapshot: Snapshot, pipe: PipeView) -> dict[str, Any]:
    side, made = thumbnail_side(snapshot, pipe)
    loudness = {}
    for name, record in side_records(snapshot, pipe):
        value = real(record.get("loudness")) if record is not None else None
        if value is not None:
            loudness[name] = value
    name, worst = min((("input", pipe.input), ("output", pipe.output)), key=lambda pair: RANK.get(pair[1].state, -1))
    # As /api/status gives it: with what the source record and the output monitor add.
    why = reason(name, worst.state, worst.reason, snapshot.sources.get(pipe.id),
                 snapshot.reported.get(pipe.id) if name == "output" else None)
    return {"id": pipe.id, "channel": pipe.channel, "pipe": pipe.pipe, "input": pipe.input.state.value,
            "output": pipe.output.state.value, "state": worst.state.value,
            "reason": why if worst.state is not State.OK else "",
            "thumbnail": side, "thumbnail_time": made, "faults": tile_faults(snapshot, pipe), "loudness": loudness}


class MosaicAnswers:
    """One snapshot's orders (by filter) and page documents (by query)."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.orders: dict[tuple[bool, tuple[str, ...]], list[PipeView]] = {}
        self.pages: dict[Query, dict[str, Any]] = {}

    def get(self, snapshot: Snapshot, query: Query) -> dict[str, Any]:
        with self.lock:
            found = self.pages.get(query)
            order = self.orders.get((query.problems, query.terms))
        if found is not None:
            return found
        if order is None:
            order = ordered(snapshot, query.problems, query.terms)
        window = order[query.offset:query.offset + query.limit]
        end = query.offset + len(window)
        found = {"generated_at": snapshot.generated_at, "redis_up": snapshot.redis_up, "counts": snapshot.counts(),
                 "loudness_target": snapshot.loudness_target, "loudness_tolerance": snapshot.loudness_tolerance,
                 "tiles": [tile(snapshot, pipe) for pipe in window],
                 "page": {"offset": query.offset, "limit": query.limit, "pipes": len(order),
                          "next": end if end < len(order) else None}}
        with self.lock:
            if len(self.orders) >= KEPT:
                self.orders.pop(next(iter(self.orders)))
            if len(self.pages) >= KEPT:
                self.pages.pop(next(iter(self.pages)))
            self.orders[(query.problems, query.terms)] = order
            self.pages[query] = found
        return found
