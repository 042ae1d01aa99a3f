"""`avwatch probe` through the real prober chain."""

import json

import pytest

FIELDS = ["acodec", "vcodec", "vresolution", "vfps", "vbitrate", "abitrate", "bitrate"]


def test_probe_of_a_segment_file(avwatch_command, ts_file):
    result = avwatch_command.run("probe", ts_file)
    assert result.returncode == 0, result.stderr
    assert result.stdout.count("\n") == 1
    record = json.loads(result.stdout)
    assert list(record) == FIELDS
    assert record["vcodec"] == "h264" and record["acodec"] == "aac"
    assert record["vresolution"] == "1280x720" and record["vfps"] == 25
    assert record["bitrate"] > 0


def test_probe_of_a_live_udp_stream(avwatch_command, udp_stream):
    result = avwatch_command.run("probe", f"{udp_stream.uri}?localaddr=127.0.0.1",
                                 "--program", 1, "--video", 256, "--audio", 257)
    assert result.returncode == 0, result.stderr
    record = json.loads(result.stdout)
    assert (record["vcodec"], record["acodec"], record["vresolution"]) == ("h264", "aac", "640x360")


@pytest.mark.parametrize("uri, hint", [
    ("/nonexistent/segment.ts", "no usable answer from ffprobe"),
    ("udp://127.0.0.1:9?localaddr=127.0.0.1", "--program"),
])
def test_no_answer_prints_the_default_record_and_fails(avwatch_command, uri, hint):
    result = avwatch_command.run("probe", uri)
    assert result.returncode == 1
    record = json.loads(result.stdout)
    assert list(record) == FIELDS and not any(record.values())
    assert hint in result.stderr
