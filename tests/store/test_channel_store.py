"""The channel's keys and records in Redis, as a monitor reads and writes
them: exact key text, exact JSON text, and only get/set/delete."""

import collections
import json
import socket

import pytest
import redis
from redis.backoff import NoBackoff
from redis.retry import Retry

from store.harness import DEFAULT_RECORD, MonitorThread, RecordingBroker, put, run_monitor


@pytest.mark.parametrize("ch_uid, pipe_name, channel, source, status", [
    (7, "main", "ch:7", "ch:7:input:main", "ch:7:in:main"),
    ("7", "main", "ch:7", "ch:7:input:main", "ch:7:in:main"),
    (-12, 3, "ch:-12", "ch:-12:input:3", "ch:-12:in:3"),
    ("a:b", "x:y", "ch:a:b", "ch:a:b:input:x:y", "ch:a:b:in:x:y"),
    ("ké", "pïpe", "ch:ké", "ch:ké:input:pïpe", "ch:ké:in:pïpe"),
])
def test_keys_and_the_only_commands_sent(broker, probe, clock, ch_uid, pipe_name, channel, source, status):
    put(broker, channel, {"live": True})
    put(broker, source, {"uri": "/srv/in.ts"})
    probe.on_call = lambda n: put(broker, channel, {"live": False})
    recording = RecordingBroker(broker)

    monitor = run_monitor(ch_uid, pipe_name, recording, broker)

    assert monitor.error is None and monitor.returned and monitor.result is None
    assert recording.calls == [
        ("get", channel), ("get", source),
        ("set", status, json.dumps(DEFAULT_RECORD)),
        ("get", channel), ("delete", status),
    ]
    assert clock.sleeps == [3]


def test_stored_text_byte_for_byte(broker, probe, clock):
    put(broker, "ch:7", {"live": True})
    put(broker, "ch:7:input:main", {"uri": "/srv/in.ts"})
    # What an output monitor leaves there first: replaced whole, not merged.
    put(broker, "ch:7:in:main", {"acodec": "", "vcodec": "", "sequence": None, "name": "main"})
    probe.results = [{"acodec": "aac", "vcodec": "h264 é", "vresolution": "640x360", "vfps": 25,
                      "vbitrate": 1, "abitrate": 2, "bitrate": 3, "extra": None, "emoji": "😀",
                      "nested": {"a": [1, 2.5, True]}}]
    stored = []
    probe.on_call = lambda n: put(broker, "ch:7", {"live": False})
    clock.on_sleep = lambda n: stored.append(broker.get(b"ch:7:in:main"))

    run_monitor(7, "main", broker, broker)

    assert stored == [
        b'{"acodec": "aac", "vcodec": "h264 \\u00e9", "vresolution": "640x360", "vfps": 25, '
        b'"vbitrate": 1, "abitrate": 2, "bitrate": 3, "extra": null, "emoji": "\\ud83d\\ude00", '
        b'"nested": {"a": [1, 2.5, true]}}'
    ]
    assert broker.exists(b"ch:7:in:main") == 0


class PairsMapping(collections.abc.Mapping):
    """A mapping that is no dict, with its own order."""

    def __init__(self, pairs):
        self.pairs = pairs

    def __getitem__(self, key):
        return dict(self.pairs)[key]

    def __iter__(self):
        return iter(key for key, _ in self.pairs)

    def __len__(self):
        return len(self.pairs)


def reordered():
    record = collections.OrderedDict(DEFAULT_RECORD)
    record.move_to_end("acodec")
    return record


@pytest.mark.parametrize("result", [
    {"bitrate": 5},
    dict(DEFAULT_RECORD, name="main", lastts="x.ts"),
    reordered(),
    PairsMapping([("z", 1), ("a", "é")]),
], ids=["fewer-fields", "more-fields", "ordered-dict", "plain-mapping"])
def test_probe_result_published_field_for_field_in_its_order(broker, probe, clock, result):
    put(broker, "ch:7", {"live": True})
    put(broker, "ch:7:input:main", {"uri": "/srv/in.ts"})
    probe.results = [result]
    stored = []
    probe.on_call = lambda n: put(broker, "ch:7", {"live": False})
    clock.on_sleep = lambda n: stored.append(broker.get("ch:7:in:main"))

    run_monitor("7", "main", broker, broker)

    assert stored == [json.dumps(dict(result.items())).encode()]


