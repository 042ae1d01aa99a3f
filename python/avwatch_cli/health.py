"""The judge: one state per channel pipe and side, from the status record as
read, the channel's live flag and the time since the record was last written.

Pure and standard-library only: `avwatch monitor` imports it without the
serve extra's dependencies.  The README's table of states describes these
rules; keep the two in step."""

from __future__ import annotations

import enum
import json
import math
from typing import Any, Callable, Literal, NamedTuple

Side = Literal["input", "output"]
SIDES: tuple[Side, Side] = ("input", "output")

# A status record is a few hundred bytes; anything far larger was not written
# by a monitor, and decoding it on every refresh would cost the whole snapshot.
MAX_RECORD_BYTES = 64 * 1024

DECODER = json.JSONDecoder()
# What DECODER.decode runs, without the checks around it (an attribute that
# JSONDecoder sets and its type stubs do not list).
SCAN = DECODER.scan_once  # type: ignore[attr-defined]
# Numbers are bounded so that every later conversion to float holds them.
LIMIT = 2**63
TEXT_FIELDS = ("acodec", "vcodec", "vresolution", "lastts")
NUMBER_FIELDS = ("vfps", "vbitrate", "abitrate", "bitrate")
CHANNEL_STOPPED = 'the channel record says "live" false'


class State(str, enum.Enum):
    OK = "ok"
    NO_SIGNAL = "no_signal"
    SILENT = "silent"
    MISSING = "missing"
    MALFORMED = "malformed"
    STOPPED = "stopped"
    DEGRADED = "degraded"   # answers, but the analysers measured a fault (see evidence)

    def __str__(self) -> str:
        return self.value


class Verdict(NamedTuple):
    """Immutable; a named tuple because one is made for every record
    rewritten between two refreshes, and it is the cheapest to make."""
    state: State
    record: dict | None   # the record as read; None when absent or unreadable
    reason: str           # a few words for the operator


def judge(side: Side, raw: bytes | str | None, live: bool | None, age: float | None,
          stale_after: float, decoder: Callable[[Any], tuple[dict | None, str]] | None = None) -> Verdict:
    """The state of one side of a pipe.

    `live` is the channel record's "live" (None: that record is absent or
    unreadable); `age` is the number of seconds since the status record was
    last written (None: not known).  `decoder` may stand in for decode with
    a faster one that gives the same answers."""
    record, problem = (decoder or decode)(raw)
    if live is None:
        return Verdict(State.STOPPED, record, "no readable channel record")
    if not live:
        return Verdict(State.STOPPED, record, CHANNEL_STOPPED)
    if raw is None:
        return Verdict(State.MISSING, None, "no record while the channel is live")
    # A record nobody rewrites means its monitor died or hung, whatever it says.
    if age is not None and age > stale_after:
        return Verdict(State.SILENT, record, f"no write for {age:.0f} s")
    if record is None:
        return Verdict(State.MALFORMED, None, problem)
    return signal_verdict(side, record)


def signal_verdict(side: Side, record: dict) -> Verdict:
    get = record.get
    if side == "output":
        if get("bitrate", 0) <= 0:
            return Verdict(State.NO_SIGNAL, record, "bitrate 0: no fresh segment")
        if not get("lastts"):
            return Verdict(State.NO_SIGNAL, record, "no segment name")
        return Verdict(State.OK, record, f"newest segment {record['lastts']}")
    if has_signal(record):
        return Verdict(State.OK, record, "the probe answered")
    if is_initial_record(record):
        return Verdict(State.NO_SIGNAL, record, "the output monitor's initial record: no probe yet")
    return Verdict(State.NO_SIGNAL, record, "the probe got no answer")


def has_signal(record: dict) -> bool:
    """The probe answers with at least one codec or a bitrate; its answer
    for an unreachable stream is all empty strings and zeros."""
    get = record.get
    return bool(get("acodec") or get("vcodec") or get("bitrate", 0) > 0)


def is_initial_record(record: dict) -> bool:
    # Only the output monitor's records carry these; the probe's never do.
    return "lastts" in record or "name" in record


