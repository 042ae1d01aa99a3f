"""The HLS analyser's records as Prometheus families, one series per pipe
(and per failing check: a check that passes has no series, so the count of
series stays at a few per pipe)."""

from __future__ import annotations

from typing import Callable, Sequence

from prometheus_client.core import GaugeMetricFamily, Metric
from prometheus_client.samples import Sample

from avwatch_cli.serve.analysis_metrics import counter, gauge, number
from avwatch_cli.serve.sample_lines import Lines, labelled_lines, pipe_lines
from avwatch_cli.serve.snapshot import Snapshot

Make = Callable[[Sequence[tuple]], Metric]
AGE = ("avwatch_hls_record_age_seconds", "since the HLS analyser's last check")
CHECK = ("avwatch_hls_check_failed", "1 for each check the last HLS check failed")

# (metric, record field, help, scale); rates in bytes, Prometheus' base unit.
GAUGES = (
    ("avwatch_hls_bytes_per_second", "bitrate", "measured: bytes of the listed segments over their EXTINF", 1 / 8),
    ("avwatch_hls_declared_bytes_per_second", "declared_bitrate",
     "the master playlist's BANDWIDTH for the pipe, divided by 8", 1 / 8),
    ("avwatch_hls_media_sequence", "media_sequence", "EXT-X-MEDIA-SEQUENCE of the playlist as last read", 1),
    ("avwatch_hls_stale", "stale", "1 when the playlist has not advanced for 1.5 target durations; "
     "no series otherwise", 1),
    ("avwatch_hls_continuity_errors", "continuity_errors", "continuity errors inside the listed segments; "
     "no series while there are none", 1),
)
# The gauges above that have no series at 0: a passing check's 0 would be one
# of every healthy pipe's series, and the per-pipe budget is spent on what
# varies (the loudness).
SPARSE = frozenset({"stale", "continuity_errors"})
LAG_HELP = ("seconds the listed media trails the wall clock (negative: ahead), while the lag check fails; "
            "no series otherwise")
# (metric without _total, record field, help): the checker's running counts,
# which outlive the flags a scrape may miss (a segment is listed only for the
# playlist's window).
COUNTERS = (
    ("avwatch_hls_sequence_resets", "sequence_resets", "times the media sequence went back"),
    ("avwatch_hls_missing_segment_checks", "missing_segment_checks", "checks that found a listed segment missing"),
)


def hls_sources(snapshot: Snapshot, source: Callable[[str, Sequence[tuple], Make, Lines], object]) -> list:
    """The families, as `source(name, rows, make, lines)` (metrics.Source)."""
    records = snapshot.hls
    gauges: list[list[tuple]] = [[] for _ in GAUGES]
    counts: list[list[tuple]] = [[] for _ in COUNTERS]
    failed: list[tuple] = []
    age: list[tuple] = []
    lag: list[tuple] = []   # only where the check fails: a series per pipe in trouble, not per pipe
    if records:
        for pipe in snapshot.pipes():
            record = records.get(pipe.id)
            if record is None:
                continue
            labels = (pipe.channel, pipe.pipe)
            for rows, (_, field, _, scale) in zip(gauges, GAUGES):
                value = number(record.get(field))
                if value is not None and (value or field not in SPARSE):
                    rows.append((*labels, value * scale))
            for rows, (_, field, _) in zip(counts, COUNTERS):
                value = number(record.get(field))
                if value is not None and value >= 0:
                    rows.append((*labels, value))
            checks = record.get("checks_failed")
            if isinstance(checks, list):
                failed.extend((*labels, check, 1.0) for check in checks[:32] if isinstance(check, str))
                if "lag" in checks and (seconds := number(record.get("lag"))) is not None:
                    lag.append((*labels, seconds))
            written = number(record.get("time"))
            if written is not None:
                age.append((*labels, max(0.0, snapshot.generated_at - written)))
    found = [source(name, rows, gauge(name, help_text), pipe_lines(name))
             for rows, (name, _, help_text, _) in zip(gauges, GAUGES)]
    found.append(source(AGE[0], age, gauge(*AGE), pipe_lines(AGE[0])))
    found += [source(name, rows, counter(name, help_text), pipe_lines(name + "_total"))
              for rows, (name, _, help_text) in zip(counts, COUNTERS)]
    found.append(source("avwatch_hls_lag_seconds", lag, gauge("avwatch_hls_lag_seconds", LAG_HELP),
                        pipe_lines("avwatch_hls_lag_seconds")))
    found.append(source(CHECK[0], failed, check_family, labelled_lines(CHECK[0], "check")))
    return found


def check_family(rows: Sequence[tuple]) -> Metric:
    made = GaugeMetricFamily(CHECK[0], CHECK[1], labels=["channel", "pipe", "check"])
    made.samples = [Sample(CHECK[0], {"channel": channel, "pipe": pipe, "check": check}, value)
                    for channel, pipe, check, value in rows]
    return made
