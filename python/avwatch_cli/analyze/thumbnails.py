"""The newest picture of each side of a pipe, a JPEG stored beside the side's
record: ch:{id}:thumb:{pipe}:input (the input analyser) and
ch:{id}:thumb:{pipe}:output (the HLS check).  It is written with the record
whenever a report brings a new one (at most one every 5 s) and lives 30 s,
so a monitor that stops leaves it to expire."""

from __future__ import annotations

import json
import time
from typing import Any, Literal

THUMBNAIL_TTL_SECONDS = 30

Side = Literal["input", "output"]


def thumbnail_key(channel: str, pipe: str, side: Side) -> str:
    return f"ch:{channel}:thumb:{pipe}:{side}"


def take_thumbnail(report: dict[str, Any]) -> bytes | None:
    """Removes the report's new picture (bytes, which no JSON record carries)
    and returns it; None when the report brings none."""
    thumbnail = report.pop("thumbnail", None)
    return bytes(thumbnail) if isinstance(thumbnail, (bytes, bytearray)) and thumbnail else None


class ThumbnailStore:
    """One side's thumbnail key, and when its newest picture was stored."""

    def __init__(self, broker, key: str):
        self.broker = broker
        self.key = key
        self.stored_at: float | None = None

    def publish(self, record_key: str, record: dict[str, Any], thumbnail: bytes | None,
                ttl: int | None = None) -> None:
        """Writes the record under `record_key`, and with a new thumbnail
        both in one round trip (one pipeline; each key goes to its own node
        on a Cluster).  The record's content.thumbnail_time says when the
        newest picture still stored was, by the record's clock.  Redis
        errors are the caller's."""
        now = record.get("time")
        if not isinstance(now, (int, float)):
            now = time.time()
        at = now if thumbnail is not None else self.stored_at
        if at is not None and now - at >= THUMBNAIL_TTL_SECONDS:
            at = None   # expired by now
        content = record.get("content")
        if isinstance(content, dict):
            content["thumbnail_time"] = None if at is None else round(at, 3)
        elif at is not None:
            record["content"] = {"thumbnail_time": round(at, 3)}
        text = json.dumps(record)
        expiry = {} if ttl is None else {"ex": ttl}
        if thumbnail is None:
            self.broker.set(record_key, text, **expiry)
            return
        pipeline = self.broker.pipeline(transaction=False)
        pipeline.set(record_key, text, **expiry)
        pipeline.set(self.key, thumbnail, ex=THUMBNAIL_TTL_SECONDS)
        pipeline.execute()
        # Only once written: a failed write leaves the older picture's time.
        self.stored_at = now
