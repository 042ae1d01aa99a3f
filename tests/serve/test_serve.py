"""`avwatch serve` end to end: a real redis-server, the real command, its
HTTP answers, its log and its faults."""

import json
import os
import signal
import socket
import subprocess
import time

import pytest
import redis

from machine import free_port
from serve.harness import COMMAND, INITIAL, NO_ANSWER, OUTPUT, STREAM, wait_for

PASSWORD = "s3cret-Pa55"
HOSTILE = "<script>document.title='pwned'</script><img src=x onerror=alert(1)>"
ODD_PIPE = 'main"\n{x}'


def populate(client: redis.Redis) -> None:
    live, stopped = json.dumps({"live": True}), json.dumps({"live": False})
    records = {
        "ch:ok": live, "ch:ok:in:main": STREAM, "ch:ok:out:main": OUTPUT,
        "ch:quiet": live, "ch:quiet:in:main": NO_ANSWER, "ch:quiet:out:main": INITIAL,
        "ch:gone": live, "ch:gone:input:main": {"uri": "udp://239.1.1.1:5000"},
        "ch:bad": live, "ch:bad:in:main": HOSTILE, "ch:bad:out:main": {"bitrate": "x" * 200_000},
        "ch:off": stopped, "ch:off:in:main": STREAM,
        # An id holding a marker and a pipe name holding markup, a quote and a newline.
        "ch:t:in:7": live, f"ch:t:in:7:in:{ODD_PIPE}": STREAM,
        f"ch:t:in:7:out:{ODD_PIPE}": dict(OUTPUT, vcodec="\ud800<b>"),   # a lone surrogate, escaped in JSON
    }
    for key, value in records.items():
        client.set(key, value if isinstance(value, str) else json.dumps(value))
    # Key bytes that are not UTF-8.
    client.set(b"ch:\xffx", live)
    client.set(b"ch:\xffx:in:main", json.dumps(STREAM))


EXPECTED = {  # (channel, pipe): (input state, output state)
    ("ok", "main"): ("ok", "ok"),
    ("quiet", "main"): ("no_signal", "no_signal"),
    ("gone", "main"): ("missing", "missing"),
    ("bad", "main"): ("malformed", "malformed"),
    ("off", "main"): ("stopped", "stopped"),
    ("t:in:7", ODD_PIPE): ("ok", "ok"),
    ("\\xffx", "main"): ("ok", "missing"),
}


