"""What each pipe's input monitor is told to probe: the input source record
("ch:ID:input:PIPE"), summed up for the page.  Read apart from the status
records and less often, as the channel service rewrites it rarely."""

from __future__ import annotations

import re
from typing import Any, Callable, Mapping

from avwatch_cli.health import MAX_RECORD_BYTES, json_type, loads

# Source records change when an operator edits a channel: a few seconds'
# delay on the page is fine, and the read costs a third more per refresh.
READ_EVERY_SECONDS = 10.0
URI_CHARS = 300
ID_FIELDS = (("pid", "program"), ("vpid", "video"), ("apid", "audio"))
# Query parameters whose values are secrets (SRT passphrases, stream keys).
SECRET_PARAMETER = re.compile(r"([?&;](?:passphrase|password|passwd|pass|pwd|key|token|secret|auth)"
                              r"[a-z_]*=)[^&;#]*", re.IGNORECASE)
USER_PASSWORD = re.compile(r"^([a-z][a-z0-9+.-]*://[^/@:?#]*):[^/@?#]*@", re.IGNORECASE)

Summary = dict[str, Any]   # never changed once made: snapshots share them


def source_key(channel: str, pipe: str) -> str:
    """The key the input monitor of this pipe reads, built as the monitor builds it."""
    return f"ch:{channel}:input:{pipe}"


def masked(uri: str) -> str:
    """The URI without the secrets it may carry, as the page may show it."""
    uri = USER_PASSWORD.sub(r"\1:***@", uri)
    return SECRET_PARAMETER.sub(r"\1***", uri)[:URI_CHARS]


def summarise(raw: bytes | None) -> Summary | None:
    """What the page shows of one source record: the URI, the receiving
    interface and the ids that are set (by the monitor's truth rule), or
    why the record cannot be used; None when there is no record."""
    if raw is None:
        return None
    if len(raw) > MAX_RECORD_BYTES:
        return {"problem": f"too large: {len(raw):,} bytes"}
    try:
        record = loads(raw)
    except (ValueError, RecursionError):
        return {"problem": "not JSON"}
    if type(record) is not dict:
        return {"problem": f"not a JSON object but {json_type(record)}"}
    summary: dict[str, Any] = {}
    uri = record.get("uri")
    if isinstance(uri, str) and uri:
        summary["uri"] = masked(uri)
    elif uri:
        summary["problem"] = f'"uri" is {json_type(uri)}, not a string'
    else:
        summary["problem"] = 'no "uri": the input monitor waits for one'
    if (interface := record.get("miface")) and isinstance(interface, (str, int)):
        summary["interface"] = str(interface)[:64]
    for field, name in ID_FIELDS:
        value = record.get(field)
        if value and isinstance(value, (str, int)) and not isinstance(value, bool):
            summary[name] = str(value)[:32]
    return summary


class Sources:
    """The latest summary of every pipe's source record, by pipe id.  The
    mapping is replaced, never changed, so a snapshot may hold it."""

    def __init__(self) -> None:
        self.by_id: Mapping[str, Summary] = {}
        self.raw: dict[str, bytes | None] = {}
        self.read_at = float("-inf")
        self.keys_of: object = None   # the pipe list the last read was for

    def refresh(self, read: Callable[[list[bytes]], list[bytes | None]],
                pipes: list[tuple[str, bytes]], now: float) -> None:
        """Reads the source keys of (pipe id, key) `pipes` when the pipes
        changed or the last read is old enough."""
        if pipes is self.keys_of and now - self.read_at < READ_EVERY_SECONDS:
            return
        values = read([key for _, key in pipes])
        raw = {pipe_id: value for (pipe_id, _), value in zip(pipes, values)}
        if raw != self.raw:
            self.by_id = {pipe_id: summary for pipe_id, value in raw.items()
                          if (summary := summarise(value)) is not None}
            self.raw = raw
        self.keys_of, self.read_at = pipes, now
