"""The HLS output analyser's records (ch:ID:hls:PIPE), read at each refresh
beside the status records, a chunk at a time, and parsed at every read (the
check rewrites its record every few seconds).  They carry no health state
of their own: serve weighs them against the output side, shows them beside
it and exports them."""

from __future__ import annotations

from collections.abc import Mapping
from types import MappingProxyType
from typing import Any

import orjson

from avwatch_cli.serve.analysis import CONTENT_FIELDS, pick, refused, summarised
from avwatch_cli.serve.chunks import ChunkReaders, chunked
from avwatch_cli.serve.plan import Plan, Tracked
from avwatch_cli.serve.reader import key_bytes

# Longer values are not parsed (a record is well under 2 KiB).
LONGEST_RECORD = 64 * 1024
# The record's fields serve weighs, exports and shows; the rest (the folder's
# housekeeping, the paths) is the analyser's to print, and kept whole for
# 100,000 pipes it was the largest part of serve's memory.
KEPT_FIELDS = ("time", "media_sequence", "bitrate", "declared_bitrate", "stale", "problems", "checks_failed",
               "since", "continuity_errors", "lag", "sequence_resets", "missing_segment_checks", *CONTENT_FIELDS)


def parsed(raw: bytes | None) -> dict[str, Any] | None:
    if raw is None or len(raw) > LONGEST_RECORD:
        return None
    try:
        record = orjson.loads(raw)
    except orjson.JSONDecodeError:
        record = refused(raw)
    return summarised(pick(record, KEPT_FIELDS, "")) if type(record) is dict else None


class HlsRecords:
    def __init__(self) -> None:
        self.records: Mapping[str, dict] = MappingProxyType({})
        self._plan: Plan | None = None
        self._owners: list[Tracked] = []
        self._chunks: list[list[bytes]] = []

    def read(self, readers: ChunkReaders, plan: Plan) -> None:
        """Reads the records of the plan's pipes that have one, a chunk at a
        time (Redis errors pass)."""
        if plan is not self._plan:
            # One key list per plan: a Cluster's reader groups a list by slot once.
            self._plan = plan
            named = [(tracked, name) for tracked in plan.pipes if (name := tracked.hls_key) is not None]
            self._owners = [tracked for tracked, _ in named]
            self._chunks = chunked([key_bytes(name) for _, name in named])
        records: dict[str, dict] = {}
        owners = iter(self._owners)
        for chunk in readers.values(self._chunks):
            for value, tracked in zip(chunk, owners):   # the chunk first: zip stops on it, taking no owner more
                record = parsed(value)
                if record is not None:
                    records[tracked.id] = record
        self.records = MappingProxyType(records)
