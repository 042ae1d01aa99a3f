"""Both monitors publishing through the clients a worker builds for a
Sentinel master and for a Redis Cluster, as the README shows them, against
real deployments: real probes of a file input and of a live HLS output."""

import json
import time

import pytest
from redis.cluster import RedisCluster
from redis.sentinel import Sentinel

import avwatch
from call_thread import CallThread
from hls_standin import HTML_SUBPATH, KESTREL_ROOT, HlsStandIn
from redis_sets import MASTER_NAME

# Channel 7's four keys hash to slots on all three masters.
CHANNEL, PIPE = "7", "main"
HTML_ROOT = KESTREL_ROOT / HTML_SUBPATH
KEYS = {"channel": "ch:7", "source": "ch:7:input:main", "input": "ch:7:in:main", "output": "ch:7:out:main"}
TIMEOUTS = {"socket_timeout": 2, "socket_connect_timeout": 2, "socket_keepalive": True,
            "health_check_interval": 15}


def sentinel_client(sentinel_set):
    sentinels = [("127.0.0.1", node.port) for node in sentinel_set.sentinels]
    return Sentinel(sentinels, sentinel_kwargs=TIMEOUTS).master_for(MASTER_NAME, **TIMEOUTS)


def cluster_client(cluster_set):
    return RedisCluster.from_url(cluster_set.url, **TIMEOUTS)


@pytest.fixture(params=["sentinel", "cluster"])
def deployment_client(request):
    if request.param == "sentinel":
        client = sentinel_client(request.getfixturevalue("sentinel_set"))
    else:
        client = cluster_client(request.getfixturevalue("cluster_set"))
    client.flushall()
    yield client
    client.close()


def wait_for_records(client, keys, timeout=20):
    deadline = time.monotonic() + timeout
    while True:
        records = {key: client.get(key) for key in keys}
        if all(value is not None and json.loads(value)["vcodec"] == "h264" for value in records.values()):
            return {key: json.loads(value) for key, value in records.items()}
        assert time.monotonic() < deadline, f"no measured records: {records}"
        time.sleep(0.1)


def test_both_monitors_publish_and_end(deployment_client, kestrel_root, ts_file):
    client = deployment_client
    client.set(KEYS["channel"], json.dumps({"live": True}))
    client.set(KEYS["source"], json.dumps({"uri": str(ts_file)}))
    if isinstance(client, RedisCluster):
        owners = {client.get_node_from_key(key).name for key in KEYS.values()}
        assert len(owners) == 3, "the channel's keys should span the masters"

    with HlsStandIn(HTML_ROOT, CHANNEL, PIPE, fragment=1) as server:
        server.wait_for_segments(1)
        monitors = [CallThread(function, CHANNEL, PIPE, client, name=function.__name__).start()
                    for function in (avwatch.ffmpeg_input_bitrate, avwatch.ffmpeg_output_bitrate)]
        records = wait_for_records(client, [KEYS["input"], KEYS["output"]])
        client.set(KEYS["channel"], json.dumps({"live": False}))
        for monitor in monitors:
            monitor.join(20)

    assert [(monitor.error, monitor.returned) for monitor in monitors] == [(None, True), (None, True)]
    assert records[KEYS["input"]]["vresolution"] == "1280x720"
    assert records[KEYS["output"]]["vresolution"] == "640x360"
    assert records[KEYS["output"]]["name"] == PIPE
    assert client.exists(KEYS["input"], KEYS["output"]) == 0

