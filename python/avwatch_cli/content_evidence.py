"""What viewers see and hear, as the analysers' records tell it: a picture
black or frozen, the first audio stream silent, or its loudness over the
last minute too far from the target.  A flag that is null (nothing decoded yet, no such
stream) is unknown, never a fault.

Pure and standard-library only, like evidence: `avwatch monitor` logs the
same faults that make `avwatch serve` call a side `degraded`."""

from __future__ import annotations

import math
import time
from typing import Any

# EBU R128's programme target and a tolerance wide enough for the
# short-term loudness of ordinary programmes.
DEFAULT_TARGET = -23.0
DEFAULT_TOLERANCE = 5.0
MINUS = "\N{MINUS SIGN}"
# The fields of a record's "content" that serve keeps (content_summary):
# what the verdict, the page and the mosaic use.
SUMMARY_FIELDS = ("black_since", "frozen_since", "silent_since", "integrated", "thumbnail_time")


def real(value: Any) -> float | None:
    """A finite JSON number as float (never a boolean); None otherwise."""
    if value is None:   # the usual value of the "*_since" fields
        return None
    if type(value) is int:
        return float(value) if -2**63 <= value < 2**63 else None
    if type(value) is float and math.isfinite(value):
        return value
    return None


def content_summary(content: Any) -> dict[str, Any] | None:
    """A record's "content" cut to SUMMARY_FIELDS (flat; the first audio
    stream's for the audio ones): a few fields kept per pipe instead of
    nested dicts for every stream."""
    if type(content) is not dict:
        return None
    video = content.get("video")
    audio = content.get("audio")
    first = audio[0] if type(audio) is list and audio and type(audio[0]) is dict else {}
    video = video if type(video) is dict else {}
    return {"black_since": real(video.get("black_since")), "frozen_since": real(video.get("frozen_since")),
            "silent_since": real(first.get("silent_since")), "integrated": real(first.get("integrated")),
            "thumbnail_time": real(content.get("thumbnail_time"))}


def since(record: dict, name: str) -> float | None:
    """When the current run of `name` (black, frozen, silent) began, from a
    whole record or from serve's summary of it."""
    content = record.get("content")
    if type(content) is not dict:
        return None
    field = name + "_since"
    if field in content:
        return real(content[field])
    if name == "silent":
        audio = content.get("audio")
        part = audio[0] if type(audio) is list and audio else None
    else:
        part = content.get("video")
    return real(part.get(field)) if type(part) is dict else None


def clock(epoch: float) -> str:
    return time.strftime("%H:%M:%S", time.localtime(epoch))


def signed(value: float) -> str:
    return f"{value:.1f}".replace("-", MINUS)


def judged_loudness(record: dict) -> float | None:
    """The loudness a side is judged by: the last minute's (a programme's
    short-term loudness swings past any tolerance and back within seconds),
    else the short-term one of a record that has no minute yet."""
    minute = real(record.get("loudness_minute"))
    return minute if minute is not None else real(record.get("loudness"))


def loudness_fault(loudness: float, target: float, tolerance: float) -> str | None:
    off = loudness - target
    if abs(off) <= tolerance:
        return None
    return (f"loudness {signed(loudness)} LUFS, {abs(off):.1f} LU "
            f"{'below' if off < 0 else 'above'} target")


def content_faults(record: dict, target: float = DEFAULT_TARGET,
                   tolerance: float = DEFAULT_TOLERANCE) -> list[tuple[str, str]]:
    """(key, text) of each content fault of an analyser's record."""
    found = []
    for name in ("black", "frozen", "silent"):
        if record.get(name) is True:
            began = since(record, name)
            found.append((name, name if began is None else f"{name} since {clock(began)}"))
    loudness = judged_loudness(record)
    if loudness is not None and (text := loudness_fault(loudness, target, tolerance)) is not None:
        found.append(("loudness", text))
    return found
