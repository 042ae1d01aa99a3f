"""What the output monitors say of their own failures: `avwatch monitor`
publishes the error of its failing passes (or a playlist missing at start)
under "avwatch:reason:" + the output status key, as JSON
{"reason": str, "since": epoch, "seen": epoch, "passes": int}.

Read like the input source records, apart from the status records and
seldom; only the keys of the pipes serve knows are read (never a SCAN).  A
reason counts only while its "seen" is within --stale-after of the read: a
monitor that died keeps its key, and its last word must not outlive it."""

from __future__ import annotations

import math
from typing import Callable, Mapping

from avwatch_cli.health import MAX_RECORD_BYTES, loads

# The reason explains a state that lasts; seconds of delay are fine.
READ_EVERY_SECONDS = 10.0
REASON_CHARS = 300


def decode(raw: bytes | None) -> tuple[str, float] | None:
    """The reason as one line of bounded length, and when the monitor last
    met it; None for no value or one that is not such a record."""
    if raw is None or len(raw) > MAX_RECORD_BYTES:
        return None
    try:
        record = loads(raw)
    except (ValueError, RecursionError):
        return None
    if type(record) is not dict:
        return None
    text, seen = record.get("reason"), record.get("seen")
    if not isinstance(text, str) or not isinstance(seen, (int, float)) or isinstance(seen, bool):
        return None
    try:
        seen = float(seen)
    except OverflowError:   # an integer beyond the double range
        return None
    if not math.isfinite(seen):
        return None
    # ffprobe's messages span lines; control characters and lone surrogates never reach the page.
    text = " ".join(text[:REASON_CHARS * 2].split())
    if not text.isprintable():
        text = "".join(char if char.isprintable() else "\ufffd" for char in text)
    return (text[:REASON_CHARS], seen) if text else None


class Reported:
    """The current reason of every pipe whose output monitor published one,
    by pipe id.  The mapping is replaced, never changed, so a snapshot may
    hold it."""

    def __init__(self, stale_after: float) -> None:
        self.stale_after = stale_after
        # Often enough that a live monitor's "seen" is never read as old.
        self.every = min(READ_EVERY_SECONDS, stale_after / 2)
        self.by_id: Mapping[str, str] = {}
        self.read_at = float("-inf")
        self.keys_of: object = None   # the pipe list the last read was for

    def refresh(self, read: Callable[[list[bytes]], list[bytes | None]],
                pipes: list[tuple[str, bytes]], now: float) -> None:
        """Reads the reason keys of (pipe id, key) `pipes` when the pipes
        changed or the last read is old enough."""
        if pipes is self.keys_of and now - self.read_at < self.every:
            return
        values = read([key for _, key in pipes])
        found: dict[str, str] = {}
        for (pipe_id, _), raw in zip(pipes, values):
            # A clock far ahead would keep a dead monitor's reason for ever: both ways count.
            if raw is not None and (decoded := decode(raw)) and abs(now - decoded[1]) <= self.stale_after:
                found[pipe_id] = decoded[0]
        if found != self.by_id:
            self.by_id = found
        self.keys_of, self.read_at = pipes, now