def decode(raw: bytes | str | None) -> tuple[dict | None, str]:
    """The record, or None and why it cannot be read."""
    if raw is None:
        return None, "absent"
    if len(raw) > MAX_RECORD_BYTES:
        return None, f"too large: {len(raw):,} bytes"
    try:
        value = loads(raw)
    except (ValueError, RecursionError):
        return None, "not JSON"
    if type(value) is not dict:
        return None, f"not a JSON object but {json_type(value)}"
    get = value.get
    # Every record rewritten since the last refresh comes through here: the
    # usual one (text fields, whole numbers) passes in one expression.  Exact
    # types: the decoder makes no subclasses, and bool is not a number here.
    if (type(get("acodec", "")) is str and type(get("vcodec", "")) is str
            and type(get("vresolution", "")) is str and type(get("lastts", "")) is str
            and type(vfps := get("vfps", 0)) is int and -LIMIT <= vfps < LIMIT
            and type(vbitrate := get("vbitrate", 0)) is int and -LIMIT <= vbitrate < LIMIT
            and type(abitrate := get("abitrate", 0)) is int and -LIMIT <= abitrate < LIMIT
            and type(bitrate := get("bitrate")) is int and -LIMIT <= bitrate < LIMIT):
        return value, ""
    problem = record_problem(value)
    return (None, problem) if problem else (value, "")


def record_problem(value: dict) -> str:
    """Why a JSON object is not a status record; "" when it is one."""
    get = value.get
    for field in TEXT_FIELDS:
        if type(get(field, "")) is not str:
            return f'"{field}" is {json_type(value[field])}, not a string'
    for field in NUMBER_FIELDS:
        number = get(field, 0)
        if not is_number(number):
            return f'"{field}" is {json_type(number)}, not a number'
    if "bitrate" not in value:
        return 'no "bitrate"'
    return ""


def loads(raw: bytes | str) -> Any:
    """json.loads, with the usual record (UTF-8 text of one object, nothing
    around it) spared the encoding detection and the whitespace scans."""
    if isinstance(raw, bytes):
        if raw[:1] not in (b"{", b"["):
            return json.loads(raw)   # UTF-16/32 or a BOM, as json.loads accepts them
        text = raw.decode()
    else:
        text = raw
    if text[:1] == "{":
        try:
            value, end = SCAN(text, 0)
        except StopIteration as error:
            raise ValueError(f"no JSON value at {error.value}") from None
        if end == len(text):
            return value
    return DECODER.decode(text)   # surrounding whitespace is allowed, anything else is not


def channel_live(raw: bytes | str | None) -> bool | None:
    """The channel record's "live" by the monitors' truth rule; None when the
    record is absent, unreadable or has no "live" (the monitors stop or fail
    on those too)."""
    value = json_object(raw)
    if value is None or "live" not in value:
        return None
    return bool(value["live"])


def json_object(raw: bytes | str | None) -> dict | None:
    """A record that is a JSON object within the size bound; None otherwise."""
    if raw is None or len(raw) > MAX_RECORD_BYTES:
        return None
    try:
        value = loads(raw)
    except (ValueError, RecursionError):
        return None
    return value if isinstance(value, dict) else None


def is_number(value: Any) -> bool:
    if isinstance(value, bool):
        return False
    if isinstance(value, int):
        return -LIMIT <= value < LIMIT
    return isinstance(value, float) and math.isfinite(value)


def json_type(value: Any) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, (int, float)):
        return "a number" if is_number(value) else "a number out of range"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, list):
        return "an array"
    return "an object"


def essentials(side: Side, record: dict) -> str:
    """One line for the operator, e.g. "h264/aac 640x360 25 fps, 1,234,567 b/s,
    lastts 12.ts"; only what the record sets."""
    codecs = "/".join(str(record[field]) for field in ("vcodec", "acodec") if record.get(field))
    picture = " ".join(part for part in (
        codecs,
        str(record["vresolution"]) if record.get("vresolution") else "",
        f"{number(record['vfps'])} fps" if record.get("vfps") else "",
    ) if part)
    parts = [picture] if picture else []
    parts.append(f"{number(record.get('bitrate') or 0)} b/s")
    if side == "output" and record.get("lastts"):
        parts.append(f"lastts {record['lastts']}")
    return ", ".join(parts)


def number(value: Any) -> str:
    if isinstance(value, float) and not value.is_integer():
        return f"{value:,.2f}"
    try:
        return f"{int(value):,}"
    except (TypeError, ValueError, OverflowError):
        return str(value)
