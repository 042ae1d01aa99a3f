"""ffmpeg_input_bitrate with a real Redis and a fake probe: the loop, the
probe's arguments, and how it stops or fails."""

import json

import pytest

import avwatch
from store.harness import DEFAULT_RECORD, MonitorThread, RecordingBroker, put, run_monitor

CHANNEL, SOURCE, STATUS = "ch:7", "ch:7:input:main", "ch:7:in:main"


def start(broker, source, live=True):
    put(broker, CHANNEL, {"live": live})
    if source is not None:
        put(broker, SOURCE, source)


def stop_on_probe(broker):
    return lambda n: put(broker, CHANNEL, {"live": False})


@pytest.mark.parametrize("live", [False, 0, 0.0, "", [], {}, None])
def test_not_live_at_start_only_deletes_the_status_key(broker, probe, clock, live):
    start(broker, {"uri": "/srv/in.ts"}, live=live)
    put(broker, STATUS, "previous")
    recording = RecordingBroker(broker)

    monitor = run_monitor(7, "main", recording, broker)

    assert monitor.returned and monitor.result is None
    assert recording.calls == [("get", CHANNEL), ("delete", STATUS)]
    assert probe.calls == [] and clock.sleeps == [] and broker.exists(STATUS) == 0


@pytest.mark.parametrize("live", [True, 1, -0.5, "no", [0], {"a": 0}])
def test_any_true_live_value_keeps_it_running(broker, probe, clock, live):
    start(broker, {"uri": "/srv/in.ts"}, live=live)
    probe.on_call = stop_on_probe(broker)

    monitor = run_monitor(7, "main", broker, broker)

    assert monitor.returned and len(probe.calls) == 1 and clock.sleeps == [3]


@pytest.mark.parametrize("source, expected", [
    ({"uri": "udp://239.1.1.1:5000", "miface": "10.0.0.5", "pid": 1, "vpid": 256, "apid": 257},
     ("udp://239.1.1.1:5000?localaddr=10.0.0.5", "1", "256", "257")),
    ({"uri": "udp://239.1.1.1:5000", "pid": "0", "vpid": 0, "apid": None},
     ("udp://239.1.1.1:5000?localaddr=", "0", "", "")),
    ({"uri": "udp://239.1.1.1:5000", "miface": "", "pid": 0, "vpid": "256", "apid": ""},
     ("udp://239.1.1.1:5000?localaddr=", "", "256", "")),
    ({"uri": "udp://@:5000?fifo_size=100", "miface": "lo", "pid": 2.5, "vpid": 4096, "apid": "0x101"},
     ("udp://@:5000?fifo_size=100?localaddr=lo", "2.5", "4096", "0x101")),
    ({"uri": "udpx", "miface": 5}, ("udpx?localaddr=5", "", "", "")),
    ({"uri": "UDP://239.1.1.1:5000", "miface": "10.0.0.5", "pid": 1}, ("UDP://239.1.1.1:5000", "1", "", "")),
    ({"uri": "srt://in:9000", "miface": "10.0.0.5", "vpid": 256}, ("srt://in:9000", "", "256", "")),
    ({"uri": " udp://x", "miface": "lo"}, (" udp://x", "", "", "")),
    ({"uri": "/srv/in.ts", "miface": None, "apid": 257, "other": 1}, ("/srv/in.ts", "", "", "257")),
], ids=["udp-full", "udp-no-iface", "udp-empty-iface", "udp-query", "udp-prefix", "upper-UDP", "srt",
        "leading-blank", "file"])
def test_probe_arguments(broker, probe, clock, source, expected):
    start(broker, source)
    probe.on_call = stop_on_probe(broker)

    monitor = run_monitor(7, "main", broker, broker)

    assert monitor.returned and probe.calls == [expected]
    assert all(type(arg) is str for arg in probe.calls[0])


