"""One line per second for the terminal."""

from __future__ import annotations

import time
from typing import Any

from avwatch_cli.analyze.content import content_summary

# Seconds without a datagram after which the line says so (as serve's page does).
NO_DATA_AFTER = 1.0

# Shown when non-zero, in this order, with their short names.
SHOWN_ERRORS = (
    ("sync_losses", "sync loss"), ("sync_byte_errors", "sync byte"), ("pat_errors", "PAT"),
    ("pmt_errors", "PMT"), ("pid_errors", "PID"), ("transport_errors", "TEI"), ("crc_errors", "CRC"),
    ("pcr_repetition_errors", "PCR rep"), ("pcr_discontinuity_errors", "PCR disc"), ("pts_errors", "PTS"),
    ("non_ts_datagrams", "non-TS"), ("truncated_packets", "truncated"), ("rtp_lost", "RTP lost"),
    ("cat_errors", "CAT"),
    ("pcr_accuracy_errors", "PCR accuracy"),
)


def human_line(record: dict[str, Any]) -> str:
    clock = time.strftime("%H:%M:%S", time.localtime(record["time"]))
    window = record["window"]
    parts = [clock, f"{record['bitrate']:>11,} b/s", f"packets {record['packets']:,}",
             f"cc errors {record['continuity_errors']:,} (+{window['continuity_errors']})"]
    streams = [f"{stream['codec']}@{stream['pid']}" for program in record["programs"] for stream in program["streams"]]
    if streams:
        parts.append(" ".join(streams))
    content = content_summary(record)
    if content:
        parts.append(content)
    if record["delay_factor_ms"] is not None:
        parts.append(f"DF {record['delay_factor_ms']:.0f} ms")
    if record.get("pcr_jitter_ms") is not None:
        parts.append(f"PCR jitter {record['pcr_jitter_ms']:.1f} ms")
    if record["media_loss_rate"]:
        parts.append(f"MLR {record['media_loss_rate']:.0f}/s")
    if record["window_longest_gap"] >= 0.5:
        parts.append(f"gap {record['window_longest_gap']:.1f} s")
    errors = [f"{label} {record[name]:,}" for name, label in SHOWN_ERRORS if record.get(name)]
    if errors:
        parts.append("errors: " + ", ".join(errors))
    if record.get("receive_drops"):
        # The analyser fell behind: not the stream's fault, and not counted as its loss.
        parts.append(f"analyser dropped {record['receive_drops']:,}")
    age = record["data_age"]
    if age is None:
        parts.append("no data yet")
    elif age > NO_DATA_AFTER:
        # A total outage: the missing tables are its consequence, not news.
        parts.append(f"no data for {duration(age)}")
    elif not record["pat_present"]:
        parts.append("no PAT")
    return "  ".join(parts)


def duration(seconds: float) -> str:
    whole = int(seconds)
    if whole < 60:
        return f"{seconds:.1f} s" if seconds < 10 else f"{whole} s"
    if whole < 3600:
        return f"{whole // 60} min {whole % 60:02d} s"
    return f"{whole // 3600} h {whole // 60 % 60:02d} min"
