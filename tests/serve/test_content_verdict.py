"""Picture and sound in the verdict: pipes whose analysers say black,
frozen, silent or off-target loudness, judged by a real serve reading a
real redis-server with the records kept fresh as running monitors keep
them; the events that open and close those faults, the series they export
(linted by promtool), and the thumbnails served from Redis."""

import json
import shutil
import subprocess
import time
import urllib.parse

import pytest

from avwatch_cli.content_evidence import clock
from serve.harness import wait_for
from serve.live_records import GOOD_INPUT, GOOD_OUTPUT, Writer
from serve.test_verdict import CLEAN_HLS, CLEAN_TS

STARTED = time.time() - 42
VIDEO = {"pid": 256, "codec": "h264", "supported": True, "width": 1280, "height": 720, "pictures": 90,
         "luma": 110.0, "decode_errors": 0, "black_since": None, "frozen_since": None}
AUDIO = {"pid": 257, "codec": "aac", "supported": True, "channels": 2, "sample_rate": 48000, "frames": 400,
         "decode_errors": 0, "silent_since": None, "momentary": -20.5, "short_term": -20.0, "integrated": -20.2,
         "sample_peak": -3.0}
HEALTHY = {"black": False, "frozen": False, "silent": False, "loudness": -20.0,
           "content": {"video": VIDEO, "audio": [AUDIO], "thumbnail_time": None}}
TARGET, TOLERANCE = -20.0, 4.0   # serve's options here: -16 LUFS and louder is 4+ LU above


def seen(*, video=None, audio=None, **flags) -> dict:
    """Content fields as the monitors publish them."""
    return {**HEALTHY, **flags, "content": {"video": {**VIDEO, **(video or {})}, "audio": [{**AUDIO, **(audio or {})}],
                                            "thumbnail_time": None}}


def ts(**content) -> dict:
    return {**CLEAN_TS, **seen(**content)}


def hls(*checks: str, **content) -> dict:
    return {**CLEAN_HLS, "checks_failed": list(checks), "problems": [f"{c} failed" for c in checks],
            "stale": "stale" in checks, **seen(**content)}


CLEAN_INPUT, CLEAN_OUTPUT = ts(), hls()
# pipe -> (ts record, hls record, expected input (state, reason), expected output)
CASES = {
    "black": (ts(black=True, video={"black_since": STARTED}), CLEAN_OUTPUT,
              ("degraded", f"black since {clock(STARTED)}"), ("ok", None)),
    "frozen": (ts(frozen=True), CLEAN_OUTPUT, ("degraded", "frozen"), ("ok", None)),
    "silent": (ts(silent=True, audio={"silent_since": STARTED}), CLEAN_OUTPUT,
               ("degraded", f"silent since {clock(STARTED)}"), ("ok", None)),
    "loud": (ts(loudness=-15.5), CLEAN_OUTPUT,
             ("degraded", "loudness \u221215.5 LUFS, 4.5 LU above target"), ("ok", None)),
    "quiet": (CLEAN_INPUT, hls(loudness=-31.2),
              ("ok", None), ("degraded", "loudness \u221231.2 LUFS, 11.2 LU below target")),
    "both": (ts(frozen=True, silent=True, window={"continuity_errors": 3}), hls("stale", black=True),
             ("degraded", "continuity errors +3, frozen, silent"), ("degraded", "HLS: stale playlist; black")),
    # Null flags are unknown (nothing decoded yet, no audio): never a fault.
    "unknown": (ts(black=None, frozen=None, silent=None, loudness=None), hls(black=None, loudness=None),
                ("ok", None), ("ok", None)),
    "within": (ts(loudness=-23.9), hls(loudness=-16.1), ("ok", None), ("ok", None)),
    # Loudness is judged by the last minute's: a programme's short-term swing is no fault.
    "swing": (ts(loudness=-35.0, loudness_minute=-20.5), CLEAN_OUTPUT, ("ok", None), ("ok", None)),
    "minute": (ts(loudness=-20.0, loudness_minute=-27.0), CLEAN_OUTPUT,
               ("degraded", "loudness \u221227.0 LUFS, 7.0 LU below target"), ("ok", None)),
}
HEALTHY_PIPES = ["p1", "p2"]


@pytest.fixture(scope="module")
def jpeg(tmp_path_factory) -> bytes:
    path = tmp_path_factory.mktemp("thumb") / "t.jpg"
    subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i", "testsrc=size=320x180", "-frames:v", "1",
                    str(path)], check=True)
    return path.read_bytes()


