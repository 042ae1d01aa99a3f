"""The pictures the monitors store beside their records: written with the
record on each Redis deployment, timed in the record, left to expire when
the monitor stops."""

from __future__ import annotations

import json
import time

import pytest

from cli.conftest import Avwatch  # (also puts the checkout's CLI on the path)

from avwatch_cli.analyze.thumbnails import THUMBNAIL_TTL_SECONDS, ThumbnailStore, thumbnail_key
from avwatch_cli.broker import REDIS_ERRORS, make_client
from avwatch_cli.redis_target import CLUSTER, SENTINEL, SINGLE, Target
from hls_standin import HlsStandIn
from redis_sets import MASTER_NAME

JPEG = b"\xff\xd8\xff\xe0" + bytes(200) + b"\xff\xd9"


@pytest.fixture
def avwatch_command():
    return Avwatch()


def target(kind: str, request) -> Target:
    if kind == SINGLE:
        return Target(SINGLE, f"redis://127.0.0.1:{request.getfixturevalue('redis_server').port}/0", None)
    if kind == CLUSTER:
        return Target(CLUSTER, request.getfixturevalue("cluster_set").url, None)
    return Target(SENTINEL, request.getfixturevalue("sentinel_set").addresses, MASTER_NAME)


@pytest.mark.parametrize("kind", [SINGLE, CLUSTER, SENTINEL])
def test_the_picture_goes_with_its_record(kind, request):
    """On a Cluster the record and the picture hash to different slots: one
    pipeline still writes both, each to its own master."""
    client = make_client(target(kind, request))
    key = thumbnail_key("31", "main", "input")
    record_key = "ch:31:ts:main"
    try:
        store = ThumbnailStore(client, key)
        now = time.time()
        store.publish(record_key, {"time": now, "content": {"video": None}}, JPEG, ttl=10)
        assert client.get(key) == JPEG and 0 < client.ttl(key) <= THUMBNAIL_TTL_SECONDS
        assert json.loads(client.get(record_key))["content"] == {"video": None, "thumbnail_time": round(now, 3)}
        assert 0 < client.ttl(record_key) <= 10

        # Records without a new picture name the stored one's time until it has expired.
        for later, shown in [(now + 5, round(now, 3)), (now + THUMBNAIL_TTL_SECONDS, None)]:
            store.publish(record_key, {"time": later, "content": {}}, None, ttl=10)
            assert json.loads(client.get(record_key))["content"]["thumbnail_time"] == shown
    finally:
        client.delete(key, record_key)
        client.close()


def test_a_picture_not_stored_is_not_named():
    client = make_client(Target(SINGLE, "redis://127.0.0.1:1/0", None))
    store = ThumbnailStore(client, thumbnail_key("31", "main", "output"))
    with pytest.raises(REDIS_ERRORS):
        store.publish("ch:31:hls:main", {"time": time.time(), "content": {}}, JPEG)
    assert store.stored_at is None
    client.close()


def wait_for(condition, timeout: float, what: str):
    deadline = time.monotonic() + timeout
    while not (found := condition()):
        if time.monotonic() > deadline:
            raise AssertionError(f"no {what} after {timeout} s")
        time.sleep(0.2)
    return found


def test_monitor_stores_both_sides_pictures_and_leaves_them_to_expire(broker, redis_url, kestrel_root,
                                                                      udp_stream, avwatch_command):
    """ffmpeg's UDP input and the HLS stand-in's segments, through `avwatch
    monitor`: a JPEG under each side's key, named by its record; once the
    channel stops, the pictures are no longer rewritten."""
    broker.set("ch:7", json.dumps({"live": True}))
    broker.set("ch:7:input:main", json.dumps({"uri": udp_stream.uri, "miface": "127.0.0.1", "pid": 1,
                                              "vpid": 256, "apid": 257}))
    sides = {"input": "ch:7:ts:main", "output": "ch:7:hls:main"}
    with HlsStandIn(kestrel_root / "trunk/objs/nginx/html", "7", "main", fragment=1):
        process = avwatch_command.start("monitor", "--redis", redis_url, "--channel", 7, "--pipe", "main")
        try:
            for side, record_key in sides.items():
                picture = wait_for(lambda: broker.get(thumbnail_key("7", "main", side)), 40, f"{side} picture")
                assert picture[:3] == b"\xff\xd8\xff", side
                assert 0 < broker.ttl(thumbnail_key("7", "main", side)) <= THUMBNAIL_TTL_SECONDS
                record = wait_for(lambda: json.loads(broker.get(record_key) or "null"), 5, f"{side} record")
                assert time.time() - THUMBNAIL_TTL_SECONDS < record["content"]["thumbnail_time"] <= time.time()
            broker.set("ch:7", json.dumps({"live": False}))
            assert process.wait(30) == 0, process.stderr.read()
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
            process.stdout.close()
            process.stderr.close()
    keys = [thumbnail_key("7", "main", side) for side in sides]
    left = [broker.pttl(key) for key in keys]
    time.sleep(1.5)
    # Still there, counting down: left to expire, no longer rewritten.
    assert all(0 < broker.pttl(key) <= before - 1000 for key, before in zip(keys, left)), left
