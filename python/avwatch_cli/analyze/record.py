"""The per-second analysis record of one pipe, as published under
ch:{id}:ts:{pipe} and printed by `avwatch analyze --json`."""

from __future__ import annotations

import json
from typing import Any

from avwatch_cli.analyze.content import content_fields

# The record is rewritten every second; a stopped analyser's record expires.
RECORD_TTL_SECONDS = 10
# The Redis channel told the key of a record whose input has just stopped
# sending (serve refreshes on it rather than at its next period).
NO_DATA_ALARM = "avwatch:ts:no-data"
# A garbage flood can show thousands of PIDs: the record keeps the largest.
MAX_PIDS = 32

# The SDT's names of all programs together take at most this many characters
# of JSON (escapes included); programs past it go unnamed (None).
NAMES_BUDGET = 8 * 1024
NAME_FIELDS = ("service_name", "provider_name")
# The fields of a PID's entry that the record keeps.
PID_FIELDS = ("pid", "kind", "codec", "bitrate", "packets", "continuity_errors", "scrambled")
# Counters that are faults (the rest count traffic): their latest rise is timed.
ERROR_COUNTERS = (
    "sync_losses", "sync_byte_errors", "pat_errors", "continuity_errors", "pmt_errors", "pid_errors",
    "transport_errors", "crc_errors", "pcr_repetition_errors", "pcr_discontinuity_errors", "pts_errors",
    "non_ts_datagrams", "truncated_packets", "malformed_sections", "rtp_lost", "cat_errors",
    "pcr_accuracy_errors",
)


def ts_key(channel: str, pipe: str) -> str:
    return f"ch:{channel}:ts:{pipe}"


# Rises further apart than this begin a new run: "since" is the first rise of
# the current run, so a fault that comes back after a quiet spell shows as new.
RUN_GAP_SECONDS = 60.0


def named_within_budget(programs: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """The programs as reported, their names dropped past NAMES_BUDGET: the
    judged program comes first, so it keeps its names."""
    left = NAMES_BUDGET
    kept = []
    for program in programs:
        cost = sum(len(json.dumps(program.get(field))) for field in NAME_FIELDS)
        if cost > left:
            program = dict(program, **dict.fromkeys(NAME_FIELDS))
        else:
            left -= cost
        kept.append(program)
    return kept


class ErrorTimes:
    """When each error counter last rose, and when its current run of rises
    began ("since"), in wall-clock seconds."""

    def __init__(self) -> None:
        self.times: dict[str, float] = {}
        self.since: dict[str, float] = {}

    def update(self, window: dict[str, int], at: float) -> dict[str, float]:
        for name in ERROR_COUNTERS:
            if window.get(name, 0) > 0:
                last = self.times.get(name)
                if last is None or at - last > RUN_GAP_SECONDS:
                    self.since[name] = at
                self.times[name] = at
        return dict(self.times)


def failure_record(reason: str, uri: str | None, now: float) -> dict[str, Any]:
    """What stands in for the record while the input should be analysed and
    is not: no figures, only why (serve exports it as analysis absent)."""
    return {"analysis_failed": reason, "uri": uri, "time": round(now, 3)}


def make_record(report: dict[str, Any], *, uri: str, method: str, started: float, wall_end: float,
                error_times: ErrorTimes, thumbnail_time: float | None = None) -> dict[str, Any]:
    """The published record of one window's report.  `wall_end` is the
    window's end on the wall clock (the report's own times are monotonic);
    `thumbnail_time`: when the newest thumbnail was stored, if one was."""
    window_seconds = report["window_end"] - report["window_start"]
    last_data = report["last_data"]
    pids = sorted(report["pids"], key=lambda entry: entry["bitrate"], reverse=True)
    record: dict[str, Any] = {
        "bitrate": report["bitrate"],
        "packets": report["packets"],
        "continuity_errors": report["continuity_errors"],
        "uri": uri,
        "method": method,
        "started": round(started, 3),
        "time": round(wall_end, 3),
        "seconds": round(window_seconds, 3),
    }
    for name, value in report.items():
        if isinstance(value, int) and not isinstance(value, bool) and name not in record:
            record[name] = value
    record.update({
        "window": report["window"],
        "in_sync": report["in_sync"],
        "pat_present": report["pat_present"],
        "pmt_present": report["pmt_present"],
        "transport_stream_id": report["transport_stream_id"],
        "delay_factor_ms": None if report["delay_factor_ms"] is None else round(report["delay_factor_ms"], 2),
        "media_loss_rate": round(report["media_loss_rate"], 2),
        "longest_gap": round(report["longest_gap"], 3),
        "window_longest_gap": round(report["window_longest_gap"], 3),
        "data_age": None if last_data is None else round(max(0.0, report["window_end"] - last_data), 3),
        "rtp": report["rtp"],
        "error_times": error_times.update(report["window"], wall_end),
        "error_since": dict(error_times.since),
        "programs": named_within_budget(report["programs"]),
        "pid_count": report.get("pid_count", len(pids)),
        "pids": [{key: entry[key] for key in PID_FIELDS} for entry in pids[:MAX_PIDS]],
        "pcr_jitter_ms": None if report.get("pcr_jitter_ms") is None else round(report["pcr_jitter_ms"], 2),
        "pcr_accuracy_ns": None if report.get("pcr_accuracy_ns") is None else round(report["pcr_accuracy_ns"]),
    })
    record.update(content_fields(report.get("content"), wall_end, thumbnail_time))
    return record
