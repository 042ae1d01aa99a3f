"""What viewers see and hear, per pipe and side, from both analysers' fresh
records: the short-term loudness, and the black, frozen and silent flags as
series that exist only while true (a healthy pipe adds two series, its
loudness, not eight); and the loudness target serve judges against."""

from __future__ import annotations

from typing import Callable, Sequence

from prometheus_client.core import GaugeMetricFamily, Metric
from prometheus_client.samples import Sample
from prometheus_client.utils import floatToGoString as go_float

from avwatch_cli.content_evidence import real
from avwatch_cli.evidence import fresh
from avwatch_cli.serve.sample_lines import COMMON, Lines, escaped
from avwatch_cli.serve.snapshot import Snapshot

Make = Callable[[Sequence[tuple]], Metric]
LOUDNESS = ("avwatch_loudness_short_term_lufs",
            "EBU R128 short-term loudness (3 s) of the first audio stream, LUFS; no series before it is known")
# (metric, record field, help)
FLAGS = (
    ("avwatch_content_black", "black", "1 while the picture is black (2 s or more); no series otherwise"),
    ("avwatch_content_frozen", "frozen", "1 while the picture is frozen (2 s or more); no series otherwise"),
    ("avwatch_content_silent", "silent", "1 while the first audio stream is silent (2 s or more); no series otherwise"),
)
TARGET = ("avwatch_loudness_target_lufs", "the programme loudness serve judges against (--loudness-target), LUFS")


def side_lines(name: str) -> Lines:
    """Rows (channel, pipe, side, value)."""
    def lines(rows: Sequence[tuple]) -> str:
        common = COMMON.get
        return "".join([f'{name}{{channel="{escaped(channel)}",pipe="{escaped(pipe)}",side="{side}"}} '
                        f'{common(value) or go_float(value)}\n' for channel, pipe, side, value in rows])
    return lines


def side_gauge(name: str, help_text: str) -> Make:
    def make(rows: Sequence[tuple]) -> Metric:
        family = GaugeMetricFamily(name, help_text, labels=["channel", "pipe", "side"])
        family.samples = [Sample(name, {"channel": c, "pipe": p, "side": s}, value) for c, p, s, value in rows]
        return family
    return make


def content_sources(snapshot: Snapshot, source: Callable[[str, Sequence[tuple], Make, Lines], object]) -> list:
    """The families, as `source(name, rows, make, lines)` (metrics.Source)."""
    now, stale_after, hls = snapshot.generated_at, snapshot.stale_after, snapshot.hls
    loudness: list[tuple] = []
    flags: tuple[list[tuple], ...] = tuple([] for _ in FLAGS)
    for pipe in snapshot.pipes():
        for side, record in (("input", pipe.analysis), ("output", hls.get(pipe.id) if hls else None)):
            if record is None or not fresh(record, now, stale_after):
                continue
            value = real(record.get("loudness"))
            if value is not None:
                loudness.append((pipe.channel, pipe.pipe, side, value))
            for rows, (_, field, _) in zip(flags, FLAGS):
                if record.get(field) is True:
                    rows.append((pipe.channel, pipe.pipe, side, 1.0))
    return [
        source(LOUDNESS[0], loudness, side_gauge(*LOUDNESS), side_lines(LOUDNESS[0])),
        *(source(name, rows, side_gauge(name, help_text), side_lines(name))
          for rows, (name, _, help_text) in zip(flags, FLAGS)),
    ]


def target_family(snapshot: Snapshot) -> Metric:
    """A server series, given while Redis is unreachable too: the alert rules compare with it."""
    return GaugeMetricFamily(*TARGET, value=snapshot.loudness_target)
