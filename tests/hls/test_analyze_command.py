"""`avwatch analyze PLAYLIST.m3u8` as an operator runs it, and the record
`avwatch monitor` publishes for the pipe's HLS output."""

import json
import time

import pytest

from cli.conftest import Avwatch, REPO  # noqa: F401  (the checkout's CLI on the path)
from hls_standin import MEDIA_PLAYLIST, HlsStandIn

FIXED = {"media_sequence", "bitrate", "stale", "problems"}


def test_json_lines_every_half_target_duration(live_output):
    result = Avwatch().run("analyze", live_output.segment_folder / MEDIA_PLAYLIST,
                           "--master", live_output.playlist, "--seconds", "2.2", "--json")
    assert result.returncode == 0, result.stderr
    records = [json.loads(line) for line in result.stdout.splitlines()]
    # Target duration 1 s: a check every 0.5 s, the first at once.
    assert 4 <= len(records) <= 6
    for record in records:
        assert FIXED <= record.keys()
        assert record["problems"] == [] and record["stale"] is False
        assert record["bitrate"] > 0 and record["declared_bitrate"] == 2_000_000


def test_text_lines_name_the_problems(frozen_copy):
    playlist, _ = frozen_copy
    (playlist.parent / "core.14").write_text("12 bytes...\n")
    result = Avwatch().run("analyze", playlist, "--seconds", "0.1")
    assert result.returncode == 0, result.stderr
    assert 'a stray file in the segment folder: "core.14"' in result.stdout


@pytest.mark.parametrize("given, message", [
    ("master", "is a master playlist: give one of its media playlists"),
    # Neither a playlist nor a network input: the input analyser refuses it.
    ("/srv/media/segment.ts", "only udp:// and rtp:// inputs"),
])
def test_what_is_not_a_media_playlist_is_refused(live_output, given, message):
    target = live_output.playlist if given == "master" else given
    result = Avwatch().run("analyze", target, "--seconds", "1")
    assert result.returncode == 2 and message in result.stderr


def wait_for(condition, timeout=20):
    deadline = time.monotonic() + timeout
    while not (value := condition()):
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.1)
    return value


def test_monitor_publishes_the_hls_record(broker, kestrel_root, redis_server):
    html = kestrel_root / "trunk/objs/nginx/html"
    broker.set("ch:9", json.dumps({"live": True}))
    with HlsStandIn(html, "9", "main", fragment=1, bandwidth=3_000_000):
        monitor = Avwatch().start("monitor", "--redis", f"redis://127.0.0.1:{redis_server.port}/0",
                                  "--channel", 9, "--pipe", "main", "--output")
        try:
            first = wait_for(lambda: broker.get("ch:9:hls:main"))
            time.sleep(1.5)
            later = json.loads(broker.get("ch:9:hls:main"))
            broker.set("ch:9", json.dumps({"live": False}))
            monitor.communicate(timeout=20)
        finally:
            if monitor.poll() is None:
                monitor.kill()
                monitor.communicate()
    first = json.loads(first)
    assert first["playlist"] == str(html / "9" / "main" / MEDIA_PLAYLIST)
    assert first["declared_bitrate"] == 3_000_000 and first["problems"] == []
    assert later["time"] > first["time"] and later["media_sequence"] >= first["media_sequence"]
    assert monitor.returncode == 0
    # The channel stopped: the record goes with the module's own.
    assert broker.exists("ch:9:hls:main") == 0
