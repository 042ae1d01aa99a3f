"""`avwatch serve` when Redis is hard to work with: busy with a script while
serve sets up its notifications, CONFIG renamed away, a wrong password or no
server at all at start.  A real redis-server and the real command."""

import json
import threading
import time

import pytest
import redis
from redis.backoff import NoBackoff
from redis.retry import Retry

from machine import free_port
from serve.harness import STREAM, wait_for

STALE_AFTER = 3.0
PASSWORD = "s3cret-pw"


class SameValueWriter:
    """A healthy monitor that keeps writing an identical record: only the
    writes themselves (notifications) keep it from going silent."""

    def __init__(self, client: redis.Redis, key: str, interval: float = 0.4):
        self.client, self.key, self.interval = client, key, interval
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self) -> None:
        value = json.dumps(STREAM)
        while not self.stopping.is_set():
            try:
                self.client.set(self.key, value)
            except redis.RedisError:
                pass   # busy: the monitor's next write comes anyway
            self.stopping.wait(self.interval)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *_):
        self.stopping.set()
        self.thread.join(5)


def hold_busy(client: redis.Redis) -> threading.Thread:
    """A script that loops until SCRIPT KILL; returns once Redis answers BUSY."""
    def run():
        try:
            client.eval("while true do end", 0)
        except redis.RedisError:
            pass   # killed
    script = threading.Thread(target=run, daemon=True)
    script.start()
    return script


def is_busy(client: redis.Redis) -> bool:
    try:
        client.ping()
        return False
    except redis.exceptions.BusyLoadingError:
        raise
    except redis.ResponseError as error:
        return str(error).startswith("BUSY")


def stays_ok(serve, seconds: float) -> list[str]:
    """The states the input was seen in over `seconds`."""
    seen = []
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        seen.append(serve.side("1", "main", "input")["state"])
        time.sleep(0.3)
    return seen


@pytest.mark.parametrize("setting", ["busy during the set-up", "CONFIG renamed, notifications in redis.conf"])
def test_identical_rewrites_stay_fresh_and_the_mode_is_told_truly(own_redis, start_serve, setting):
    if setting == "busy during the set-up":
        server = own_redis("--busy-reply-threshold", "100")
    else:
        server = own_redis(config='notify-keyspace-events "K$g"\nrename-command CONFIG ""\n')
    client = server.client(socket_timeout=10)
    client.set("ch:1", json.dumps({"live": True}))
    client.set("ch:1:in:main", json.dumps(STREAM))
    url = f"redis://127.0.0.1:{server.port}/0"
    if setting == "busy during the set-up":
        script = hold_busy(server.client(socket_timeout=None))
        wait_for(lambda: is_busy(client))
        serve = start_serve(url, "--refresh", "0.3", "--stale-after", str(STALE_AFTER))
        time.sleep(1.5)   # its set-up meets BUSY, at least once
        assert serve.status()["freshness_mode"] != "notifications"
        client.script_kill()
        script.join(10)
    else:
        serve = start_serve(url, "--refresh", "0.3", "--stale-after", str(STALE_AFTER))
    with SameValueWriter(server.client(), "ch:1:in:main"):
        wait_for(lambda: serve.status()["freshness_mode"] == "notifications", timeout=20)
        serve.wait_for_state("1", "main", "input", "ok")
        # Three times --stale-after of identical writes: never silent.
        seen = stays_ok(serve, 3 * STALE_AFTER)
    assert set(seen) == {"ok"}, seen
    _, _, output = serve.stop()
    if setting == "busy during the set-up":
        assert "BUSY" in output
    else:
        assert "refused CONFIG" in output


