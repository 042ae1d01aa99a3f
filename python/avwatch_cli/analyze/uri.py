"""Which inputs the analyser can watch, and the URI it is given for a
channel's input record."""

from __future__ import annotations

from typing import Any

ANALYSABLE_SCHEMES = ("udp://", "rtp://")


def analysable(uri: str) -> bool:
    return uri.startswith(ANALYSABLE_SCHEMES)


def input_uri(record: dict[str, Any]) -> str:
    """The record's URI with its interface address, as the probe gets it."""
    uri = str(record.get("uri", ""))
    interface = record.get("miface")
    if interface and analysable(uri) and "localaddr=" not in uri:
        uri += ("&" if "?" in uri else "?") + f"localaddr={interface}"
    return uri


def program_of(record: dict[str, Any]) -> int | None:
    """The record's "pid" (the program number), when it names one."""
    try:
        number = int(record.get("pid") or 0)
    except (TypeError, ValueError):
        return None
    return number if 0 < number < 65536 else None
