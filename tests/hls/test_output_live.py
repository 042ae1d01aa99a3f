"""The checker following a live output in real time: it advances, then the
encoder stops and the output turns stale within 1.5 target durations."""

import os
import signal
import time

from avwatch_analysis import HlsOutput
from hls_standin import MEDIA_PLAYLIST, HlsStandIn


def checks(output, seconds, period=0.5):
    records = []
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        records.append(output.check())
        time.sleep(period)
    return records


def test_live_output_advances_then_goes_stale_when_the_encoder_dies(tmp_path):
    server = HlsStandIn(tmp_path / "html", "42", "p1", fragment=1, bandwidth=5_000_000,
                        env_file=tmp_path / "env.json")
    with server:
        server.wait_for_segments(2)
        output = HlsOutput(str(server.segment_folder / MEDIA_PLAYLIST), str(server.playlist))
        healthy = checks(output, 4)
        # Killed, not stopped: a crashed encoder writes no end to its playlist.
        os.kill(server.process.pid, signal.SIGKILL)
        killed_at = time.monotonic()
        stale = None
        while stale is None and time.monotonic() - killed_at < 5:
            record = output.check()
            if record["stale"]:
                stale = record, time.monotonic() - killed_at
            time.sleep(0.1)

    assert all(record["problems"] == [] for record in healthy), [r["problems"] for r in healthy]
    sequences = [record["media_sequence"] for record in healthy]
    assert sequences == sorted(sequences) and sequences[-1] > sequences[0]
    assert all(record["bitrate"] > 0 for record in healthy)
    assert stale is not None, "never stale"
    record, after = stale
    # 1.5 target durations of 1 s, counted from the last segment's arrival.
    assert after < 1.5 + 0.2
    assert record["checks_failed"] == ["stale"] and "has not advanced" in record["problems"][0]
