"""The Prometheus view of the latest snapshot: families built at scrape
time, so a pipe that is gone leaves no series behind.  While Redis is
unreachable only the server's own series are given (as exporters do for a
target that is down); the per-pipe ones would be stale.

With 10,000 pipes a scrape holds a quarter of a million samples, and
prometheus_client takes several microseconds to write each one.  So every
family is first drawn as plain rows (label values and value), and the family
made from its rows only when asked: an exposition can then render again only
the families whose rows changed since its last rendering (most do not: the
states, codecs and frame rates of a settled system stay as they are)."""

from __future__ import annotations

from typing import Callable, Iterator, NamedTuple, Sequence

from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily, Metric
from prometheus_client.registry import Collector
from prometheus_client.samples import Sample
from prometheus_client.utils import floatToGoString as go_float

from avwatch_cli.health import SIDES
from avwatch_cli.serve.analysis_metrics import analysis_sources
from avwatch_cli.serve.content_metrics import content_sources, target_family
from avwatch_cli.serve.freshness import NOTIFICATIONS, VALUE_CHANGES
from avwatch_cli.serve.hls_metrics import hls_sources
from avwatch_cli.serve.sample_lines import escaped, pipe_lines
from avwatch_cli.serve.snapshot import Snapshot

# (metric name part, record field, help); pipe_sources reads the fields in this order.
# Records count bits; Prometheus' base unit is the byte, so rates are shown
# divided by BITS_PER_BYTE (as `promtool check metrics` requires).
STREAM_GAUGES = (
    ("bytes_per_second", "bitrate", "total bitrate in the status record, in bytes per second"),
    ("video_bytes_per_second", "vbitrate", "video bitrate in the status record, in bytes per second"),
    ("audio_bytes_per_second", "abitrate", "audio bitrate in the status record, in bytes per second"),
    ("frames_per_second", "vfps", "video frame rate in the status record"),
)
BITS_PER_BYTE = 8.0


class Source(NamedTuple):
    """One family, as the rows it is drawn from.  `make(rows)` depends on
    nothing else, so equal rows make an equal family.  (Equal values render
    alike but for 0.0 and -0.0, and no value here is ever -0.0.)

    `lines(rows)`, where given, writes the sample lines of any run of rows
    exactly as prometheus_client writes them, so that a large family can be
    rendered (and compressed) in blocks, each again only when its rows
    changed; without it the family is rendered whole by prometheus_client."""
    name: str
    rows: Sequence[tuple]
    make: Callable[[Sequence[tuple]], Metric]
    lines: Callable[[Sequence[tuple]], str] | None = None

    def family(self) -> Metric:
        return self.make(self.rows)


class SnapshotCollector(Collector):
    def __init__(self, latest: Callable[[], Snapshot]):
        self.latest = latest

    def collect(self) -> Iterator[Metric]:
        for source in sources(self.latest()):
            yield source.family()


def sources(snapshot: Snapshot) -> list[Source]:
    found = [made(family) for family in server_families(snapshot)]
    if snapshot.redis_up:
        found += pipe_sources(snapshot)
        found += hls_sources(snapshot, Source)
        found += content_sources(snapshot, Source)
    return found


def made(family: Metric) -> Source:
    """A family made at once: its samples are its rows."""
    return Source(family.name, family.samples, lambda _: family)


def server_families(snapshot: Snapshot) -> Iterator[Metric]:
    yield gauge("avwatch_redis_up", "1 when the last refresh read Redis, else 0", snapshot.redis_up)
    mode = GaugeMetricFamily("avwatch_freshness_mode",
                             "how write times are known: keyspace notifications or value changes",
                             labels=["mode"])
    for name in (NOTIFICATIONS, VALUE_CHANGES):
        mode.add_metric([name], float(snapshot.freshness_mode == name))
    yield mode
    yield gauge("avwatch_refresh_duration_seconds", "time the last refresh took", snapshot.refresh_duration)
    yield gauge("avwatch_last_refresh_timestamp_seconds", "when the last refresh ran", snapshot.generated_at)
    yield target_family(snapshot)
    malformed = CounterMetricFamily("avwatch_malformed_records",
                                    "unreadable status records read (each value once)")
    malformed.add_metric([], snapshot.malformed_total)
    yield malformed
    changes = CounterMetricFamily("avwatch_state_changes", "state changes of pipe sides, by the state entered",
                                  labels=["side", "state"])
    for (side, state), count in sorted(snapshot.changes_total.items()):
        changes.add_metric([side, state], count)
    yield changes


def gauge(name: str, documentation: str, value: float) -> GaugeMetricFamily:
    return GaugeMetricFamily(name, documentation, value=float(value))


def label_text(value: str) -> str:
    """A record's text as a label value: JSON may carry lone surrogates,
    which the UTF-8 exposition cannot."""
    if value.isascii():
        return value
    return value.encode("utf-8", "backslashreplace").decode("utf-8")


