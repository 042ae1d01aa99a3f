"""When each record was last written.

A healthy monitor may write the same value twice, so the write itself is
what counts: Redis keyspace notifications report every SET and DEL of a
"ch:" key, and a listener thread notes the time each arrives.  Where the
server refuses CONFIG (managed services), a change of value seen by the
refresher stands in for a write.

A key written before serve started, or while the listener was cut off, has
no known write time: its age counts from the moment the listener last
subscribed or the refresher first saw the key, whichever is later.  So a
record left behind by a dead monitor turns silent `--stale-after` seconds
after serve starts."""

from __future__ import annotations

import logging
import threading
import time

import redis

from avwatch_cli.serve.nodes import Client, nodes_of
from avwatch_cli.serve.reader import PATTERN, key_text

log = logging.getLogger("avwatch.serve")

NOTIFICATIONS = "notifications"
VALUE_CHANGES = "value_changes"
# K: keyspace channel; $: string commands (SET); g: generic ones (DEL, RENAME, EXPIRE).
NEEDED_FLAGS = "K$g"
RETRY_SECONDS = 1.0
POLL_SECONDS = 0.25
CHECK_SECONDS = 5.0


def missing_flags(current: str) -> str:
    """The flags to add to notify-keyspace-events for SET and DEL to be
    reported on the keyspace channel ("A" stands for "$g" and more)."""
    return "".join(flag for flag in NEEDED_FLAGS
                   if flag not in current and not (flag in "$g" and "A" in current))


def enable_notifications(client: redis.Redis) -> bool:
    """Adds what is missing, keeping what is on: True when something was
    missing.  ResponseError when refused."""
    reply = client.config_get("notify-keyspace-events")
    value = next(iter(reply.values()), "") if reply else ""
    current = value.decode() if isinstance(value, bytes) else str(value or "")
    missing = missing_flags(current)
    if missing:
        client.config_set("notify-keyspace-events", current + missing)
        log.info("keyspace notifications were %r; set to %r to see every write of the records",
                 current, current + missing)
    return bool(missing)


class WriteTimes:
    """Last write time of each key, from notifications or value changes."""

    def __init__(self, client: Client, now: float):
        # The servers to listen to, by name: notifications are node-local,
        # so a Cluster has one listener per master.
        self.nodes = nodes_of(client)
        self.listeners: dict[str, threading.Thread] = {}
        self.mode = NOTIFICATIONS
        self.baseline = now
        self.notified: dict[str, float] = {}     # written by the listener thread only
        self.first_seen: dict[str, float] = {}   # these two by the refresher only
        self.last_values: dict[str, bytes] = {}
        # Per key of the last list asked about: the earliest write time it can have.
        self.floors: list[float] = []
        self.floor_keys: list[str] | None = None
        self.floor_baseline = now
        self.stopping = threading.Event()

    def start(self) -> None:
        self.follow_nodes()

    def stop(self) -> None:
        self.stopping.set()
        for listener in list(self.listeners.values()):
            listener.join(2 * POLL_SECONDS)

    def follow_nodes(self) -> None:
        """A listener for every node now serving; one whose node left ends
        by itself (see listen)."""
        if self.mode != NOTIFICATIONS or self.stopping.is_set():
            return
        try:
            nodes = self.nodes()
        except redis.RedisError:
            return
        for name, node in nodes.items():
            listener = self.listeners.get(name)
            if listener is None or not listener.is_alive():
                listener = threading.Thread(target=self.listen, args=(node, name),
                                            name=f"notifications {name}".rstrip(), daemon=True)
                self.listeners[name] = listener
                listener.start()

    def written(self, keys: list[str], values: list[bytes | None], now: float) -> list[float | None]:
        """When each present key was last written, as far as known; None for absent ones."""
        self.follow_nodes()
        if self.mode == VALUE_CHANGES:
            self.note_value_changes(keys, values, now)
        if keys is not self.floor_keys or self.floor_baseline != self.baseline:
            # Unknown before the later of the first sighting and the last (re)subscription.
            first_seen, baseline = self.first_seen, self.baseline
            for key in keys:
                if key not in first_seen:
                    first_seen[key] = now
            self.floors = [max(first_seen[key], baseline) for key in keys]
            self.floor_keys, self.floor_baseline = keys, baseline
        notified = self.notified.get
        return [None if value is None else (written if (written := notified(key, 0.0)) > floor else floor)
                for key, value, floor in zip(keys, values, self.floors)]

    def note_value_changes(self, keys: list[str], values: list[bytes | None], now: float) -> None:
        last_values, notified = self.last_values, self.notified
        for key, value in zip(keys, values):
            if value is not None and last_values.get(key) != value:
                if key in last_values:
                    notified[key] = now
                last_values[key] = value

    def forget(self, present: set[str]) -> None:
        """Drops keys that no longer exist, so the tables stay bounded."""
        for table in (self.first_seen, self.last_values, self.notified):
            # list() copies at once: the listener thread may add keys meanwhile.
            for key in [key for key in list(table) if key not in present]:
                table.pop(key, None)

    def listen(self, node: redis.Redis, name: str) -> None:
        db = node.connection_pool.connection_kwargs.get("db", 0)
        pattern = f"__keyspace@{db}__:{PATTERN}"
        prefix_length = len(pattern) - len(PATTERN)
        while not self.stopping.is_set() and (name == "" or self.serving(name)):
            pubsub = node.pubsub(ignore_subscribe_messages=True)
            try:
                # Again after every reconnect: a restarted server forgets it,
                # and the master a Sentinel names after a failover never had it.
                enable_notifications(node)
                pubsub.psubscribe(pattern)
                self.baseline = checked = time.time()
                while not self.stopping.is_set():
                    message = pubsub.get_message(timeout=POLL_SECONDS)
                    if message is not None and message["type"] == "pmessage":
                        self.notified[key_text(message["channel"][prefix_length:])] = time.time()
                    if time.time() - checked > CHECK_SECONDS:
                        # The client re-subscribes by itself after a short outage, so a
                        # restarted server (or an operator) may have turned them off unseen.
                        checked = time.time()
                        if enable_notifications(node):
                            self.baseline = checked
            except redis.ResponseError as error:
                self.mode = VALUE_CHANGES
                log.warning("Redis refused keyspace notifications (%s): judging freshness by changes of value; "
                            "a monitor that rewrites the same value may look silent", error)
                return
            except redis.RedisError as error:
                log.debug("notification listener: %s", error)
                self.stopping.wait(RETRY_SECONDS)
            finally:
                pubsub.close()

    def serving(self, name: str) -> bool:
        try:
            return name in self.nodes()
        except redis.RedisError:
            return True
