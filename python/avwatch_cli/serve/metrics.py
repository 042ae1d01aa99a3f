"""The Prometheus view of the latest snapshot: families built at scrape
time, so a pipe that is gone leaves no series behind.  While Redis is
unreachable only the server's own series are given (as exporters do for a
target that is down); the per-pipe ones would be stale."""

from __future__ import annotations

from typing import Callable, Iterator

from prometheus_client.core import (CounterMetricFamily, GaugeMetricFamily, InfoMetricFamily, Metric)
from prometheus_client.registry import Collector

from avwatch_cli.health import SIDES, State
from avwatch_cli.serve.freshness import NOTIFICATIONS, VALUE_CHANGES
from avwatch_cli.serve.snapshot import Snapshot

STATES = tuple(state.value for state in State)
# (metric name part, record field, help)
STREAM_GAUGES = (
    ("bits_per_second", "bitrate", "total bitrate in the status record"),
    ("video_bits_per_second", "vbitrate", "video bitrate in the status record"),
    ("audio_bits_per_second", "abitrate", "audio bitrate in the status record"),
    ("frames_per_second", "vfps", "video frame rate in the status record"),
)


class SnapshotCollector(Collector):
    def __init__(self, latest: Callable[[], Snapshot]):
        self.latest = latest

    def collect(self) -> Iterator[Metric]:
        snapshot = self.latest()
        yield gauge("avwatch_redis_up", "1 when the last refresh read Redis, else 0", snapshot.redis_up)
        mode = GaugeMetricFamily("avwatch_freshness_mode",
                                 "how write times are known: keyspace notifications or value changes",
                                 labels=["mode"])
        for name in (NOTIFICATIONS, VALUE_CHANGES):
            mode.add_metric([name], float(snapshot.freshness_mode == name))
        yield mode
        yield gauge("avwatch_refresh_duration_seconds", "time the last refresh took", snapshot.refresh_duration)
        yield gauge("avwatch_last_refresh_timestamp_seconds", "when the last refresh ran", snapshot.generated_at)
        malformed = CounterMetricFamily("avwatch_malformed_records",
                                        "unreadable status records read (each value once)")
        malformed.add_metric([], snapshot.malformed_total)
        yield malformed
        changes = CounterMetricFamily("avwatch_state_changes", "state changes of pipe sides, by the state entered",
                                      labels=["side", "state"])
        for (side, state), count in sorted(snapshot.changes_total.items()):
            changes.add_metric([side, state], count)
        yield changes
        if snapshot.redis_up:
            yield from pipe_families(snapshot)


def gauge(name: str, documentation: str, value: float) -> GaugeMetricFamily:
    return GaugeMetricFamily(name, documentation, value=float(value))


def label_text(value: str) -> str:
    """A record's text as a label value: JSON may carry lone surrogates,
    which the UTF-8 exposition cannot."""
    if value.isascii():
        return value
    return value.encode("utf-8", "backslashreplace").decode("utf-8")


def pipe_families(snapshot: Snapshot) -> Iterator[Metric]:
    live = GaugeMetricFamily("avwatch_channel_live",
                             'the channel record\'s "live": 1 true, 0 false or no readable record',
                             labels=["channel"])
    health = GaugeMetricFamily("avwatch_health", "1 for the current state of a pipe side, 0 for the others",
                               labels=["channel", "pipe", "side", "state"])
    age = GaugeMetricFamily("avwatch_status_age_seconds", "seconds since the status record was last written",
                            labels=["channel", "pipe", "side"])
    info = InfoMetricFamily("avwatch_stream", "codecs and resolution in the status record",
                            labels=["channel", "pipe", "side"])
    stream = {(side, part): GaugeMetricFamily(f"avwatch_{side}_{part}", f"{side}: {help_text}",
                                              labels=["channel", "pipe"])
              for side in SIDES for part, _, help_text in STREAM_GAUGES}
    for channel in snapshot.channels:
        live.add_metric([channel.channel], float(bool(channel.live)))
        for pipe in channel.pipes:
            for side, view in zip(SIDES, (pipe.input, pipe.output)):
                labels = [channel.channel, pipe.pipe, side]
                current = view.state.value
                for state in STATES:
                    health.add_metric(labels + [state], float(state == current))
                seconds = view.age(snapshot.generated_at)
                if seconds is not None:
                    age.add_metric(labels, seconds)
                record = view.record
                if record is None:
                    continue
                for part, field, _ in STREAM_GAUGES:
                    stream[(side, part)].add_metric(labels[:2], float(record.get(field) or 0))
                info.add_metric(labels, {field: label_text(record.get(field) or "")
                                         for field in ("vcodec", "acodec", "vresolution")})
    yield live
    yield health
    yield age
    yield info
    yield from stream.values()
