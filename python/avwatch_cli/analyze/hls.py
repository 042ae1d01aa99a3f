"""One HLS output followed check after check: the native checker's report
made into the record that `avwatch analyze` prints and `avwatch monitor`
publishes under ch:ID:hls:PIPE."""

from __future__ import annotations

import os
import stat
import time
from typing import Any

import avwatch_analysis

from avwatch_cli.analyze.content import content_fields, content_summary

# The checker's period is half the playlist's target duration, within these.
SHORTEST_PERIOD = 0.5
LONGEST_PERIOD = 30.0
# Until a playlist gives its target duration (the media server's default).
DEFAULT_TARGET = 6


def read_regular_file(path: str, limit: int) -> bytes | None:
    """At most `limit` bytes of the file at `path`, or None when it cannot be
    read or is no regular file. Never blocks: a FIFO in the media server's
    folder would otherwise wait for a writer."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC | os.O_NOCTTY)
    except OSError:
        return None
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            return None
        pieces = []
        left = limit
        while left > 0:
            piece = os.read(fd, min(left, 1 << 20))
            if not piece:
                break
            pieces.append(piece)
            left -= len(piece)
        return b"".join(pieces)
    except OSError:
        return None
    finally:
        os.close(fd)


def is_playlist_path(target: str) -> bool:
    return target.lower().split("?", 1)[0].endswith((".m3u8", ".m3u"))


class HlsWatch:
    """An HlsOutput and what is kept between its checks: when the current
    set of failed checks began ("since") and the newest check's thumbnail
    (whoever stores it says when in the record)."""

    def __init__(self, playlist: str, master: str | None = None):
        self.output = avwatch_analysis.HlsOutput(playlist, master)
        self.master = master
        self.failed: tuple[str, ...] | None = None
        self.since = 0.0
        self.target: int | None = None
        self.thumbnail: bytes | None = None      # a JPEG made by the newest check, else None

    @property
    def playlist(self) -> str:
        return self.output.playlist

    def check(self) -> dict[str, Any]:
        report = self.output.check()
        now = time.time()
        failed = tuple(sorted(report["checks_failed"]))
        if failed != self.failed:
            self.failed = failed
            self.since = now
        if report["target_duration"]:
            self.target = report["target_duration"]
        # Bytes have no place in the JSON record: the thumbnail is kept aside.
        self.thumbnail = report.pop("thumbnail", None)
        record: dict[str, Any] = {"time": round(now, 3), "playlist": self.playlist, "master": self.master}
        record.update(report)
        record["since"] = round(self.since, 3)
        record.update(content_fields(report.get("content"), now))
        return record

    def take_thumbnail(self) -> bytes | None:
        """The newest check's picture, once (the publisher stores it)."""
        thumbnail, self.thumbnail = self.thumbnail, None
        return thumbnail

    def period(self) -> float:
        target = self.target or DEFAULT_TARGET
        return min(LONGEST_PERIOD, max(SHORTEST_PERIOD, target / 2))


def summary(record: dict[str, Any]) -> str:
    """One line for a terminal."""
    stamp = time.strftime("%H:%M:%S", time.localtime(record["time"]))
    sequence = record["media_sequence"]
    parts = [stamp, f"seq {sequence if sequence is not None else '-'}",
             f"{record['bitrate'] / 1e6:.2f} Mb/s"]
    if record.get("declared_bitrate"):
        parts.append(f"(declared {record['declared_bitrate'] / 1e6:.2f})")
    parts.append(f"{record['segments']} segments")
    if record["stale"]:
        parts.append("STALE")
    content = content_summary(record)
    if content:
        parts.append(content)
    parts.append("; ".join(record["problems"]) if record["problems"] else "ok")
    return " ".join(parts)
