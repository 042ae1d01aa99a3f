"""The output monitor end to end: the real helpers and the real probe
against a live HLS stand-in for the media server."""

import re

import pytest

from monitor_harness import HTML_ROOT
from hls_standin import HlsStandIn


def segments_in_media_playlist(server):
    return re.findall(r"^(segment-\d+\.ts)$", (server.segment_folder / "chunks.m3u8").read_text(), re.M)


@pytest.mark.parametrize("bandwidth", [None, 2000000])
def test_a_live_channel_publishes_its_newest_segment_and_bitrate(harness, bandwidth):
    harness.use_real_helpers()
    with HlsStandIn(HTML_ROOT, harness.ch_uid, harness.pipe_name, fragment=1, bandwidth=bandwidth) as server:
        server.wait_for_segments(2)
        listed_before = segments_in_media_playlist(server)
        harness.run()
        present_after = server.segments()

    [record] = harness.published()
    assert record["name"] == "p1"
    assert record["lastts"] in present_after
    assert record["lastts"] >= max(listed_before)  # zero-padded numbers sort as text
    if bandwidth is None:
        assert record["vcodec"] == "h264"
        assert record["acodec"] == "aac"
        assert record["vresolution"] == "640x360"
        assert record["bitrate"] > 0
    else:
        assert record["bitrate"] == bandwidth
        assert (record["vcodec"], record["vbitrate"]) == ("", 0)
    assert harness.of_kind("sleep") == [(1,)]  # half the stand-in's 1 s fragment, at least 1
    assert harness.client.keys() == [harness.channel_key.encode()]


def test_a_stopped_server_s_last_segment_goes_stale(harness):
    harness.use_real_helpers()
    with HlsStandIn(HTML_ROOT, harness.ch_uid, harness.pipe_name, fragment=1, bandwidth=1000) as server:
        pass
    harness.clock_offset = 5  # seconds on, past four fragment durations
    harness.run()
    [record] = harness.published()
    assert (record["lastts"], record["bitrate"]) == (max(server.segments()), 0)
