"""The input analyser's records (ch:ID:ts:PIPE) as serve shows them: read
a chunk at a time beside the status records, parsed at every read (the
analyser rewrites its record every second, so telling an unchanged one
apart would cost more than it saves), and kept out of the judgement of the
sides (they describe the stream, not whether a monitor answers)."""

from __future__ import annotations

import json
from typing import Any, Callable, Iterator

import orjson

from avwatch_cli.content_evidence import content_summary
from avwatch_cli.serve import accelerator

# What viewers see and hear, in both analysers' records: the flags, the
# short-term loudness and "content", kept as its summary (content_summary).
CONTENT_FIELDS = ("black", "frozen", "silent", "loudness", "loudness_minute", "content")

# The record's fields that serve passes on: totals, the last window's
# counts and the state flags (not the per-PID list, which can be long).
SHOWN_FIELDS = (
    "bitrate", "packets", "continuity_errors", "sync_losses", "sync_byte_errors", "pat_errors", "pmt_errors",
    "pid_errors", "transport_errors", "crc_errors", "pcr_repetition_errors", "pcr_discontinuity_errors",
    "pts_errors", "rtp_lost", "lost_packets", "non_ts_datagrams", "bytes", "datagrams", "cat_errors",
    "reordered_packets", "pcr_accuracy_errors", "receive_drops", "pcr_jitter_ms",
    "window", "in_sync", "pat_present", "pmt_present", "delay_factor_ms", "media_loss_rate", "longest_gap",
    "window_longest_gap", "data_age", "started", "time", "error_times", "method",
    *CONTENT_FIELDS,
)


def refused(raw: bytes | str) -> Any:
    """A record orjson refused, as the standard library reads it (NaN,
    integers beyond 64 bits), or None when unreadable."""
    try:
        return json.loads(raw)
    except ValueError:
        return None


def value_key(raw: bytes | int | None) -> int | None:
    """What is kept of a value to tell the next one from it: its hash, as
    the 2 kB value itself times 100,000 pipes is more than the rest of
    serve's memory (two records a hash apart are as good as never seen).
    A key stands for itself: the refresher parses each record as it reads
    it and judges from the keys."""
    if raw is None or type(raw) is int:
        return raw
    return hash(raw)


class Analysis:
    """One pipe's analysis record, parsed once per value."""

    __slots__ = ("key", "parsed")

    def __init__(self) -> None:
        self.key: int | None = None
        self.parsed: dict[str, Any] | None = None

    def record(self, raw: bytes | int | None) -> dict[str, Any] | None:
        key = value_key(raw)
        if key != self.key:
            self.key = key
            self.parsed = parse(raw)
        return self.parsed


def parse(raw: bytes | int | None) -> dict[str, Any] | None:
    if not isinstance(raw, (bytes, str)):
        return None
    try:
        record = orjson.loads(raw)
    except orjson.JSONDecodeError:
        record = refused(raw)
    if type(record) is not dict:
        return None
    if isinstance(record.get("analysis_failed"), str):
        # The monitor's word that the input should be analysed and is not.
        return {"analysis_failed": record["analysis_failed"][:300], "time": record.get("time")}
    if not isinstance(record.get("bitrate"), (int, float)):
        return None
    return summarised(pick(record, SHOWN_FIELDS, "window"))


def summarised(shown: dict[str, Any]) -> dict[str, Any]:
    """A picked record with its "content" cut to the summary."""
    if "content" in shown:
        shown["content"] = content_summary(shown["content"])
    return shown


# The key of every readable record, for the judge: a pipe with one is judged
# again at every refresh whatever its value (its weight changes with its
# age), so only whether there is one tells the judge anything.
READ = 1


def read_chunk(chunk: list[bytes | None], owners: Iterator[Any], found: list[int | None]) -> None:
    """Each value of a chunk parsed into its owner's Analysis (the owners
    being the plan's, in the order of its analysis keys), its key (READ, or
    None without a readable record) appended to `found`."""
    for raw, owner in zip(chunk, owners):   # the chunk first: zip stops on it, taking no owner more
        analysis = owner.analysis
        parsed = analysis.parsed = None if raw is None else parse(raw)
        key = analysis.key = None if parsed is None else READ
        found.append(key)


def pick_fields(record: dict[str, Any], names: tuple[str, ...], sparse: str) -> dict[str, Any]:
    """The record's fields of `names`; the one named `sparse` (the last
    window's counters) without the counters that are 0: a healthy stream's
    are nearly all 0, and an absent one reads as 0 wherever it is used.
    native.pick does the same in C."""
    shown = {name: record[name] for name in names if name in record}
    counts = shown.get(sparse)
    if type(counts) is dict:
        shown[sparse] = {name: count for name, count in counts.items() if count != 0}
    return shown


# pick_fields in C, where installed.
pick: Callable[[dict[str, Any], tuple[str, ...], str], dict[str, Any]] = (
    pick_fields if accelerator.module is None else accelerator.module.pick)
