"""One verdict per side from all the evidence: 30 pipes whose monitors all
say ok, some of whose analysers measured a fault, judged by a real serve
reading a real redis-server, with the records kept fresh as running
monitors and analysers keep them."""

import json
import time

from serve.harness import wait_for
from serve.live_records import GOOD_INPUT, GOOD_OUTPUT, NO_PROBE_ANSWER, Writer

CLEAN_TS = {"bitrate": 4_000_000, "packets": 90_000, "continuity_errors": 3, "in_sync": True, "pat_present": True,
            "pmt_present": True, "data_age": 0.004, "time": 0.0, "window": {"continuity_errors": 0}}
CLEAN_HLS = {"bitrate": 2_900_000, "declared_bitrate": 3_000_000, "media_sequence": 40, "stale": False,
             "problems": [], "checks_failed": [], "time": 0.0}


def ts(**changes) -> dict:
    return {**CLEAN_TS, **changes}


def hls(*checks: str, **changes) -> dict:
    return {**CLEAN_HLS, "checks_failed": list(checks), "problems": [f"{check} failed" for check in checks], **changes}


# pipe -> (input record, ts record, hls record, expected input, expected output); the rest are clean.
FAULTY = {
    "continuity": (GOOD_INPUT, ts(window={"continuity_errors": 12}), CLEAN_HLS,
                   ("degraded", "continuity errors +12"), ("ok", None)),
    "lost": (GOOD_INPUT, ts(window={"lost_packets": 7, "continuity_errors": 0}), CLEAN_HLS,
             ("degraded", "lost packets +7"), ("ok", None)),
    "sync": (GOOD_INPUT, ts(in_sync=False, window={"sync_losses": 1}), CLEAN_HLS,
             ("degraded", "out of sync, sync losses +1"), ("ok", None)),
    "tables": (GOOD_INPUT, ts(window={"pat_errors": 2, "pmt_errors": 1, "pid_errors": 1}), CLEAN_HLS,
               ("degraded", "PAT errors +2, PMT errors +1, PID errors +1"), ("ok", None)),
    # The module's record still says ok; the analyser has had no datagram for 5 s.
    "nodata": (GOOD_INPUT, ts(data_age=5.0, bitrate=0), CLEAN_HLS,
               ("no_signal", "the analyser got no data for 5.0 s (the probe still answers)"), ("ok", None)),
    # A probe that got no answer on a loaded host, while every datagram arrives.
    "probe": (NO_PROBE_ANSWER, CLEAN_TS, CLEAN_HLS,
              ("degraded", "the probe failed; data flowing at 4.00 Mb/s measured"), ("ok", None)),
    "stale": (GOOD_INPUT, CLEAN_TS, hls("stale", stale=True), ("ok", None), ("degraded", "HLS: stale playlist")),
    "segments": (GOOD_INPUT, CLEAN_TS, hls("segment_missing", "over_target"),
                 ("ok", None), ("degraded", "HLS: segments missing, EXTINF over target")),
    "keyframe": (GOOD_INPUT, CLEAN_TS, hls("key_frame", "lag", lag=12.0),
                 ("ok", None), ("degraded", "HLS: no key frame first, lag 12.0 s")),
    # Housekeeping is no fault a player meets.
    "stray": (GOOD_INPUT, CLEAN_TS, hls("stray_files", "variant_missing"), ("ok", None), ("ok", None)),
}
PIPES = [*FAULTY, *(f"p{n:02}" for n in range(30 - len(FAULTY)))]


def test_thirty_pipes_judged_from_every_record(broker, redis_server, start_serve):
    records = {}
    for pipe in PIPES:
        source, analysis, check, _, _ = FAULTY.get(pipe, (GOOD_INPUT, CLEAN_TS, CLEAN_HLS, None, None))
        records |= {f"ch:tv:in:{pipe}": source, f"ch:tv:out:{pipe}": dict(GOOD_OUTPUT, name=pipe),
                    f"ch:tv:ts:{pipe}": analysis, f"ch:tv:hls:{pipe}": check}
    # A faulty analysis whose analyser stopped long ago: no evidence any more.
    records["ch:tv:ts:p00"] = json.dumps(ts(time=time.time() - 3600, window={"continuity_errors": 99}))
    broker.set("ch:tv", json.dumps({"live": True}))
    # Bitrates as written: the reasons and rates read back name them (a moving one
    # would differ from the expected figure whenever serve takes longer than a period).
    writer = Writer(broker, records, moving=False).start()
    try:
        serve = start_serve(f"redis://127.0.0.1:{redis_server.port}/0", "--refresh", "0.3", "--stale-after", "5")
        expected = {pipe: (FAULTY[pipe][3][0], FAULTY[pipe][4][0]) if pipe in FAULTY else ("ok", "ok")
                    for pipe in PIPES}

        def states():
            pipes = {pipe["pipe"]: pipe for channel in serve.status()["channels"] for pipe in channel["pipes"]}
            return pipes if {name: (pipe["input"]["state"], pipe["output"]["state"])
                             for name, pipe in pipes.items()} == expected else None

        pipes = wait_for(states, timeout=30)
        for name, (_, _, _, (_, input_reason), (_, output_reason)) in FAULTY.items():
            for side, reason in (("input", input_reason), ("output", output_reason)):
                if reason is not None:
                    assert pipes[name][side]["reason"].startswith(reason), (name, side)
        # The measured rate leads; the probe's estimate is kept beside it.
        probe = pipes["probe"]["input"]
        assert (probe["bitrate"], probe["bitrate_measured"], probe["estimated_bitrate"]) == (4_000_000, True, 0)
        assert pipes["stale"]["output"]["bitrate"] == 2_900_000
        assert pipes["p00"]["input"]["bitrate_measured"] is False
        # ...and so does the history the sparklines draw: the estimate there is 0.
        history = json.loads(serve.request(f"/api/history?ids={pipes['probe']['id']}")[2])[pipes["probe"]["id"]]
        assert history["input"][-1] > 1_000_000

        status = serve.status()
        assert status["counts"]["degraded"] == 8 and status["counts"]["no_signal"] == 1
        opened = {(event["pipe"], event["side"]): event["reason"] for event in status["events"]
                  if event["to"] == "degraded"}
        assert opened[("continuity", "input")] == "continuity errors +12"
        assert opened[("stale", "output")] == "HLS: stale playlist"
        metrics = serve.metrics()
        one_hot = {dict(labels)["pipe"] for (name, labels), value in metrics.items()
                   if name == "avwatch_health" and dict(labels)["state"] == "degraded" and value == 1}
        assert one_hot == {name for name, sides in expected.items() if "degraded" in sides}

        # The fault stops: the event that closes it names it.
        writer.records["ch:tv:ts:continuity"] = CLEAN_TS
        serve.wait_for_state("tv", "continuity", "input", "ok")
        closed = [event for event in serve.status()["events"]
                  if (event["pipe"], event["from"], event["to"]) == ("continuity", "degraded", "ok")]
        assert closed and closed[0]["reason"] == "the probe answered; cleared: continuity errors +12"

        # The input stops: the analyser says so before the probe does.
        writer.records["ch:tv:ts:p01"] = ts(data_age=1.6, bitrate=0)
        gone = serve.wait_for_state("tv", "p01", "input", "no_signal")
        assert gone["record"]["vcodec"] == "h264"   # while the module's record still says ok
    finally:
        writer.stop()
