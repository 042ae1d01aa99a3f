"""/metrics renders again only the families that changed since the last
scrape: after every kind of change its body must still be exactly what
prometheus_client makes of the whole collector."""

import json
import sys
from pathlib import Path

import pytest
from prometheus_client import CollectorRegistry, generate_latest

from avwatch_cli.serve.metrics import SnapshotCollector
from avwatch_cli.serve.refresher import Refresher
from avwatch_cli.serve.web import Exposition
from serve.harness import NO_ANSWER, OUTPUT, STREAM, wait_for

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
from analysis_records import hls_record, ts_record  # noqa: E402

HOSTILE = 'x"} 1\n# TYPE avwatch_health counter\\'


def fill(client, channels: int) -> None:
    for n in range(channels):
        client.set(f"ch:{n}", json.dumps({"live": True}))
        client.set(f"ch:{n}:in:main", json.dumps(dict(STREAM, bitrate=STREAM["bitrate"] + n)))
        client.set(f"ch:{n}:out:main", json.dumps(OUTPUT))


# Each changes what some families are drawn from and leaves the others as they were.
CHANGES = [
    lambda client: None,
    lambda client: client.set("ch:1:in:main", json.dumps(dict(STREAM, bitrate=7))),
    lambda client: client.set("ch:2:in:main", json.dumps(NO_ANSWER)),
    lambda client: client.set("ch:3:out:main", json.dumps(dict(OUTPUT, vcodec="hevc", vfps=50))),
    lambda client: client.delete("ch:4:out:main"),
    lambda client: client.set("ch:5", json.dumps({"live": False})),
    lambda client: client.set(f"ch:6:in:{HOSTILE}", json.dumps(dict(STREAM, vcodec=HOSTILE))),
    lambda client: client.set("ch:7:in:main", "{not json"),
    lambda client: client.delete("ch:8", "ch:8:in:main", "ch:8:out:main"),
    # The analysers' records: an indicator that counted gets a series, a
    # failing check one, a hostile pipe name is escaped in each family.
    lambda client: client.set("ch:1:ts:main", ts_record(1, 1)),
    lambda client: client.set("ch:1:ts:main", json.dumps(dict(json.loads(ts_record(1, 2)), pat_errors=3,
                                                               delay_factor_ms=4.5))),
    lambda client: client.set(f"ch:6:ts:{HOSTILE}", ts_record(6, 1)),
    lambda client: client.set("ch:2:hls:main", hls_record(2, 1)),
    lambda client: client.set(f"ch:6:hls:{HOSTILE}", json.dumps(dict(json.loads(hls_record(6, 1)), stale=True,
                                                                      checks_failed=["stale", HOSTILE]))),
    lambda client: client.delete("ch:1:ts:main"),
]


def test_families_rendered_again_only_when_changed_equal_a_full_rendering(own_redis):
    server = own_redis()
    client = server.client()
    fill(client, 10)
    refresher = Refresher(client, "redis://127.0.0.1", refresh_seconds=1.0, stale_after=30.0, forget_after=0.0)
    exposition = Exposition(lambda: refresher.snapshot)
    registry = CollectorRegistry(auto_describe=False)
    registry.register(SnapshotCollector(lambda: refresher.snapshot))
    for change in CHANGES:
        change(client)
        refresher.refresh()
        assert exposition.body() == generate_latest(registry)
    assert b"\n# TYPE avwatch_health counter" not in exposition.body()
    # Redis away and back: the pipes' families go and come again.
    server.stop()
    refresher.refresh()
    assert b"avwatch_health{" not in exposition.body()
    assert exposition.body() == generate_latest(registry)
    server.start()
    fill(client, 3)
    wait_for(lambda: refresher.refresh() or refresher.snapshot.redis_up)
    assert exposition.body() == generate_latest(registry)
    assert b'avwatch_health{channel="2",pipe="main",side="input",state="ok"} 1.0' in exposition.body()


HUGE = "1" + "0" * 400   # an integer beyond the float range: orjson refuses it, the standard parser takes it


@pytest.mark.parametrize("key, record, field, value", [
    ("ch:1:ts:main", ts_record(1, 0), "packets", HUGE),
    ("ch:1:ts:main", ts_record(1, 0), "continuity_errors", HUGE),
    ("ch:1:ts:main", ts_record(1, 0), "in_sync", '"yes"'),
    ("ch:1:ts:main", ts_record(1, 0), "delay_factor_ms", '"x"'),
    ("ch:1:ts:main", ts_record(1, 0), "data_age", '[]'),
    ("ch:1:ts:main", ts_record(1, 0), "time", '"now"'),
    ("ch:1:hls:main", hls_record(1, 0), "bitrate", HUGE),
    ("ch:1:hls:main", hls_record(1, 0), "time", HUGE),
    ("ch:1:hls:main", hls_record(1, 0), "sequence_resets", "-" + HUGE),
])
def test_an_analyser_s_odd_value_fails_no_scrape(own_redis, key, record, field, value):
    """One monitor's record with a value that is no number, or none a float
    holds: its series reads as absent (or 0), every other series stays."""
    client = own_redis().client()
    fill(client, 3)
    client.set(key, json.dumps(dict(json.loads(record), **{field: "@"})).replace('"@"', value))
    refresher = Refresher(client, "redis://127.0.0.1", refresh_seconds=1.0, stale_after=30.0, forget_after=0.0)
    refresher.refresh()
    registry = CollectorRegistry(auto_describe=False)
    registry.register(SnapshotCollector(lambda: refresher.snapshot))
    body = Exposition(lambda: refresher.snapshot).body()
    assert body == generate_latest(registry)
    assert b'avwatch_health{channel="1",pipe="main",side="input",state=' in body
    assert b'{channel="1",pipe="main"}' in body.split(b"avwatch_ts_" if ":ts:" in key else b"avwatch_hls_", 1)[1]