def pipe_sources(snapshot: Snapshot) -> list[Source]:
    """The per-channel and per-pipe families, in one pass over the snapshot
    (written out plainly: it runs over every pipe at every rendering)."""
    now = snapshot.generated_at
    live: list[tuple] = []
    health: list[tuple] = []
    age: list[tuple] = []
    info: list[tuple] = []
    # Per side, one list of rows per STREAM_GAUGES entry.
    stream: dict[str, tuple[list[tuple], ...]] = {side: ([], [], [], []) for side in SIDES}
    for channel in snapshot.channels:
        name = channel.channel
        live.append((name, 1.0 if channel.live else 0.0))
        for pipe in channel.pipes:
            pipe_name = pipe.pipe
            for side, view in (("input", pipe.input), ("output", pipe.output)):
                health.append((name, pipe_name, side, view.state.value))
                written_at = view.written_at
                if written_at is not None:
                    age.append((name, pipe_name, side, now - written_at if now > written_at else 0.0))
                record = view.record
                if record is None:
                    continue
                get = record.get
                bits, video_bits, audio_bits, frames = stream[side]
                bits.append((name, pipe_name, (get("bitrate") or 0) / BITS_PER_BYTE))
                video_bits.append((name, pipe_name, (get("vbitrate") or 0) / BITS_PER_BYTE))
                audio_bits.append((name, pipe_name, (get("abitrate") or 0) / BITS_PER_BYTE))
                frames.append((name, pipe_name, float(get("vfps") or 0)))
                info.append((name, pipe_name, side, label_text(get("vcodec") or ""),
                             label_text(get("acodec") or ""), label_text(get("vresolution") or "")))
    return [
        Source("avwatch_channel_live", live, channel_live_family, channel_live_lines),
        Source("avwatch_health", health, health_family, health_lines),
        Source("avwatch_status_age_seconds", age, age_family, age_lines),
        Source("avwatch_stream", info, info_family, info_lines),
        *(Source(f"avwatch_{side}_{part}", rows, stream_family(side, part, help_text),
                 pipe_lines(f"avwatch_{side}_{part}"))
          for side in SIDES for rows, (part, _, help_text) in zip(stream[side], STREAM_GAUGES)),
        *analysis_sources(snapshot, Source),
    ]


# The sample lines of the families above, written as generate_latest writes
# them (labels sorted by name, values by floatToGoString), a few times
# faster: a scrape of 100,000 pipes holds some 2.5 million lines.

def channel_live_lines(rows: Sequence[tuple]) -> str:
    return "".join([f'avwatch_channel_live{{channel="{escaped(channel)}"}} {go_float(value)}\n'
                    for channel, value in rows])


def health_lines(rows: Sequence[tuple]) -> str:
    return "".join([f'avwatch_health{{channel="{escaped(channel)}",pipe="{escaped(pipe)}",side="{side}",'
                    f'state="{current}"}} 1.0\n' for channel, pipe, side, current in rows])


def age_lines(rows: Sequence[tuple]) -> str:
    return "".join([f'avwatch_status_age_seconds{{channel="{escaped(channel)}",pipe="{escaped(pipe)}",'
                    f'side="{side}"}} {go_float(seconds)}\n' for channel, pipe, side, seconds in rows])


def info_lines(rows: Sequence[tuple]) -> str:
    return "".join([f'avwatch_stream_info{{acodec="{escaped(acodec)}",channel="{escaped(channel)}",'
                    f'pipe="{escaped(pipe)}",side="{side}",vcodec="{escaped(vcodec)}",'
                    f'vresolution="{escaped(vresolution)}"}} 1.0\n'
                    for channel, pipe, side, vcodec, acodec, vresolution in rows])


# Samples are made directly: these families have hundreds of thousands, and
# add_metric's zipping of label names into every sample costs more than the
# sample.  The label names are prometheus_client's to check, once per family.

def channel_live_family(rows: Sequence[tuple]) -> Metric:
    family = GaugeMetricFamily("avwatch_channel_live",
                               'the channel record\'s "live": 1 true, 0 false or no readable record',
                               labels=["channel"])
    name = family.name
    family.samples = [Sample(name, {"channel": channel}, value) for channel, value in rows]
    return family


def health_family(rows: Sequence[tuple]) -> Metric:
    # Only the current state's series: the other states' would be 0 always,
    # six of every seven health series (see the README for the queries).
    family = GaugeMetricFamily("avwatch_health", "1 for the current state of a pipe side (no series for the others)",
                               labels=["channel", "pipe", "side", "state"])
    name = family.name
    family.samples = [Sample(name, {"channel": channel, "pipe": pipe, "side": side, "state": current}, 1.0)
                      for channel, pipe, side, current in rows]
    return family


def age_family(rows: Sequence[tuple]) -> Metric:
    family = GaugeMetricFamily("avwatch_status_age_seconds", "seconds since the status record was last written",
                               labels=["channel", "pipe", "side"])
    name = family.name
    family.samples = [Sample(name, {"channel": channel, "pipe": pipe, "side": side}, seconds)
                      for channel, pipe, side, seconds in rows]
    return family


def info_family(rows: Sequence[tuple]) -> Metric:
    family = Metric("avwatch_stream", "codecs and resolution in the status record", "info")
    name = family.name + "_info"
    family.samples = [Sample(name, {"channel": channel, "pipe": pipe, "side": side,
                                    "vcodec": vcodec, "acodec": acodec, "vresolution": vresolution}, 1.0)
                      for channel, pipe, side, vcodec, acodec, vresolution in rows]
    return family


def stream_family(side: str, part: str, help_text: str) -> Callable[[Sequence[tuple]], Metric]:
    def make(rows: Sequence[tuple]) -> Metric:
        family = GaugeMetricFamily(f"avwatch_{side}_{part}", f"{side}: {help_text}", labels=["channel", "pipe"])
        name = family.name
        family.samples = [Sample(name, {"channel": channel, "pipe": pipe}, value) for channel, pipe, value in rows]
        return family
    return make