@pytest.mark.parametrize("uri", ["absent", None, "", 0, [], False])
def test_waiting_pass_without_uri(broker, probe, clock, uri):
    """No probe and no write; each pass reads the source afresh, so a URI
    that appears is probed at the next pass."""
    start(broker, {} if uri == "absent" else {"uri": uri, "miface": "lo"})
    put(broker, STATUS, "previous")

    def on_sleep(n):
        if n <= 3:
            assert broker.get(STATUS) == b"previous"
        if n == 3:
            put(broker, SOURCE, {"uri": "/srv/in.ts"})
    clock.on_sleep = on_sleep
    probe.on_call = stop_on_probe(broker)
    recording = RecordingBroker(broker)

    monitor = run_monitor(7, "main", recording, broker)

    assert monitor.error is None and monitor.returned and clock.sleeps == [3, 3, 3, 3]
    assert probe.calls == [("/srv/in.ts", "", "", "")]
    waiting_pass = [("get", SOURCE), ("get", CHANNEL)]
    assert recording.calls[:7] == [("get", CHANNEL), *waiting_pass * 3]
    assert [call[0] for call in recording.calls[7:]] == ["get", "set", "get", "delete"]


def test_stop_while_waiting_is_seen_within_one_period(broker, probe, clock):
    start(broker, {"uri": None})
    clock.on_sleep = lambda n: put(broker, CHANNEL, {"live": False}) if n == 1 else None

    monitor = run_monitor(7, "main", broker, broker)

    assert monitor.returned and monitor.result is None
    assert clock.sleeps == [3, 3] and probe.calls == []


def test_every_full_pass_publishes_and_a_pass_under_way_finishes(broker, probe, clock):
    first = dict(DEFAULT_RECORD, vcodec="h264")
    second = dict(DEFAULT_RECORD, vcodec="hevc")
    start(broker, {"uri": "/srv/a.ts"})
    probe.results = [first, first, second]
    stored = []

    def on_sleep(n):
        stored.append(json.loads(broker.get(STATUS)))
        if n == 2:
            put(broker, SOURCE, {"uri": "udp://h:1", "pid": 3})
    clock.on_sleep = on_sleep
    # "live" turns false while the third probe runs: that pass still publishes.
    probe.on_call = lambda n: put(broker, CHANNEL, {"live": False}) if n == 3 else None

    monitor = run_monitor(7, "main", broker, broker)

    assert monitor.returned
    assert probe.calls == [("/srv/a.ts", "", "", "")] * 2 + [("udp://h:1?localaddr=", "3", "", "")]
    assert stored == [first, first, second]
    assert [list(record) for record in stored] == [list(DEFAULT_RECORD)] * 3
    assert clock.sleeps == [3, 3, 3] and broker.exists(STATUS) == 0


class Opaque:
    pass


def not_a_mapping(value, name):
    return {"probe": value, "error": TypeError, "message": f"'{name}' object is not a mapping"}


ERROR_CASES = {
    "channel-missing": {"channel": None, "error": TypeError},
    "channel-not-json": {"channel": b"{live: true}", "error": json.JSONDecodeError},
    "channel-without-live": {"channel": {"alive": True}, "error": KeyError},
    "channel-array": {"channel": [True], "error": TypeError},
    "channel-null": {"channel": "null", "error": TypeError},
    "source-missing": {"source": None, "error": TypeError},
    "source-not-json": {"source": b"\xff\xfe\x00", "error": ValueError},
    "source-null": {"source": "null", "error": AttributeError},
    "source-array": {"source": ["uri"], "error": AttributeError},
    "uri-number": {"source": {"uri": 5}, "error": AttributeError},
    "uri-array": {"source": {"uri": ["udp"]}, "error": AttributeError},
    "result-list": not_a_mapping([("acodec", "aac")], "list"),
    "result-none": not_a_mapping(None, "NoneType"),
    "result-str": not_a_mapping("acodec", "str"),
    "result-object": not_a_mapping(Opaque(), "Opaque"),
    "probe-raises": {"probe": ValueError("invalid literal for int() with base 10: ''"), "error": ValueError,
                     "message": "invalid literal for int() with base 10: ''"},
}


