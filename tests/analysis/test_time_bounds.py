"""Times at the edges of what the analyser's binding takes: any two of them
are subtracted without overflow (the sanitizer pass runs this too)."""

from __future__ import annotations

import math

import pytest

import avwatch_analysis

NULL = b"\x47\x1f\xff\x10" + b"\xff" * 184
EDGE = 4.5e9


@pytest.mark.parametrize("start, arrival, now", [
    (-EDGE, EDGE, EDGE),
    (EDGE, -EDGE, EDGE),
    (0.0, EDGE, -EDGE),
    (-EDGE, -EDGE, EDGE),
])
def test_times_at_the_edges_give_finite_figures(start, arrival, now):
    analyser = avwatch_analysis.Analyser(start=start)
    analyser.datagram(NULL * 7, arrival)
    report = analyser.close_window(now)
    for key in ("bitrate", "window_start", "window_end", "longest_gap", "media_loss_rate"):
        assert math.isfinite(report[key]), key
    assert 0 <= report["bitrate"] < 2**63


@pytest.mark.parametrize("time", [EDGE * 1.01, -EDGE * 1.01, math.inf, math.nan])
def test_times_past_the_edges_are_refused(time):
    with pytest.raises(ValueError, match="finite and within"):
        avwatch_analysis.Analyser(start=time)
