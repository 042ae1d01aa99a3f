"""serve with the HLS analyser's records: shown beside the output side,
exported, and the shipped HLS alerts under promtool."""

import json
import shutil
import subprocess
import time
from pathlib import Path

import pytest

from serve.harness import OUTPUT, wait_for

RULES = Path(__file__).resolve().parents[2] / "contrib" / "prometheus"


def hls_record(**changes):
    now = time.time()
    record = {"time": now, "media_sequence": 12, "bitrate": 420_000, "declared_bitrate": 2_000_000,
              "stale": True, "problems": ["the playlist has not advanced for 3.00 s"],
              "checks_failed": ["stale"], "since": now - 3, "continuity_errors": 0}
    record.update(changes)
    return record


def test_hls_record_beside_the_output(broker, redis_server, start_serve):
    broker.set("ch:5", json.dumps({"live": True}))
    broker.set("ch:5:out:main", json.dumps(OUTPUT))
    record = hls_record()
    # The folder's housekeeping and the paths are the analyser's to print: serve keeps the rest.
    broker.set("ch:5:hls:main", json.dumps(dict(record, playlist="/srv/hls/5/main/chunks.m3u8", stray_files=["core.1"],
                                                 stray_count=1, newest_segment="12.ts")))
    # A pipe whose analyser wrote garbage: shown without a record.
    broker.set("ch:5:out:b", json.dumps(OUTPUT))
    broker.set("ch:5:hls:b", b"\xff not json")
    serve = start_serve(f"redis://127.0.0.1:{redis_server.port}/0", "--refresh", "0.2")

    pipe = wait_for(lambda: (found := serve.pipe("5", "main")) and found["hls"] and found)
    # The segments advance by the module's record, but the check found the playlist stale.
    assert pipe["hls"] == record and pipe["output"]["state"] == "degraded"
    assert pipe["output"]["reason"] == "HLS: stale playlist"
    assert pipe["output"]["bitrate"] == 420_000 and pipe["output"]["bitrate_measured"] is True
    assert pipe["output"]["estimated_bitrate"] == OUTPUT["bitrate"]
    assert serve.pipe("5", "b")["hls"] is None
    # The analyser's key is a pipe's, never a channel of its own.
    assert [channel["channel"] for channel in serve.status()["channels"]] == ["5"]

    metrics = serve.metrics()
    labels = (("channel", "5"), ("pipe", "main"))
    assert metrics[("avwatch_hls_stale", labels)] == 1
    assert metrics[("avwatch_hls_bytes_per_second", labels)] == 420_000 / 8
    assert metrics[("avwatch_hls_declared_bytes_per_second", labels)] == 2_000_000 / 8
    assert metrics[("avwatch_hls_check_failed", tuple(sorted((*labels, ("check", "stale")))))] == 1
    assert 0 <= metrics[("avwatch_hls_record_age_seconds", labels)] < 30

    # Recovered: the failing check's series goes with it.
    broker.set("ch:5:hls:main", json.dumps(hls_record(stale=False, problems=[], checks_failed=[])))
    wait_for(lambda: serve.pipe("5", "main")["hls"]["stale"] is False)
    assert serve.pipe("5", "main")["output"]["state"] == "ok"
    closed = [event for event in serve.status()["events"] if event["pipe"] == "main" and event["from"] == "degraded"]
    assert closed[0]["to"] == "ok" and "cleared: HLS: stale playlist" in closed[0]["reason"]
    metrics = serve.metrics()
    assert ("avwatch_hls_stale", labels) not in metrics   # a flag at 0 has no series
    assert not [key for key in metrics if key[0] == "avwatch_hls_check_failed"]


@pytest.mark.parametrize("arguments", [["check", "rules", "avwatch-hls.rules.yml"],
                                       ["test", "rules", "avwatch-hls.rules.test.yml"]])
def test_hls_alert_rules(arguments):
    promtool = shutil.which("promtool")
    assert promtool, "promtool is not installed (tools/bootstrap installs Debian's prometheus)"
    result = subprocess.run([promtool, *arguments], cwd=RULES, capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "SUCCESS" in result.stdout