def test_states_endpoints_and_log(own_redis, start_serve):
    server = own_redis("--requirepass", PASSWORD)
    client = server.client(password=PASSWORD)
    populate(client)
    serve = start_serve(f"redis://:{PASSWORD}@127.0.0.1:{server.port}/0", "--refresh", "0.3")

    # The listener counts as subscribed once Redis has confirmed it, a moment after start.
    wait_for(lambda: serve.status()["freshness_mode"] == "notifications", timeout=10)
    status = serve.status()
    assert status["redis"] == {"up": True, "url": f"redis://:***@127.0.0.1:{server.port}/0", "error": None,
                               "read_at": status["generated_at"]}
    assert status["freshness_mode"] == "notifications"
    found = {(channel["channel"], pipe["pipe"]): (pipe["input"]["state"], pipe["output"]["state"])
             for channel in status["channels"] for pipe in channel["pipes"]}
    assert found == EXPECTED
    assert status["counts"] == {"ok": 5, "no_signal": 2, "silent": 0, "missing": 3, "malformed": 2, "stopped": 2,
                               "degraded": 0}
    bad = serve.side("bad", "main", "input")
    assert bad["raw"] == HOSTILE and bad["record"] is None and bad["reason"] == "not JSON"
    assert "too large" in serve.side("bad", "main", "output")["reason"]
    assert serve.side("ok", "main", "input")["record"] == STREAM
    # Notifications were switched on, keeping what the server had.
    assert "K" in client.config_get("notify-keyspace-events")["notify-keyspace-events"]

    metrics = serve.metrics()
    assert metrics[("avwatch_redis_up", ())] == 1
    assert metrics[("avwatch_freshness_mode", (("mode", "notifications"),))] == 1
    for (channel, pipe), states in EXPECTED.items():
        for side, state in zip(("input", "output"), states):
            # One series per side, its current state's: the others' would be 0 always.
            health = {labels: value for (name, labels), value in metrics.items()
                      if name == "avwatch_health" and ("channel", channel) in labels
                      and ("pipe", pipe) in labels and ("side", side) in labels}
            current = {"channel": channel, "pipe": pipe, "side": side, "state": state}
            assert health == {tuple(sorted(current.items())): 1}
    ok_labels = (("channel", "ok"), ("pipe", "main"))
    assert metrics[("avwatch_input_bytes_per_second", ok_labels)] == STREAM["bitrate"] / 8
    assert metrics[("avwatch_input_frames_per_second", ok_labels)] == STREAM["vfps"]
    assert metrics[("avwatch_output_bytes_per_second", ok_labels)] == OUTPUT["bitrate"] / 8
    assert metrics[("avwatch_channel_live", (("channel", "off"),))] == 0
    info = {"channel": "ok", "pipe": "main", "side": "input", "acodec": "aac", "vcodec": "h264",
            "vresolution": "640x360"}
    assert metrics[("avwatch_stream_info", tuple(sorted(info.items())))] == 1
    assert metrics[("avwatch_malformed_records_total", ())] == 2
    assert 0 <= metrics[("avwatch_status_age_seconds", ok_labels + (("side", "input"),))] < 30

    # The page, HEAD, and nothing else.
    code, headers, body = serve.request("/")
    assert code == 200 and headers["Content-Type"].startswith("text/html")
    code, _, body = serve.request("/api/status", "HEAD")
    assert code == 200 and body == b""
    for path, method, expected in [("/nope", "GET", 404), ("/api/status/x", "GET", 404),
                                   ("/metrics", "POST", 405), ("/api/status", "DELETE", 405), ("/", "PUT", 405)]:
        assert serve.request(path, method)[0] == expected, (path, method)

    # A change of state is an event, newest first, and a log line.
    client.set("ch:quiet:in:main", json.dumps(STREAM))
    serve.wait_for_state("quiet", "main", "input", "ok")
    event = serve.status()["events"][0]
    assert {key: event[key] for key in ("channel", "pipe", "side", "from", "to")} == \
        {"channel": "quiet", "pipe": "main", "side": "input", "from": "no_signal", "to": "ok"}
    history = json.loads(serve.request(f"/api/history?ids={serve.pipe_id('ok', 'main')},nope")[2])
    assert list(history) == [serve.pipe_id("ok", "main")]
    assert history[serve.pipe_id("ok", "main")]["input"][-1] == STREAM["bitrate"]
    assert len(history[serve.pipe_id("ok", "main")]["t"]) == len(history[serve.pipe_id("ok", "main")]["output"])

    texts = [serve.request(path)[2] for path in ("/", "/api/status", "/metrics")]
    returncode, seconds, output = serve.stop()
    assert (returncode, seconds < 2.5) == (0, True), output
    assert "channel quiet pipe main input: no_signal -> ok" in output
    for text in texts + [output.encode()]:
        assert PASSWORD.encode() not in text


def test_redis_down_and_back(own_redis, start_serve):
    server = own_redis()
    server.client().set("ch:ok", json.dumps({"live": True}))
    server.client().set("ch:ok:in:main", json.dumps(STREAM))
    serve = start_serve(f"redis://127.0.0.1:{server.port}/0", "--refresh", "0.3")
    serve.wait_for_state("ok", "main", "input", "ok")

    server.stop()
    down = wait_for_metric(serve, ("avwatch_redis_up", ()), 0)
    assert not any(name == "avwatch_health" for name, _ in down)
    status = serve.status()
    assert status["redis"]["up"] is False and status["redis"]["error"]
    # The page ends the sentence after it: no ".." there.
    assert not status["redis"]["error"].endswith(".")
    assert status["channels"], "the last known channels stay in view"

    server.start()  # empty, and with notifications off again
    server.client().set("ch:ok", json.dumps({"live": True}))
    wait_for_metric(serve, ("avwatch_redis_up", ()), 1)
    serve.wait_for_state("ok", "main", "input", "missing")
    flags = wait_for(lambda: server.client().config_get("notify-keyspace-events")["notify-keyspace-events"])
    assert "K" in flags
    assert "Redis unreachable" in serve.stop()[2]


