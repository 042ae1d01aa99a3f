"""The input analyser's records (ch:ID:ts:PIPE) as serve shows them: read
with the status records, parsed only when their value changes, and kept
out of the judgement of the sides (they describe the stream, not whether a
monitor answers)."""

from __future__ import annotations

import json
from typing import Any

# The record's fields that serve passes on: totals, the last window's
# counts and the state flags (not the per-PID list, which can be long).
SHOWN_FIELDS = (
    "bitrate", "packets", "continuity_errors", "sync_losses", "sync_byte_errors", "pat_errors", "pmt_errors",
    "pid_errors", "transport_errors", "crc_errors", "pcr_repetition_errors", "pcr_discontinuity_errors",
    "pts_errors", "rtp_lost", "lost_packets", "non_ts_datagrams", "bytes", "datagrams", "cat_errors",
    "reordered_packets", "pcr_accuracy_errors", "receive_drops", "pcr_jitter_ms",
    "window", "in_sync", "pat_present", "pmt_present", "delay_factor_ms", "media_loss_rate", "longest_gap",
    "window_longest_gap", "data_age", "started", "time", "error_times", "method",
)


class Analysis:
    """One pipe's analysis record, parsed once per value."""

    __slots__ = ("raw", "parsed")

    def __init__(self) -> None:
        self.raw: bytes | None = None
        self.parsed: dict[str, Any] | None = None

    def record(self, raw: bytes | None) -> dict[str, Any] | None:
        if raw != self.raw:
            self.raw = raw
            self.parsed = parse(raw)
        return self.parsed


def parse(raw: bytes | None) -> dict[str, Any] | None:
    if raw is None:
        return None
    try:
        record = json.loads(raw)
    except ValueError:
        return None
    if not isinstance(record, dict):
        return None
    if isinstance(record.get("analysis_failed"), str):
        # The monitor's word that the input should be analysed and is not.
        return {"analysis_failed": record["analysis_failed"][:300], "time": record.get("time")}
    if not isinstance(record.get("bitrate"), (int, float)):
        return None
    return {name: record[name] for name in SHOWN_FIELDS if name in record}
