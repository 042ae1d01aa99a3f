"""The refresher walks the key space again only when the notifications
tell that a key was created or deleted (or cannot tell), against a real
redis-server: every kind of change still shows at the next refresh."""

import json
import time

import pytest

from avwatch_cli.serve.freshness import NOTIFICATIONS
from avwatch_cli.serve.refresher import Refresher
from harness import wait_for

STREAM = {"acodec": "aac", "vcodec": "h264", "vresolution": "640x360", "vfps": 25, "vbitrate": 1_000_000,
          "abitrate": 128_000, "bitrate": 1_128_000}


@pytest.fixture
def watched(own_redis):
    """A refresher with its listener, over one live channel; its SCANs counted."""
    server = own_redis()
    client = server.client()
    client.set("ch:a", json.dumps({"live": True}))
    client.set("ch:a:in:main", json.dumps(STREAM))
    refresher = Refresher(client, "redis://test", refresh_seconds=0.2, stale_after=30.0, forget_after=300.0)
    scans = []
    key_names = refresher.reader.key_names
    refresher.reader.key_names = lambda: scans.append(time.time()) or key_names()
    refresher.write_times.start()
    refresher.refresh()
    wait_for(lambda: refresher.write_times.mode == NOTIFICATIONS)
    time.sleep(0.05)   # the subscription's baseline strictly before the next SCAN
    refresher.refresh()
    yield client, refresher, scans
    refresher.stopping.set()
    refresher.write_times.stop()


def status_keys(refresher):
    return sorted(refresher.plan.status_keys)


def settled(refresher, client):
    """Refreshes until the listener has told what the last write changed."""
    client.ping()
    time.sleep(0.3)
    refresher.refresh()


@pytest.mark.parametrize("change, after", [
    ("create", ["ch:a:in:main", "ch:b:in:main"]),
    ("delete", []),
    ("flush", []),
    ("expire", []),
    ("listener cut", ["ch:a:in:main"]),
])
def test_a_change_of_the_key_set_is_seen_and_rewrites_are_not_scanned(watched, change, after):
    client, refresher, scans = watched
    # The fixture's second refresh walks again unless the subscription
    # already vouched for the first walk (it may, on a slow machine).
    scanned = len(scans)
    assert scanned in (1, 2)
    for n in range(3):   # monitors rewriting their records: no walk of the key space
        client.set("ch:a:in:main", json.dumps(dict(STREAM, bitrate=n)))
        settled(refresher, client)
    assert len(scans) == scanned and status_keys(refresher) == ["ch:a:in:main"]
    if change == "create":
        client.set("ch:b:in:main", json.dumps(STREAM))
    elif change == "delete":
        client.delete("ch:a:in:main")
    elif change == "flush":   # tells no listener: the read finds the keys gone
        client.flushdb()
    elif change == "expire":   # told only where "x" is among the notifications, not so here
        client.pexpire("ch:a:in:main", 1)
    else:
        client.client_kill_filter(_type="pubsub")
        wait_for(lambda: refresher.write_times.mode == NOTIFICATIONS and refresher.write_times.baseline > scans[-1])
    settled(refresher, client)
    assert len(scans) > scanned
    assert status_keys(refresher) == after
