"""When each record was last written.

A healthy monitor may write the same value twice, so the write itself is
what counts: Redis keyspace notifications report every SET and DEL of a
"ch:" key, and a listener thread per server notes the time each arrives.  A
change of value seen by the refresher counts as a write too, always: it is
all there is where notifications are off and CONFIG is refused (managed
services), and it covers notifications lost while the listener reconnects.

The mode shown is "notifications" only while every listener is subscribed
and the server's set-up is known to send SET notifications: CONFIG said so
(or turned them on), or one arrived.  The set-up is checked again after
every reconnect and every CHECK_SECONDS, whatever CONFIG answered before
(a busy server refuses it for a while, an operator may turn them off).

At 100,000 pipes monitors write some 100,000 records a second, so the
listener reads its socket in large slices and parses them with hiredis,
stamping each slice with one time; anything slower lets Redis's pub/sub
output buffer fill and the server drops the subscriber.

The same notifications tell the refresher when its key names may be out
of date: a key created that the last SCAN did not return, or a key gone.
While none came (and every listener has been subscribed since the SCAN
began), the refresher reads the names it has instead of walking the whole
key space again, but never for longer than RESCAN_SECONDS.

On the same connections the listeners hear the input analysers' alarm
(NO_DATA_ALARM: an input has just stopped), on which the refresher judges
at once instead of at its next period.

A key written before serve started, or while the listener was cut off, has
no known write time: its age counts from the moment the listener last
subscribed or the refresher first saw the key, whichever is later.  So a
record left behind by a dead monitor turns silent `--stale-after` seconds
after serve starts."""

from __future__ import annotations

import logging
import socket
import threading
import time
from typing import Callable

import hiredis
import redis

from avwatch_cli.analyze.record import NO_DATA_ALARM
from avwatch_cli.serve import native
from avwatch_cli.serve.nodes import Client, nodes_of
from avwatch_cli.serve.reader import PATTERN, key_bytes

log = logging.getLogger("avwatch.serve")

NOTIFICATIONS = "notifications"
VALUE_CHANGES = "value_changes"
# K: keyspace channel; $: string commands (SET); g: generic ones (DEL, RENAME, EXPIRE).
NEEDED_FLAGS = "K$g"
RETRY_SECONDS = 1.0
POLL_SECONDS = 0.25
CHECK_SECONDS = 5.0
READ_BYTES = 1 << 20
# The longest the refresher goes on the key names of one SCAN, notifications or not.
RESCAN_SECONDS = 30.0
# Events after which the key is gone: its write time is forgotten.
GONE = frozenset((b"del", b"expired", b"evicted", b"rename_from", b"move_from"))


def missing_flags(current: str) -> str:
    """The flags to add to notify-keyspace-events for SET and DEL to be
    reported on the keyspace channel ("A" stands for "$g" and more)."""
    return "".join(flag for flag in NEEDED_FLAGS
                   if flag not in current and not (flag in "$g" and "A" in current))


def enable_notifications(client: redis.Redis) -> bool:
    """Adds what is missing, keeping what is on: True when something was
    missing.  ResponseError when refused (CONFIG renamed or denied, or the
    server busy with a script)."""
    reply = client.config_get("notify-keyspace-events")
    value = next(iter(reply.values()), "") if reply else ""
    current = value.decode() if isinstance(value, bytes) else str(value or "")
    missing = missing_flags(current)
    if missing:
        client.config_set("notify-keyspace-events", current + missing)
        log.info("keyspace notifications were %r; set to %r to see every write of the records",
                 current, current + missing)
    return bool(missing)


def note_writes(values: list[bytes | None], last_values: list[bytes | None], changed_at: list[float],
                channels: list[bytes], notified: dict[bytes, float], floors: list[float],
                now: float) -> list[float | None]:
    """Each value's write time, the latest of: its notification, its last
    change of value seen, its floor; None for an absent key.  A value that
    differs from the last one seen counts as written now (the first seen
    does not: it may be old).  Updates last_values and changed_at in place;
    native.note_writes takes the same steps in C."""
    written: list[float | None] = []
    notified_at = notified.get
    for at, value in enumerate(values):
        if value is None:
            written.append(None)
            continue
        last = last_values[at]
        if last != value:
            if last is not None:
                changed_at[at] = now
            last_values[at] = value
        written.append(max(notified_at(channels[at], 0.0), changed_at[at], floors[at]))
    return written


def own_connection(node: redis.Redis) -> redis.connection.AbstractConnection:
    """A connection of the node's settings outside its pool: the pool
    counts every connection it makes against its limit (100) and never
    forgets one, so reconnecting through it would end the listener after
    a hundred outages."""
    pool = node.connection_pool
    return pool.connection_class(**pool.connection_kwargs)


