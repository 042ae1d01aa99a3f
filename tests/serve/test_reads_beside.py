"""A refresh reads its records side by side, the analysers' chunks read
ahead of the one being parsed: against a real redis-server, every record
must still land on its own pipe, and a read that fails must fail the
refresh only once no other read of it is still running."""

import json
import sys
import threading
import time
from pathlib import Path

import pytest
import redis

from avwatch_cli.serve import chunks, refresher as refresher_module
from avwatch_cli.serve.reader import RedisReader
from avwatch_cli.serve.refresher import Refresher
from serve.harness import OUTPUT, STREAM

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
from analysis_records import hls_record, ts_record  # noqa: E402

PIPES = 23   # eight chunks of three, the last one short


@pytest.fixture
def filled(own_redis, monkeypatch):
    monkeypatch.setattr(chunks, "CHUNK_KEYS", 3)
    monkeypatch.setattr(refresher_module, "SIDE_BY_SIDE_FROM", 0)   # read as a large plan is
    client = own_redis().client()
    for n in range(PIPES):
        client.set(f"ch:{n}", json.dumps({"live": True}))
        client.set(f"ch:{n}:in:main", json.dumps(dict(STREAM, bitrate=STREAM["bitrate"] + n)))
        client.set(f"ch:{n}:out:main", json.dumps(OUTPUT))
        client.set(f"ch:{n}:ts:main", ts_record(n, 0))
        client.set(f"ch:{n}:hls:main", hls_record(n, 0))
    refresher = Refresher(client, "redis://test", refresh_seconds=1.0, stale_after=30.0, forget_after=0.0)
    yield client, refresher
    refresher.stop()
    client.close()


def by_channel(snapshot):
    return {channel.channel: channel.pipes[0] for channel in snapshot.channels}


@pytest.mark.parametrize("rounds", [1, 3])
def test_every_record_lands_on_its_own_pipe(filled, rounds):
    client, refresher = filled
    for round_number in range(rounds):
        for n in range(PIPES):
            client.set(f"ch:{n}:ts:main", ts_record(n, round_number))
            client.set(f"ch:{n}:hls:main", hls_record(n, round_number))
        refresher.refresh()
    snapshot = refresher.snapshot
    assert snapshot.redis_up
    pipes = by_channel(snapshot)
    assert len(pipes) == PIPES
    last = rounds - 1
    for n in range(PIPES):
        pipe = pipes[str(n)]
        assert pipe.input.record["bitrate"] == STREAM["bitrate"] + n
        assert pipe.analysis["bitrate"] == json.loads(ts_record(n, last))["bitrate"]
        assert snapshot.hls[pipe.id]["media_sequence"] == json.loads(hls_record(n, last))["media_sequence"]


@pytest.mark.parametrize("failing", ["ch:17:ts:main", "ch:4:hls:main", "ch:9:in:main"])
def test_a_failed_read_fails_the_refresh_after_every_other_read_ended(filled, monkeypatch, failing):
    """Each kind of read failing: the analysers' chunks (one read ahead,
    one read apart) and the status records."""
    client, refresher = filled
    refresher.refresh()
    running = []
    lock = threading.Lock()
    values = RedisReader.values

    def slow_values(reader, keys):
        with lock:
            running.append(keys)
        try:
            if failing.encode() in keys:
                raise redis.ConnectionError("connection reset")
            # The input analyser's chunks read ahead still running as the error comes.
            time.sleep(0.2 if b":ts:" in keys[0] else 0.01)
            return values(reader, keys)
        finally:
            with lock:
                running.remove(keys)

    monkeypatch.setattr(RedisReader, "values", slow_values)
    refresher.refresh()
    assert running == []
    assert not refresher.snapshot.redis_up
    assert refresher.snapshot.redis_error == "connection reset"
    # The pipes stay in view, as after any outage, and the next refresh reads them all again.
    assert len(refresher.snapshot.channels) == PIPES
    monkeypatch.setattr(RedisReader, "values", values)
    refresher.refresh()
    assert refresher.snapshot.redis_up
    assert by_channel(refresher.snapshot)["17"].analysis["bitrate"] == json.loads(ts_record(17, 0))["bitrate"]
