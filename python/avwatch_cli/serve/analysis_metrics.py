"""The input analyser's figures in /metrics: per pipe, never per PID (a
pipe may carry thousands of PIDs under a garbage flood)."""

from __future__ import annotations

import math
from typing import Any, Callable, Sequence

from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily, Metric
from prometheus_client.samples import Sample

from avwatch_cli.health import State
from avwatch_cli.serve.sample_lines import Lines, labelled_lines, pipe_lines
from avwatch_cli.serve.snapshot import Snapshot

# The "indicator" label of avwatch_ts_errors_total.
INDICATORS = (
    "continuity_errors", "sync_losses", "sync_byte_errors", "pat_errors", "pmt_errors", "pid_errors",
    "transport_errors", "crc_errors", "pcr_repetition_errors", "pcr_discontinuity_errors", "pts_errors",
    "rtp_lost", "non_ts_datagrams", "cat_errors", "pcr_accuracy_errors",
)
# Exported at 0 too: increase() counts a counter's first rise only from a sample before it.
ALWAYS_EXPORTED = "continuity_errors"
# (metric name, record field, help, scale) of the per-pipe gauges; flags
# become 0/1.  Rates in bytes, Prometheus' base unit, as the other families.
GAUGES = (
    ("avwatch_ts_bytes_per_second", "bitrate", "measured rate of the input over the last second (TS bytes)", 1 / 8),
    ("avwatch_ts_in_sync", "in_sync", "1 while the transport stream is in sync", 1),
    ("avwatch_ts_pat_present", "pat_present", "1 while a PAT arrives at least every 0.5 s", 1),
    ("avwatch_ts_pmt_present", "pmt_present", "1 while every judged PMT arrives at least every 0.5 s", 1),
    ("avwatch_ts_media_loss_rate", "media_loss_rate", "TS packets lost per second over the last second", 1),
)

# Input states in which a failure record is no news: the channel stopped.
QUIET = (State.STOPPED,)

Make = Callable[[Sequence[tuple]], Metric]


def number(value: Any) -> float | None:
    """A record's value as a finite float (true and false as 1 and 0), else
    None: text, null, NaN, infinities and integers beyond the float range,
    which one monitor's record must not turn into a failed scrape of all."""
    if type(value) is float:   # most values
        return value if math.isfinite(value) else None
    if isinstance(value, (int, float)):
        try:
            value = float(value)
        except OverflowError:
            return None
        return value if math.isfinite(value) else None
    return None


def analysis_sources(snapshot: Snapshot, source: Callable[[str, Sequence[tuple], Make, Lines], object]) -> list:
    """The families, as `source(name, rows, make, lines)` (metrics.Source)."""
    now = snapshot.generated_at
    packets: list[tuple] = []
    errors: list[tuple] = []
    data_age: list[tuple] = []
    delay: list[tuple] = []
    absent: list[tuple] = []
    gauges: tuple[list[tuple], ...] = tuple([] for _ in GAUGES)
    for pipe in snapshot.pipes():
        record = pipe.analysis
        if record is None:
            continue
        channel, name = pipe.channel, pipe.pipe
        if "analysis_failed" in record:
            # Only a monitor that is meant to analyse writes it, and rewrites it while it
            # fails; one of a channel that stopped is no news.
            written = record.get("time")
            if (pipe.input.state not in QUIET and isinstance(written, (int, float))
                    and now - written <= snapshot.stale_after):
                absent.append((channel, name, 1.0))
            continue
        # A field absent, null or not a number reads as 0.
        packets.append((channel, name, number(record.get("packets")) or 0.0))
        # An indicator that never counted has no series (most never do); the
        # one the alert rules take the increase of is always there.
        for indicator in INDICATORS:
            count = number(record.get(indicator)) or 0.0
            if count or indicator == ALWAYS_EXPORTED:
                errors.append((channel, name, indicator, count))
        for rows, (_, field, _, scale) in zip(gauges, GAUGES):
            rows.append((channel, name, (number(record.get(field)) or 0.0) * scale))
        # How old the newest datagram is now: its age when published plus the record's own age.
        age = number(record.get("data_age"))
        written = number(record.get("time")) or now
        data_age.append((channel, name, float("inf") if age is None else age + max(0.0, now - written)))
        if (delay_factor := number(record.get("delay_factor_ms"))) is not None:
            delay.append((channel, name, delay_factor / 1000))
    return [
        source("avwatch_ts_packets", packets, counter("avwatch_ts_packets", "TS packets received by the analyser"),
               pipe_lines("avwatch_ts_packets_total")),
        source("avwatch_ts_errors", errors, errors_family, labelled_lines("avwatch_ts_errors_total", "indicator")),
        source("avwatch_ts_data_age_seconds", data_age,
               gauge("avwatch_ts_data_age_seconds", "seconds since the analyser last received a datagram"),
               pipe_lines("avwatch_ts_data_age_seconds")),
        source("avwatch_ts_delay_factor_seconds", delay,
               gauge("avwatch_ts_delay_factor_seconds", "RFC 4445 delay factor over the last second"),
               pipe_lines("avwatch_ts_delay_factor_seconds")),
        *(source(name, rows, gauge(name, help_text), pipe_lines(name))
          for rows, (name, _, help_text, _) in zip(gauges, GAUGES)),
        source("avwatch_ts_analysis_absent", absent,
               gauge("avwatch_ts_analysis_absent", "1 while the monitor runs the input analyser but it publishes "
                     "no analysis (why: /api/status); no series otherwise"),
               pipe_lines("avwatch_ts_analysis_absent")),
    ]


def gauge(name: str, help_text: str) -> Make:
    def make(rows: Sequence[tuple]) -> Metric:
        family = GaugeMetricFamily(name, help_text, labels=["channel", "pipe"])
        family.samples = [Sample(name, {"channel": c, "pipe": p}, value) for c, p, value in rows]
        return family
    return make


def counter(name: str, help_text: str) -> Make:
    def make(rows: Sequence[tuple]) -> Metric:
        family = CounterMetricFamily(name, help_text, labels=["channel", "pipe"])
        total = name + "_total"
        family.samples = [Sample(total, {"channel": c, "pipe": p}, value) for c, p, value in rows]
        return family
    return make


def errors_family(rows: Sequence[tuple]) -> Metric:
    family = CounterMetricFamily("avwatch_ts_errors", "transport-stream and delivery faults counted by the "
                                 "analyser since it started, by indicator", labels=["channel", "pipe", "indicator"])
    family.samples = [Sample("avwatch_ts_errors_total", {"channel": c, "pipe": p, "indicator": i}, value)
                      for c, p, i, value in rows]
    return family