def wait_for_metric(serve, sample, value):
    return wait_for(lambda: (metrics := serve.metrics()).get(sample) == value and metrics)


@pytest.mark.parametrize("options, mode", [((), "notifications"),
                                           (("--rename-command", "CONFIG", ""), "value_changes")])
def test_silent_is_a_record_nobody_writes(own_redis, start_serve, options, mode):
    """The output record is never written again; the input record is
    rewritten every 0.2 s, with the same value where only notifications can
    tell, with a new one otherwise."""
    server = own_redis(*options)
    client = server.client()
    client.set("ch:s", json.dumps({"live": True}))
    client.set("ch:s:out:main", json.dumps(OUTPUT))
    serve = start_serve(f"redis://127.0.0.1:{server.port}/0", "--refresh", "0.2", "--stale-after", "1.5")
    # The listener learns whether CONFIG is refused a moment after the start.
    wait_for(lambda: serve.status()["freshness_mode"] == mode, timeout=5)
    writes = 0

    def write_and_check():
        nonlocal writes
        writes += 1
        bitrate = STREAM["bitrate"] + (writes if mode == "value_changes" else 0)
        client.set("ch:s:in:main", json.dumps(dict(STREAM, bitrate=bitrate)))
        time.sleep(0.2)
        return serve.side("s", "main", "output")["state"] == "silent"

    wait_for(write_and_check, timeout=15, interval=0)
    assert serve.side("s", "main", "input")["state"] == "ok"
    assert serve.side("s", "main", "output")["age_seconds"] > 1.5
    assert serve.metrics()[("avwatch_freshness_mode", (("mode", mode),))] == 1
    client.set("ch:s:out:main", json.dumps(dict(OUTPUT, lastts="13.ts")))
    serve.wait_for_state("s", "main", "output", "ok")


def test_gone_pipes_are_forgotten(own_redis, start_serve):
    server = own_redis()
    client = server.client()
    client.set("ch:f", json.dumps({"live": True}))
    client.set("ch:f:in:main", json.dumps(STREAM))
    serve = start_serve(f"redis://127.0.0.1:{server.port}/0", "--refresh", "0.2", "--forget-after", "1")
    serve.wait_for_state("f", "main", "input", "ok")
    client.delete("ch:f:in:main")
    serve.wait_for_state("f", "main", "input", "missing")
    wait_for(lambda: serve.status()["channels"] == [{"channel": "f", "live": True, "pipes": []}])


@pytest.mark.parametrize("arguments, message", [
    (["--listen", "nowhere"], "expected HOST:PORT"),
    (["--listen", "127.0.0.1:70000"], "expected HOST:PORT"),
    (["--refresh", "0"], "must be a positive number"),
    (["--stale-after", "soon"], "not a number"),
    (["--redis", "http://:hunter2@h/0"], "bad --redis URL"),
])
def test_bad_arguments(arguments, message):
    command = [*COMMAND, "--redis", "redis://127.0.0.1:1/0", *arguments]
    result = subprocess.run(command, capture_output=True, text=True, timeout=30)
    assert result.returncode == 2 and message in result.stderr
    assert "hunter2" not in result.stderr


def test_ctrl_c_ends_it(own_redis, start_serve):
    server = own_redis()
    serve = start_serve(f"redis://127.0.0.1:{server.port}/0")
    returncode, seconds, output = serve.stop(signal.SIGINT)
    assert returncode == 0 and seconds < 2.5, output


def test_notifications_are_added_to_what_is_on_and_kept_on(own_redis, start_serve):
    server = own_redis("--notify-keyspace-events", "Ex")
    client = server.client()

    def flags():
        return client.config_get("notify-keyspace-events")["notify-keyspace-events"]

    serve = start_serve(f"redis://127.0.0.1:{server.port}/0")
    wait_for(lambda: set(flags()) == set("ExK$g"))
    client.config_set("notify-keyspace-events", "")   # an operator, or a restart the client rode out
    wait_for(lambda: "K" in flags(), timeout=15)
    assert "keyspace notifications were ''; set to 'K$g'" in serve.stop()[2]


