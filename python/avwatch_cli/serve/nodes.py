"""The servers behind the serve's client.  One server, or the master of a
Sentinel set (its pool asks the Sentinels for the master at every new
connection, so it follows a failover by itself), is read as one node.  A
Cluster is read master by master: SCAN and keyspace notifications are
node-local, and a command may touch one hash slot only."""

from __future__ import annotations

from collections import defaultdict
from typing import Callable

import redis
from redis.cluster import ClusterNode, RedisCluster
from redis.exceptions import AskError, RedisClusterException

from avwatch_cli.broker import REDIS_ERRORS, Client
from avwatch_cli.serve.reader import PATTERN, SCAN_COUNT, RedisReader

Nodes = Callable[[], dict]   # node name -> a client of that node alone


def nodes_of(client: Client) -> Nodes:
    if isinstance(client, RedisCluster):
        return lambda: _primaries(client)
    return lambda: {"": client}


def reader_for(client: Client):
    return ClusterReader(client) if isinstance(client, RedisCluster) else RedisReader(client)


def _primaries(cluster: RedisCluster) -> dict:
    try:
        return {node.name: cluster.get_redis_connection(node) for node in cluster.get_primaries()}
    except RedisClusterException as error:
        raise redis.ConnectionError(str(error)) from error


class ClusterReader:
    """The RedisReader interface over every master of a Cluster: SCAN on
    each, then per master one non-transactional pipeline with an MGET per
    hash slot."""

    def __init__(self, cluster: RedisCluster):
        self.cluster = cluster
        self.grouped_keys: list | None = None
        # Per master: its client, and the positions of the keys of each slot.
        self.groups: list[tuple[redis.Redis, list[list[int]]]] = []

    def key_names(self) -> list[bytes]:
        names: list[bytes] = []
        try:
            for node in _primaries(self.cluster).values():
                names.extend(node.scan_iter(match=PATTERN, count=SCAN_COUNT))
        except redis.ConnectionError:
            self._forget_topology()
            raise
        return names

    def values(self, keys: list[bytes]) -> list[bytes | None]:
        try:
            return self._read(keys)
        except AskError:
            # MOVED or ASK: slots changed hands; read once more on the new map.
            self._forget_topology()
            return self._read(keys)
        except redis.ConnectionError:
            self._forget_topology()
            raise

    def _read(self, keys: list[bytes]) -> list[bytes | None]:
        if keys is not self.grouped_keys:
            self._group(keys)
        found: list[bytes | None] = [None] * len(keys)
        for node, slots in self.groups:
            pipe = node.pipeline(transaction=False)
            for positions in slots:
                pipe.mget([keys[at] for at in positions])
            for positions, batch in zip(slots, pipe.execute()):
                for at, value in zip(positions, batch):
                    found[at] = value
        return found

    def _group(self, keys: list[bytes]) -> None:
        """Done once per key list (the refresher reuses it while the key
        names hold) and again after the slot map changed."""
        by_slot: dict[int, list[int]] = defaultdict(list)
        for at, key in enumerate(keys):
            by_slot[self.cluster.keyslot(key)].append(at)
        by_node: dict[str, list[list[int]]] = defaultdict(list)
        clients: dict[str, ClusterNode] = {}
        try:
            for slot, positions in by_slot.items():
                node = self.cluster.nodes_manager.get_node_from_slot(slot)
                by_node[node.name].append(positions)
                clients.setdefault(node.name, node)
            self.groups = [(self.cluster.get_redis_connection(clients[name]), slots)
                           for name, slots in by_node.items()]
        except RedisClusterException as error:
            raise redis.ConnectionError(str(error)) from error
        self.grouped_keys = keys

    def _forget_topology(self) -> None:
        self.grouped_keys = None
        try:
            self.cluster.nodes_manager.initialize()
        except REDIS_ERRORS:
            pass   # the next refresh tries again