@pytest.mark.parametrize("case", ERROR_CASES.values(), ids=ERROR_CASES.keys())
def test_errors_propagate_and_leave_the_status_key(broker, probe, clock, case):
    channel = case.get("channel", {"live": True})
    source = case.get("source", {"uri": "/srv/in.ts"})
    if channel is not None:
        put(broker, CHANNEL, channel)
    if source is not None:
        put(broker, SOURCE, source)
    put(broker, STATUS, "previous")
    if "probe" in case:
        probe.results = [case["probe"]]

    monitor = run_monitor(7, "main", broker, broker)

    assert not monitor.returned and isinstance(monitor.error, case["error"])
    if "message" in case:
        assert str(monitor.error) == case["message"]
    assert broker.get(STATUS) == b"previous"


@pytest.mark.parametrize("change, error", [
    (lambda broker: broker.delete(SOURCE), TypeError),
    (lambda broker: put(broker, CHANNEL, {"stopped": True}), KeyError),
    (lambda broker: put(broker, SOURCE, {"uri": 7}), AttributeError),
])
def test_error_after_a_pass_keeps_the_last_record(broker, probe, clock, change, error):
    start(broker, {"uri": "/srv/in.ts"})
    probe.results = [dict(DEFAULT_RECORD, acodec="aac")]
    clock.on_sleep = lambda n: change(broker)

    monitor = run_monitor(7, "main", broker, broker)

    assert type(monitor.error) is error
    assert json.loads(broker.get(STATUS)) == dict(DEFAULT_RECORD, acodec="aac")


def test_interrupt_during_the_pause_ends_it(broker, probe, clock):
    start(broker, {"uri": None})
    put(broker, STATUS, "previous")

    def on_sleep(n):
        raise KeyboardInterrupt
    clock.on_sleep = on_sleep

    monitor = run_monitor(7, "main", broker, broker)

    assert type(monitor.error) is KeyboardInterrupt and broker.get(STATUS) == b"previous"


def test_real_period_with_monitors_side_by_side(broker, probe):
    """The real time.sleep(3): two monitors in threads of one process pause
    side by side, and each sees its own channel stop."""
    for ch_uid in (1, 2):
        put(broker, f"ch:{ch_uid}", {"live": True})
        put(broker, f"ch:{ch_uid}:input:main", {"uri": f"/srv/{ch_uid}.ts"})
    # Each channel stops during its first probe: one pass, one real pause.
    probe.on_call = lambda n: put(broker, f"ch:{probe.calls[-1][0][5]}", {"live": False})
    monitors = [MonitorThread(ch_uid, "main", broker, broker).start() for ch_uid in (1, 2)]
    for monitor in monitors:
        monitor.join()

    assert all(monitor.returned for monitor in monitors)
    assert sorted(probe.calls) == [("/srv/1.ts", "", "", ""), ("/srv/2.ts", "", "", "")]
    assert broker.keys("ch:*:in:*") == []


def test_module_globals_are_looked_up_at_each_use(broker, probe, clock, monkeypatch):
    start(broker, {"uri": "/srv/in.ts"})
    later = []

    stored = []

    def swapped_probe(*args):
        later.append(args)
        put(broker, CHANNEL, {"live": False})
        return {"swapped": 1}

    def on_sleep(n):
        stored.append(broker.get(STATUS))
        monkeypatch.setattr(avwatch, "get_ffprobe_info", swapped_probe)
    clock.on_sleep = on_sleep

    run_monitor(7, "main", broker, broker)

    assert len(probe.calls) == 1 and later == [("/srv/in.ts", "", "", "")]
    assert stored == [json.dumps(DEFAULT_RECORD).encode(), b'{"swapped": 1}']