class WriteTimes:
    """Last write time of each key, from notifications and value changes."""

    name_at = len(b"__keyspace@0__:")   # set per database in __init__
    # The channels of the keys whose write times are kept (the status
    # records'): the analysers' records, rewritten as often, are only
    # looked at for whether the SCAN knows them.
    timed: frozenset[bytes] = frozenset()

    def __init__(self, client: Client, now: float, scrub=str):
        # The servers to listen to, by name: notifications are node-local,
        # so a Cluster has one listener per master.
        self.nodes = nodes_of(client)
        db = getattr(client, "connection_pool", None)
        db = db.connection_kwargs.get("db", 0) if db is not None else 0
        self.channel_prefix = f"__keyspace@{db}__:".encode()
        self.name_at = len(self.channel_prefix)   # where a keyspace channel's key name begins
        self.scrub = scrub
        self.listeners: dict[str, threading.Thread] = {}
        self.working: dict[str, bool] = {}      # by node: subscribed, and SET notifications known to come
        self.baseline = now
        self.notified: dict[bytes, float] = {}  # by keyspace channel; written by the listeners
        self.first_seen: dict[str, float] = {}  # the rest by the refresher only
        # The last key list asked about, and per key (in its order) its
        # channel name, earliest write time, last value seen (None before
        # the first) and when that value last changed (0.0 before a change).
        self.keys: list[str] | None = None
        self.channels: list[bytes] = []
        self.floors: list[float] = []
        self.last_values: list[bytes | None] = []
        self.changed_at: list[float] = []
        self.floor_baseline = now
        # The keyspace channels of the key names last scanned, and whether a
        # notification since the last SCAN began told of a key created or gone.
        self.known: frozenset[bytes] = frozenset()   # the key names (the SCAN's own bytes, not copies)
        self.key_set_changed = True
        self.refusal_logged = False
        self.stopping = threading.Event()
        self.note_values = native.note_writes or note_writes
        # Called from a listener when an analyser says its input just
        # stopped: the refresher then judges at once (see Refresher.run).
        self.on_alarm: Callable[[], None] | None = None

    @property
    def mode(self) -> str:
        working = list(self.working.values())
        return NOTIFICATIONS if working and all(working) else VALUE_CHANGES

    def start(self) -> None:
        self.follow_nodes()

    def stop(self) -> None:
        self.stopping.set()
        deadline = time.monotonic() + POLL_SECONDS
        for listener in list(self.listeners.values()):   # daemon threads: a slow one is left to the exit
            listener.join(max(0.0, deadline - time.monotonic()))

    def follow_nodes(self) -> None:
        """A listener for every node now serving; one whose node left ends
        by itself (see listen)."""
        if self.stopping.is_set():
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
        if keys is not self.keys:
            self.follow_keys(keys, now)
        if self.floor_baseline != self.baseline:
            baseline = self.floor_baseline = self.baseline
            self.floors = [max(self.first_seen[key], baseline) for key in keys]
        return self.note_values(values, self.last_values, self.changed_at, self.channels, self.notified,
                                self.floors, now)

    def scanning(self) -> None:
        """A SCAN begins: what notifications say from now on is news to it."""
        self.key_set_changed = False

    def know(self, names: list[bytes]) -> None:
        """The key names a SCAN found, when they differ from the last."""
        self.known = frozenset(names)

    def names_current(self, scanned_at: float, now: float, any_age: bool = False) -> bool:
        """Whether the key names of the SCAN that began at `scanned_at` are
        all there is, as far as the notifications tell: none told of a key
        created or gone since, and every listener was subscribed all along;
        and, unless `any_age`, that SCAN is younger than RESCAN_SECONDS."""
        return (not self.key_set_changed and self.mode == NOTIFICATIONS and self.baseline <= scanned_at
                and (any_age or 0.0 <= now - scanned_at < RESCAN_SECONDS))

    def follow_keys(self, keys: list[str], now: float) -> None:
        """A new key list: the tables keep only its keys, so they stay bounded."""
        at = {} if self.keys is None else {key: index for index, key in enumerate(self.keys)}
        last_values, changed_at = self.last_values, self.changed_at
        self.last_values = [last_values[at[key]] if key in at else None for key in keys]
        self.changed_at = [changed_at[at[key]] if key in at else 0.0 for key in keys]
        self.keys = keys
        prefix = self.channel_prefix
        self.channels = [prefix + key_bytes(key) for key in keys]
        present = set(keys)
        for key in [key for key in self.first_seen if key not in present]:
            del self.first_seen[key]
        channels = self.timed = frozenset(self.channels)
        # list() copies at once: the listeners may add keys meanwhile.
        for channel in [channel for channel in list(self.notified) if channel not in channels]:
            self.notified.pop(channel, None)
        first_seen = self.first_seen
        for key in keys:
            first_seen.setdefault(key, now)
        self.floor_baseline = baseline = self.baseline
        self.floors = [max(first_seen[key], baseline) for key in keys]

    def listen(self, node: redis.Redis, name: str) -> None:
        pattern = self.channel_prefix + PATTERN.encode()
        trouble = None
        while not self.stopping.is_set() and (name == "" or self.serving(name)):
            connection = own_connection(node)
            try:
                connection.connect()
                known = self.set_up(node)
                connection.send_command("PSUBSCRIBE", pattern)
                connection.send_command("SUBSCRIBE", NO_DATA_ALARM)
                # Working only once the server confirms the subscription: a
                # server busy with a script answers PSUBSCRIBE with BUSY.
                subscribed = False
                checked = time.time()
                sock = connection._sock
                if sock is None:
                    raise redis.ConnectionError("the connection closed while subscribing")
                sock.settimeout(POLL_SECONDS)
                reader = hiredis.Reader()
                while not self.stopping.is_set():
                    try:
                        data = sock.recv(READ_BYTES)
                    except (socket.timeout, TimeoutError):
                        data = None
                    if data == b"":
                        raise redis.ConnectionError("the server closed the connection")
                    if data:
                        reader.feed(data)
                        saw_set, confirmed = self.note(reader, time.time())
                        if confirmed and not subscribed:
                            subscribed = True
                            self.baseline = time.time()
                            self.working[name] = known
                            if trouble is not None:
                                log.warning("keyspace notifications of %s: listening again", name or "Redis")
                                trouble = None
                        if saw_set:
                            self.working[name] = True   # SET notifications come, whatever CONFIG said
                    if time.time() - checked > CHECK_SECONDS:
                        # Redis may have forgotten them (a restart the client did not
                        # notice, an operator), or now answers CONFIG after refusing it.
                        checked = time.time()
                        if self.set_up(node) and subscribed and not self.working[name]:
                            self.working[name] = True
            except (redis.RedisError, OSError) as error:
                cause = self.scrub(str(error)) or type(error).__name__
                if trouble != cause:
                    log.warning("keyspace notifications of %s: %s; judging freshness by changes of value "
                                "until they are back", name or "Redis", cause)
                    trouble = cause
                self.working[name] = False
                self.stopping.wait(RETRY_SECONDS)
            finally:
                connection.disconnect()
        self.working.pop(name, None)

    def note(self, reader: hiredis.Reader, now: float) -> tuple[bool, bool]:
        """Notes every message the reader holds: whether one was a SET, and
        whether one confirmed the subscription.  An error reply (the
        subscription refused) raises ResponseError."""
        notified, gone, saw_set, confirmed = self.notified, GONE, False, False
        known, timed, key_set_changed = self.known, self.timed, False
        name_at = self.name_at
        while (reply := reader.gets()) is not False:
            if isinstance(reply, Exception):
                raise redis.ResponseError(str(reply))
            if isinstance(reply, list) and len(reply) == 3:
                if reply[0] == b"psubscribe":
                    confirmed = True
                elif reply[0] == b"message" and self.on_alarm is not None:
                    self.on_alarm()   # an analyser's: its input just stopped
                continue
            # A list (RESP2) or its subclass PushNotification (RESP3, which recent clients speak).
            if isinstance(reply, list) and len(reply) == 4 and reply[0] == b"pmessage":
                event, channel = reply[3], reply[2]
                if event in gone:
                    notified.pop(channel, None)
                    key_set_changed = True
                elif channel in timed:
                    notified[channel] = now
                elif channel[name_at:] not in known:
                    key_set_changed = True
                if event == b"set":
                    saw_set = True
        if key_set_changed:
            self.key_set_changed = True
        return saw_set, confirmed

    def set_up(self, node: redis.Redis) -> bool:
        """Turns the notifications on where they are not: True when they are
        known to be on.  A refusal is no failure: they may be on in
        redis.conf, and the listener listens anyway."""
        try:
            if enable_notifications(node):
                self.baseline = time.time()
            return True
        except redis.ResponseError as error:
            if not self.refusal_logged:
                self.refusal_logged = True
                log.warning("Redis refused CONFIG for keyspace notifications (%s): listening anyway; until one "
                            "arrives, a record counts as written when its value changes", self.scrub(str(error)))
            return False

    def serving(self, name: str) -> bool:
        try:
            return name in self.nodes()
        except redis.RedisError:
            return True