@pytest.mark.parametrize("trouble, cause", [("wrong password", "password"), ("no server", "refused")])
def test_trouble_at_start_is_logged_and_no_notifications_claimed(own_redis, start_serve, trouble, cause):
    if trouble == "wrong password":
        server = own_redis(config=f"requirepass {PASSWORD}\n", password=PASSWORD)
        url = f"redis://:not-{PASSWORD}@127.0.0.1:{server.port}/0"
    else:
        url = f"redis://127.0.0.1:{free_port()}/0"
    serve = start_serve(url, "--refresh", "0.3")
    status = wait_for(lambda: (found := serve.status())["redis"]["error"] != "not read yet" and found)
    # Long enough for the listener to have tried, and failed, several times.
    time.sleep(2)
    status = serve.status()
    assert status["redis"]["up"] is False and cause in status["redis"]["error"].lower()
    assert status["freshness_mode"] == "value_changes"
    assert serve.metrics()[("avwatch_freshness_mode", (("mode", "notifications"),))] == 0
    _, _, output = serve.stop()
    warnings = [line for line in output.splitlines() if "WARNING" in line]
    assert any("Redis unreachable" in line and cause in line.lower() for line in warnings), output
    assert any("keyspace notifications" in line for line in warnings), output
    assert PASSWORD not in output and f"not-{PASSWORD}" not in output


@pytest.mark.parametrize("replies, expected", [
    (b"*3\r\n$10\r\npsubscribe\r\n$19\r\n__keyspace@0__:ch:*\r\n:1\r\n", (False, True)),
    (b"*4\r\n$8\r\npmessage\r\n$19\r\n__keyspace@0__:ch:*\r\n$21\r\n__keyspace@0__:ch:1:x\r\n$3\r\nset\r\n",
     (True, False)),
    (b"-BUSY Redis is busy running a script.\r\n", redis.ResponseError),
])
def test_the_listener_believes_only_a_confirmed_subscription(replies, expected):
    """A server busy with a script refuses PSUBSCRIBE: the listener must not
    count itself subscribed (and claim notifications) on that answer."""
    import hiredis

    from avwatch_cli.serve.freshness import WriteTimes

    times = WriteTimes.__new__(WriteTimes)
    times.notified, times.known = {}, frozenset()
    reader = hiredis.Reader()
    reader.feed(replies)
    if isinstance(expected, type):
        with pytest.raises(expected, match="BUSY"):
            times.note(reader, 1.0)
    else:
        assert times.note(reader, 1.0) == expected


def test_one_serve_per_database_shards_the_channels(own_redis, start_serve):
    """The documented way to spread many pipes over processes: channels in
    several databases of one Redis, one serve each.  Each sees its own
    channels only, and hears its own database's writes."""
    server = own_redis()
    for db, channel in ((0, "a"), (1, "b")):
        client = server.client(db=db)
        client.set(f"ch:{channel}", json.dumps({"live": True}))
        client.set(f"ch:{channel}:in:main", json.dumps(STREAM))
    serves = {db: start_serve(f"redis://127.0.0.1:{server.port}/{db}", "--refresh", "0.3",
                              "--stale-after", str(STALE_AFTER)) for db in (0, 1)}
    for db, channel in ((0, "a"), (1, "b")):
        serves[db].wait_for_state(channel, "main", "input", "ok")
        assert [found["channel"] for found in serves[db].status()["channels"]] == [channel]
        wait_for(lambda: serves[db].status()["freshness_mode"] == "notifications")
    with SameValueWriter(server.client(db=1), "ch:b:in:main"):
        seen = [serves[1].side("b", "main", "input")["state"] for _ in range(int(3 * STALE_AFTER / 0.3))
                if not time.sleep(0.3)]
    assert set(seen) == {"ok"}, seen
    assert serves[0].side("a", "main", "input")["state"] == "silent"


def test_the_listener_outlives_many_reconnects(own_redis, monkeypatch):
    """Each reconnect used to take a connection from the client's pool that
    was never given back: after a hundred the listener died, and freshness
    stayed on value changes for good."""
    from avwatch_cli.serve import freshness

    monkeypatch.setattr(freshness, "RETRY_SECONDS", 0.005)
    server = own_redis()
    # No retries inside a connect: each attempt fails at once.
    times = freshness.WriteTimes(server.client(retry=Retry(NoBackoff(), 0)), time.time())
    server.stop()
    times.start()
    try:
        time.sleep(2)   # some 400 refused attempts
        assert all(listener.is_alive() for listener in times.listeners.values())
        server.start()
        wait_for(lambda: times.mode == freshness.NOTIFICATIONS, timeout=20)
    finally:
        times.stopping.set()
        times.stop()
