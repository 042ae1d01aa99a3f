"""`avwatch serve` against a Redis Cluster: every master's keys found and
read, and every write seen through each master's own notifications."""

import json

import pytest

from serve.harness import OUTPUT, STREAM, Serve, wait_for

CHANNELS = [str(n) for n in range(30)]


@pytest.fixture
def cluster(cluster_set):
    client = cluster_set.client()
    client.flushall()
    for node in cluster_set.nodes:
        # As a fresh server has it: serve must turn notifications on itself.
        node.client().config_set("notify-keyspace-events", "")
    yield client
    client.close()


@pytest.fixture
def serve_on():
    started = []

    def start(*options):
        started.append(Serve(*options))
        return started[-1]
    yield start
    for serve in started:
        serve.stop()


def test_every_master_is_read_and_heard(cluster_set, cluster, serve_on):
    for channel in CHANNELS:
        cluster.set(f"ch:{channel}", json.dumps({"live": True}))
        cluster.set(f"ch:{channel}:in:main", json.dumps(STREAM))
        cluster.set(f"ch:{channel}:out:main", json.dumps(OUTPUT))
        cluster.set(f"ch:{channel}:input:main", json.dumps({"uri": f"udp://239.1.1.{channel}:5000"}))
    owners = {cluster.get_node_from_key(f"ch:{channel}:out:main").name: channel for channel in CHANNELS}
    assert len(owners) == 3

    serve = serve_on("--redis-cluster", cluster_set.url, "--refresh", "0.2")
    status = wait_for(lambda: (found := serve.status())["counts"]["ok"] == 2 * len(CHANNELS)
                      and found["freshness_mode"] == "notifications" and found)
    assert status["redis"]["up"]
    assert sorted(entry["channel"] for entry in status["channels"]) == sorted(CHANNELS)
    assert status["redis"]["url"] == f"{cluster_set.url} (Cluster)"
    # The input source records too, from whichever master holds each.
    assert {pipe["source"]["uri"] for entry in status["channels"] for pipe in entry["pipes"]} == \
        {f"udp://239.1.1.{channel}:5000" for channel in CHANNELS}

    for node in cluster_set.nodes:
        flags = node.client().config_get("notify-keyspace-events")["notify-keyspace-events"]
        assert {"K", "$", "g"} <= set(flags.replace("A", "$g")), (node.address, flags)
    # The same value written again on each master: only a notification
    # tells serve that it was written.
    for channel in owners.values():
        wait_for(lambda: serve.side(channel, "main", "output")["age_seconds"] > 1)
        cluster.set(f"ch:{channel}:out:main", json.dumps(OUTPUT))
        wait_for(lambda: serve.side(channel, "main", "output")["age_seconds"] < 0.8)


def move_slot(cluster, slot: int, target) -> None:
    """Hands one hash slot and its keys to another master, as a resharding does."""
    source = cluster.nodes_manager.get_node_from_slot(slot)
    source_client, target_client = cluster.get_redis_connection(source), cluster.get_redis_connection(target)
    source_id, target_id = source_client.cluster("myid"), target_client.cluster("myid")
    target_client.execute_command("CLUSTER SETSLOT", slot, "IMPORTING", source_id)
    source_client.execute_command("CLUSTER SETSLOT", slot, "MIGRATING", target_id)
    keys = source_client.execute_command("CLUSTER GETKEYSINSLOT", slot, 100)
    source_client.execute_command("MIGRATE", target.host, target.port, "", 0, 5000, "KEYS", *keys)
    for node in cluster.get_primaries():
        cluster.get_redis_connection(node).execute_command("CLUSTER SETSLOT", slot, "NODE", target_id)


def test_a_slot_handed_to_another_master_is_followed(tmp_path, serve_on):
    from redis_sets import ClusterSet
    cluster_set = ClusterSet(tmp_path).start()   # its own: the slot map changes
    try:
        cluster = cluster_set.client()
        for channel in CHANNELS:
            cluster.set(f"ch:{channel}", json.dumps({"live": True}))
            cluster.set(f"ch:{channel}:out:main", json.dumps(OUTPUT))
        serve = serve_on("--redis-cluster", cluster_set.url, "--refresh", "0.2")
        wait_for(lambda: serve.status()["counts"]["ok"] == len(CHANNELS))

        key = "ch:3:out:main"
        owner = cluster.get_node_from_key(key)
        [target] = [node for node in cluster.get_primaries() if node.name != owner.name][:1]
        move_slot(cluster, cluster.keyslot(key), target)
        wait_for(lambda: serve.side("3", "main", "output")["age_seconds"] > 1)
        cluster.set(key, json.dumps(OUTPUT))   # on its new master
        wait_for(lambda: serve.side("3", "main", "output")["age_seconds"] < 0.8)
        status = serve.status()
        assert status["redis"]["up"] and status["counts"]["ok"] == len(CHANNELS)
        assert "Redis unreachable" not in serve.stop()[2]
        cluster.close()
    finally:
        cluster_set.stop()