def test_black_frozen_silent_and_loudness_make_a_side_degraded(broker, redis_server, start_serve, jpeg):
    records = {}
    for pipe in [*CASES, *HEALTHY_PIPES]:
        analysis, check, _, _ = CASES.get(pipe, (CLEAN_INPUT, CLEAN_OUTPUT, None, None))
        records |= {f"ch:tv:in:{pipe}": GOOD_INPUT, f"ch:tv:out:{pipe}": dict(GOOD_OUTPUT, name=pipe),
                    f"ch:tv:ts:{pipe}": analysis, f"ch:tv:hls:{pipe}": check}
    broker.set("ch:tv", json.dumps({"live": True}))
    # Thumbnails beside the records: never channels of their own.
    broker.set("ch:tv:thumb:black:input", jpeg, ex=60)
    broker.set("ch:tv:thumb:black:output", b"<html>not a picture</html>", ex=60)
    writer = Writer(broker, records, moving=False).start()
    try:
        serve = start_serve(f"redis://127.0.0.1:{redis_server.port}/0", "--refresh", "0.3", "--stale-after", "5",
                            "--loudness-target", str(TARGET), "--loudness-tolerance", str(TOLERANCE))
        expected = {pipe: (CASES[pipe][2][0], CASES[pipe][3][0]) if pipe in CASES else ("ok", "ok")
                    for pipe in [*CASES, *HEALTHY_PIPES]}

        def settled():
            status = serve.status()
            pipes = {pipe["pipe"]: pipe for channel in status["channels"] for pipe in channel["pipes"]}
            states = {name: (pipe["input"]["state"], pipe["output"]["state"]) for name, pipe in pipes.items()}
            return (status, pipes) if states == expected else None

        status, pipes = wait_for(settled, timeout=30)
        assert [channel["channel"] for channel in status["channels"]] == ["tv"]
        opened = {(event["pipe"], event["side"]): event["reason"] for event in status["events"]
                  if event["to"] == "degraded"}
        for name, (_, _, input_expected, output_expected) in CASES.items():
            for side, (_, reason) in (("input", input_expected), ("output", output_expected)):
                if reason is not None:
                    assert pipes[name][side]["reason"] == reason, (name, side)
                    assert opened[(name, side)] == reason, (name, side)
        # serve keeps a summary of what the analysers saw, for the pages.
        assert pipes["black"]["analysis"]["content"]["black_since"] == STARTED
        assert pipes["quiet"]["hls"]["loudness"] == -31.2

        metrics = serve.metrics()

        def sample(name, pipe, side):
            return metrics.get((name, (("channel", "tv"), ("pipe", pipe), ("side", side))))

        assert sample("avwatch_content_black", "black", "input") == 1
        assert sample("avwatch_content_black", "both", "output") == 1
        assert sample("avwatch_content_silent", "silent", "input") == 1
        assert sample("avwatch_loudness_short_term_lufs", "quiet", "output") == -31.2
        assert metrics[("avwatch_loudness_target_lufs", ())] == TARGET
        # The flags have series only while true; unknown loudness has none.
        flagged = {(name, dict(labels)["pipe"], dict(labels)["side"]) for (name, labels), _ in metrics.items()
                   if name.startswith("avwatch_content_")}
        assert flagged == {("avwatch_content_black", "black", "input"), ("avwatch_content_frozen", "frozen", "input"),
                           ("avwatch_content_silent", "silent", "input"), ("avwatch_content_frozen", "both", "input"),
                           ("avwatch_content_silent", "both", "input"), ("avwatch_content_black", "both", "output")}
        assert sample("avwatch_loudness_short_term_lufs", "unknown", "input") is None
        # A healthy pipe with both analysers' records and sound stays within its series budget.
        healthy = [name for name, labels in metrics if ("channel", "tv") in labels and ("pipe", "p1") in labels]
        assert len(healthy) + 1 <= 30, healthy   # + its channel's avwatch_channel_live
        promtool = shutil.which("promtool")
        assert promtool, "promtool is not installed (tools/bootstrap installs Debian's prometheus)"
        body = serve.request("/metrics")[2]
        result = subprocess.run([promtool, "check", "metrics"], input=body, capture_output=True, timeout=60)
        assert result.returncode == 0 and not result.stdout + result.stderr, result.stdout + result.stderr

        # The picture comes back and the event that closes the fault names it.
        writer.records["ch:tv:ts:black"] = CLEAN_INPUT
        serve.wait_for_state("tv", "black", "input", "ok")
        closed = [event for event in serve.status()["events"]
                  if (event["pipe"], event["from"], event["to"]) == ("black", "degraded", "ok")]
        assert closed and closed[0]["reason"].endswith(f"; cleared: black since {clock(STARTED)}")
        def content_seconds(pipe):
            return sum(json.loads(serve.request(f"/api/pipe?channel=tv&pipe={pipe}")[2])["faults"]["counts"][
                "content_seconds"])

        assert content_seconds("silent") > 0 and content_seconds("p1") == 0

        def thumbnail(**query):
            return serve.request("/api/thumbnail?" + urllib.parse.urlencode(query))

        code, headers, body = thumbnail(channel="tv", pipe="black", side="input")
        assert (code, headers["Content-Type"], body) == (200, "image/jpeg", jpeg)
        assert "max-age=" in headers["Cache-Control"] and headers["X-Content-Type-Options"] == "nosniff"
        for query, status_code in [
                ({"channel": "tv", "pipe": "black", "side": "output"}, 404),    # not a JPEG: not passed on
                ({"channel": "tv", "pipe": "frozen", "side": "input"}, 404),    # none stored
                ({"channel": "tv", "pipe": "nope", "side": "input"}, 404),      # no such pipe
                ({"channel": "tv:thumb:black", "pipe": "input", "side": "input"}, 404),   # names, never key text
                ({"channel": "tv", "pipe": "black", "side": "in"}, 400),
                ({"channel": "tv", "pipe": "black"}, 400),
                ({"channel": "tv" * 600, "pipe": "black", "side": "input"}, 400)]:
            assert thumbnail(**query)[0] == status_code, query
        counted = serve.metrics()
        assert counted[("avwatch_thumbnail_requests_total", (("result", "served"),))] == 1
        assert counted[("avwatch_thumbnail_requests_total", (("result", "absent"),))] == 4
    finally:
        writer.stop()