SOURCE = {"uri": "srt://ïn.example:9000", "miface": "é0", "pid": "1", "vpid": 256, "apid": "257"}


@pytest.mark.parametrize("options, encode", [
    ({}, lambda text: text.encode("utf-8")),
    ({}, lambda text: text.encode("utf-16")),
    ({}, lambda text: text.encode("utf-32")),
    ({}, lambda text: text),
    ({"decode_responses": True}, lambda text: text),
], ids=["bytes-utf8", "bytes-utf16", "bytes-utf32", "str", "text-client"])
def test_bytes_and_text_clients_read_the_same(redis_server, broker, probe, clock, options, encode):
    put(broker, "ch:9", encode(json.dumps({"live": True, "note": "é"}, ensure_ascii=False)))
    put(broker, "ch:9:input:main", encode(json.dumps(SOURCE, ensure_ascii=False)))
    probe.results = [{"acodec": "é"}]
    probe.on_call = lambda n: put(broker, "ch:9", {"live": False})
    stored = []
    clock.on_sleep = lambda n: stored.append(broker.get("ch:9:in:main"))
    client = redis_server.client(**options)
    try:
        monitor = run_monitor(9, "main", client, broker)
    finally:
        client.close()

    assert monitor.error is None and monitor.returned
    assert probe.calls == [("srt://ïn.example:9000", "1", "256", "257")]
    assert stored == [b'{"acodec": "\\u00e9"}']


def test_status_key_written_with_no_expiry(broker, probe, clock):
    put(broker, "ch:7", {"live": True})
    put(broker, "ch:7:input:main", {"uri": "/srv/in.ts"})
    ttls = []
    clock.on_sleep = lambda n: (ttls.append(broker.ttl("ch:7:in:main")), put(broker, "ch:7", {"live": False}))

    monitor = MonitorThread(7, "main", broker, broker).start().join()

    assert monitor.returned and ttls == [-1, -1]
    assert sorted(broker.keys("*")) == [b"ch:7", b"ch:7:input:main"]


def test_client_failure_surfaces_as_the_clients_error(redis_server, probe, clock):
    with socket.socket() as unused:  # a port nobody listens on
        unused.bind(("127.0.0.1", 0))
        port = unused.getsockname()[1]
    client = redis.StrictRedis(host="127.0.0.1", port=port, retry=Retry(NoBackoff(), 0))
    monitor = run_monitor(7, "main", client, redis_server.client())
    assert isinstance(monitor.error, redis.ConnectionError)


def test_records_go_through_the_modules_json(broker, probe, clock, monkeypatch):
    """Replacing avwatch.json reaches every read and write, at its next use."""
    import avwatch
    seen = []

    class LoggingJson:
        def loads(self, value):
            seen.append(("loads", value))
            return json.loads(value)

        def dumps(self, record, **options):
            assert type(record) is dict and record is not probe.results[0]  # a fresh copy
            seen.append(("dumps", record, options))
            return "custom text"
    put(broker, "ch:7", {"live": True})
    put(broker, "ch:7:input:main", {"uri": "/srv/in.ts"})
    probe.on_call = lambda n: put(broker, "ch:7", {"live": False})
    stored = []
    clock.on_sleep = lambda n: stored.append(broker.get("ch:7:in:main"))
    monkeypatch.setattr(avwatch, "json", LoggingJson())

    run_monitor(7, "main", broker, broker)

    assert seen == [("loads", b'{"live": true}'), ("loads", b'{"uri": "/srv/in.ts"}'),
                    ("dumps", DEFAULT_RECORD, {}), ("loads", b'{"live": false}')]
    assert stored == [b"custom text"]
