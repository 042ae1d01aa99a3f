"""One pipe's details for its page (GET /api/pipe?channel=C&pipe=P): its
verdict as /api/status gives it, its records as Redis holds them now (the
module's input and output records, the input analysis with its programs,
PIDs and indicators, the HLS check) and its faults by minute over the last
hour.  The records are read at request time, so /api/status and the
snapshots never carry the PID lists."""

from __future__ import annotations

import json
import time
from typing import TYPE_CHECKING, Any

from avwatch_cli.broker import REDIS_ERRORS
from avwatch_cli.serve.keys import thumbnail_key
from avwatch_cli.serve.nodes import reader_for
from avwatch_cli.serve.reader import key_bytes
from avwatch_cli.serve.snapshot import PipeView, Snapshot, pipe_json, raw_preview

if TYPE_CHECKING:
    from avwatch_cli.serve.refresher import Refresher

# The records of one pipe are a few KB (the analysis record is bounded to
# 64 KB); a larger value is shown as its start, unparsed.
LONGEST_RECORD = 256 * 1024
# The records read (fields of keys.PipeKeys): the module's input and output
# records, the input analysis (ch:ID:ts:PIPE) and the HLS check.
RECORDS = ("input", "output", "analysis", "hls")
# A thumbnail is a 320-pixel-wide JPEG of some tens of KB; a value larger
# than this, or not a JPEG, is not passed on.
LONGEST_THUMBNAIL = 1024 * 1024
JPEG_START = b"\xff\xd8\xff"
THUMBNAIL_SIDES = ("input", "output")


def find(snapshot: Snapshot, channel: str, pipe: str) -> PipeView | None:
    """The pipe by its names as /api/status shows them."""
    for view in snapshot.channels:
        if view.channel == channel:
            for found in view.pipes:
                if found.pipe == pipe:
                    return found
    return None


def record_of(raw: bytes | None) -> Any:
    """A record as JSON holds it; an unreadable or oversized one as the start of its text."""
    if raw is None:
        return None
    if len(raw) <= LONGEST_RECORD:
        try:
            return json.loads(raw)
        except ValueError:
            pass
    return {"unreadable": raw_preview(raw), "bytes": len(raw)}


class PipeDetails:
    def __init__(self, refresher: Refresher):
        self.refresher = refresher

    def document(self, channel: str, pipe: str) -> dict[str, Any] | None:
        """The pipe's details, or None for a pipe serve does not know."""
        refresher = self.refresher
        snapshot = refresher.snapshot
        view = find(snapshot, channel, pipe)
        tracked = None if view is None else refresher.by_id.get(view.id)
        if view is None or tracked is None:
            return None
        keys = tracked.keys
        wanted = [(name, getattr(keys, name)) for name in RECORDS]
        present = [(name, key) for name, key in wanted if key is not None]
        records: dict[str, Any] = {name: None for name, _ in wanted}
        read_error = None
        try:
            values = reader_for(refresher.client).values([key_bytes(key) for _, key in present])
            for (name, _), raw in zip(present, values):
                records[name] = record_of(raw)
        except REDIS_ERRORS as error:
            read_error = refresher.scrub(str(error)) or type(error).__name__
        now = time.time()
        status = pipe_json(view, snapshot.sources.get(view.id), snapshot.hls.get(view.id), snapshot.generated_at,
                           snapshot.reported.get(view.id))
        return {"generated_at": now, "channel": view.channel, "pipe": view.pipe, "id": view.id,
                "status_at": snapshot.generated_at, "status": status,
                "keys": {name: key for name, key in wanted}, "records": records, "read_error": read_error,
                "faults": refresher.faults.get(view.id, now)}

    def thumbnail(self, channel: str, pipe: str, side: str) -> bytes | None:
        """The JPEG of the pipe side's newest thumbnail, or None (a pipe serve
        does not know, no thumbnail, or a value that is no thumbnail).  The
        key is made of the names as the pipe's own keys hold them, never of
        the request's text.  Redis errors pass."""
        refresher = self.refresher
        view = refresher.snapshot.pipe_index.get((channel, pipe))
        tracked = None if view is None else refresher.by_id.get(view.id)
        if tracked is None or side not in THUMBNAIL_SIDES:
            return None
        key = key_bytes(thumbnail_key(*tracked.names, side))
        with refresher.client.pipeline(transaction=False) as batch:
            batch.strlen(key)
            batch.getrange(key, 0, LONGEST_THUMBNAIL)
            length, value = batch.execute()
        if not length or length > LONGEST_THUMBNAIL or not value.startswith(JPEG_START):
            return None
        return bytes(value)