def test_a_taken_address_is_reported():
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        command = [*COMMAND, "--redis", "redis://127.0.0.1:1/0", "--listen", f"127.0.0.1:{port}"]
        result = subprocess.run(command, capture_output=True, text=True, timeout=30)
    assert result.returncode == 2 and f"cannot listen on 127.0.0.1:{port}" in result.stderr


def test_problems_found_at_start_are_events_and_states_say_since_when(own_redis, start_serve):
    server = own_redis()
    client = server.client()
    client.mset({"ch:q": json.dumps({"live": True}), "ch:q:in:main": json.dumps(NO_ANSWER),
                 "ch:q:out:main": json.dumps(OUTPUT),
                 "ch:q:input:main": json.dumps({"uri": "udp://239.1.1.1:5000", "miface": "10.0.0.5",
                                                "pid": 1, "vpid": 256, "apid": 0})})
    started = time.time()
    serve = start_serve(f"redis://127.0.0.1:{server.port}/0", "--refresh", "0.2")
    quiet = serve.wait_for_state("q", "main", "input", "no_signal")
    assert quiet["since_first_read"] and started <= quiet["since"] <= time.time()
    assert serve.pipe("q", "main")["source"] == {"uri": "udp://239.1.1.1:5000", "interface": "10.0.0.5",
                                                 "program": "1", "video": "256"}
    # Only the side with a problem is an event; a healthy one is no news.
    events = [(event["side"], event["from"], event["to"]) for event in serve.status()["events"]]
    assert events == [("input", None, "no_signal")]

    changed = time.time()
    client.set("ch:q:in:main", json.dumps(STREAM))
    now_ok = serve.wait_for_state("q", "main", "input", "ok")
    # A refresh's time is its start, which may come just before the write it reads.
    assert not now_ok["since_first_read"] and changed - 1 <= now_ok["since"] <= time.time()
    output = serve.pipe("q", "main")["output"]
    assert output["since_first_read"] and output["since"] < changed   # unchanged, so still since the start

    client.delete("ch:q:input:main", "ch:q:in:main")   # its monitor waits for a source that is gone
    missing = serve.wait_for_state("q", "main", "input", "missing")
    wait_for(lambda: serve.pipe("q", "main")["source"] is None)
    assert serve.side("q", "main", "input")["reason"] == \
        "no record while the channel is live; there is no input source record"
    assert missing["since"] > now_ok["since"]
    assert "channel q pipe main input: no_signal when first read (the probe got no answer)" in serve.stop()[2]


def listening(port: int) -> set[str]:
    """The local addresses with a listening TCP socket on this port."""
    found = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as lines:
            for line in list(lines)[1:]:
                local, state = line.split()[1], line.split()[3]
                address, hex_port = local.split(":")
                if state == "0A" and int(hex_port, 16) == port:
                    found.add(address)
    return found


ANY_IPV6 = "0" * 32


@pytest.mark.parametrize("listen, addresses", [
    (":{port}", {"00000000", ANY_IPV6}),   # every interface, as exporters do (IPv6 where the host has it)
    ("127.0.0.1:{port}", {"0100007F"}),
])
def test_listen_address(own_redis, listen, addresses):
    port = free_port()
    server = own_redis()
    process = subprocess.Popen([*COMMAND, "--redis", f"redis://127.0.0.1:{server.port}/0",
                                "--listen", listen.format(port=port)], stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True)
    try:
        wait_for(lambda: listening(port))
        has_ipv6 = os.path.exists("/proc/net/if_inet6")
        assert listening(port) == (addresses if has_ipv6 else addresses - {ANY_IPV6})
    finally:
        process.send_signal(signal.SIGTERM)
        output = process.communicate(timeout=10)[0]
    shown = "*" if listen.startswith(":") else "127.0.0.1"
    assert f"serving http://{shown}:{port}/" in output
