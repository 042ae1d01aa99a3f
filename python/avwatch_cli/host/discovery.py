"""The channel pipes a host should be running, from the records that start
`avwatch monitor` today: a pipe is an input source record ch:ID:input:PIPE
of a channel whose record ch:ID says "live", and the channel is one the
host's selection takes.

Found by SCAN every period, and at once when Redis reports (keyspace
notifications) a write or deletion of an input source record or of a
channel record the host knows of."""

from __future__ import annotations

import logging
import threading
from collections.abc import Iterable

from redis.cluster import RedisCluster

from avwatch_cli.broker import REDIS_ERRORS
from avwatch_cli.health import channel_live
from avwatch_cli.host.selection import Selection
from avwatch_cli.serve.freshness import enable_notifications
from avwatch_cli.serve.keys import readings
from avwatch_cli.serve.nodes import nodes_of

log = logging.getLogger("avwatch.cli")

SOURCE_PATTERN = "ch:*:input:*"
SCAN_COUNT = 1000
MGET_CHUNK = 500
# How long a notification listener waits for a message before looking at
# its stop flag; and after losing its connection, before listening again.
LISTEN_WAIT_SECONDS = 1.0
RELISTEN_SECONDS = 5.0

Pipe = tuple[str, str]   # (channel id, pipe name)


def read_values(client, keys: list[str]) -> list:
    """The values of the keys, in order: MGET in chunks (per hash slot on a
    Cluster)."""
    values: list = []
    for start in range(0, len(keys), MGET_CHUNK):
        chunk = keys[start:start + MGET_CHUNK]
        if isinstance(client, RedisCluster):
            values.extend(client.mget_nonatomic(chunk))
        else:
            values.extend(client.mget(chunk))
    return values


def source_keys(client) -> set[str]:
    names: set[str] = set()
    for node in nodes_of(client)().values():
        for key in node.scan_iter(match=SOURCE_PATTERN, count=SCAN_COUNT):
            names.add(key.decode("utf-8", "surrogateescape") if isinstance(key, bytes) else key)
    return names


def pipes_of(names: Iterable[str], present_channels: set[str]) -> set[Pipe]:
    """(ID, PIPE) of each input source key: among the ways to split a key
    whose ID or pipe holds ":input:", the longest ID whose channel record
    exists."""
    found: set[Pipe] = set()
    for name in names:
        splits = [(ch_uid, pipe) for ch_uid, kind, pipe in readings(name[len("ch:"):]) if kind == "input"]
        for ch_uid, pipe in splits:
            if ch_uid in present_channels:
                found.add((ch_uid, pipe))
                break
    return found


def candidate_channels(names: Iterable[str], selection: Selection) -> set[str]:
    return {ch_uid for name in names for ch_uid, kind, _ in readings(name[len("ch:"):])
            if kind == "input" and ch_uid in selection}


class Discovery:
    def __init__(self, client, selection: Selection):
        self.client = client
        self.selection = selection
        self.present: set[str] = set()   # selected channels with a record, at the last scan

    def scan(self) -> set[Pipe]:
        """The selected live channels' pipes.  REDIS_ERRORS when Redis fails."""
        names = [name for name in source_keys(self.client) if name.startswith("ch:")]
        channels = sorted(candidate_channels(names, self.selection))
        records = read_values(self.client, [f"ch:{ch_uid}" for ch_uid in channels])
        self.present = {ch_uid for ch_uid, raw in zip(channels, records) if raw is not None}
        live = {ch_uid for ch_uid, raw in zip(channels, records) if channel_live(raw)}
        return {pipe for pipe in pipes_of(names, self.present) if pipe[0] in live}


class ChangeListener(threading.Thread):
    """Sets `changed` when Redis reports a write or deletion of an input
    source record (any channel's: they are written as channels are set up)
    or of the record of a channel the host has pipes of.  The status
    records match no subscription: their writes, many a second across all
    hosts, never reach this process.  Listens to a single server (or a
    Sentinel's master); a Cluster's hosts rely on the scan period."""

    def __init__(self, client, changed: threading.Event):
        super().__init__(name="notifications", daemon=True)
        self.client = client
        self.changed = changed
        self.stopping = threading.Event()
        pool = getattr(client, "connection_pool", None)
        db = pool.connection_kwargs.get("db", 0) if pool is not None else 0
        self.space = f"__keyspace@{db}__:"
        self.lock = threading.Lock()
        self.wanted: set[str] = set()   # channel ids whose record is followed
        self.listening = False   # subscribed, and no error since

    @staticmethod
    def usable(client) -> bool:
        return not isinstance(client, RedisCluster)

    def follow(self, channels: set[str]) -> None:
        with self.lock:
            self.wanted = set(channels)

    def stop(self) -> None:
        self.stopping.set()

    def run(self) -> None:
        said = None
        while not self.stopping.is_set():
            try:
                enable_notifications(self.client)
                self._listen()
            except REDIS_ERRORS as error:
                if str(error) != said:
                    log.warning("keyspace notifications: %s; finding channels by SCAN alone until they "
                                "work again", error)
                    said = str(error)
            self.stopping.wait(RELISTEN_SECONDS)

    def _listen(self) -> None:
        pubsub = self.client.pubsub(ignore_subscribe_messages=True)
        subscribed: set[str] = set()
        try:
            pubsub.psubscribe(f"{self.space}{SOURCE_PATTERN}")
            self.listening = True
            # What was written while not listening.
            self.changed.set()
            while not self.stopping.is_set():
                with self.lock:
                    wanted = set(self.wanted)
                if wanted - subscribed:
                    pubsub.subscribe(*(self.space + f"ch:{c}" for c in wanted - subscribed))
                if subscribed - wanted:
                    pubsub.unsubscribe(*(self.space + f"ch:{c}" for c in subscribed - wanted))
                subscribed = wanted
                if pubsub.get_message(timeout=LISTEN_WAIT_SECONDS) is not None:
                    self.changed.set()
        finally:
            self.listening = False
            pubsub.close()
