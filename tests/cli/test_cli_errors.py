"""What an operator sees when the machine or the arguments are wrong: a
message naming the fault and an exit status a supervisor can tell apart."""

import time

import pytest

from machine import free_port


@pytest.mark.parametrize("missing", ["nice", "cpulimit", "ffprobe"])
@pytest.mark.parametrize("command", [
    ["probe", "/dev/null"],
    ["monitor", "--redis", "redis://127.0.0.1:1", "--channel", "1", "--pipe", "main"],
])
def test_missing_program_of_the_probe_chain(avwatch_command, path_without, missing, command):
    result = avwatch_command.run(*command, env=path_without(missing))
    assert result.returncode == 3
    assert f"{missing} not found on PATH" in result.stderr
    assert "apt-get install" in result.stderr
    assert result.stdout == ""


def test_unreachable_redis(avwatch_command):
    url = f"redis://127.0.0.1:{free_port()}/0"
    started = time.monotonic()
    result = avwatch_command.run("monitor", "--redis", url, "--channel", "7", "--pipe", "main")
    assert result.returncode == 4
    assert f"cannot reach Redis at {url}" in result.stderr
    assert "Traceback" not in result.stderr
    assert time.monotonic() - started < 10


@pytest.mark.parametrize("stored, message", [
    (None, "no channel record under ch:7"),
    ("not json", "the channel record under ch:7 is not JSON"),
    ('{"state": "up"}', 'the channel record under ch:7 has no "live" field'),
    ("[1,2]", "the channel record under ch:7 is an array, not a JSON object: found '[1,2]'"),
])
def test_unusable_channel_record(avwatch_command, broker, redis_url, stored, message):
    if stored is not None:
        broker.set("ch:7", stored)
    result = avwatch_command.run("monitor", "--redis", redis_url, "--channel", "7", "--pipe", "main")
    assert result.returncode == 5
    assert message in result.stderr


@pytest.mark.parametrize("arguments, message", [
    (["monitor", "--redis", "http://127.0.0.1", "--channel", "7", "--pipe", "main"], "bad --redis URL"),
    (["monitor", "--channel", "7", "--pipe", "main"], "--redis"),
    (["probe"], "uri"),
    (["probe", "x.ts", "--program", "abc"], "argument --program: 'abc' is not a program number"),
    (["probe", "x.ts", "--program", "65536"], "out of range (0 to 65535)"),
    (["probe", "x.ts", "--video", "1.5"], "argument --video: '1.5' is not a PID"),
    (["probe", "x.ts", "--audio", "-1"], "argument --audio: '-1' is not a PID"),
    (["probe", "x.ts", "--video", "0x2000"], "out of range (0 to 8191)"),
    ([], "COMMAND"),
])
def test_usage_errors(avwatch_command, arguments, message):
    result = avwatch_command.run(*arguments)
    assert result.returncode == 2
    assert message in result.stderr


@pytest.mark.parametrize("stored, message", [
    (None, "no input source record under ch:7:input:main: the channel service writes it as JSON, for example {"),
    ("udp://239.1.1.1:1234", "the input source record under ch:7:input:main is not JSON (Expecting value"),
    ('"udp://239.1.1.1:1234"', "is a string, not a JSON object: found"),
    ('{"uri": ["udp://a:1"]}', '"uri" in the input source record under ch:7:input:main is an array ["udp://a:1"]'),
])
def test_unusable_input_source_record(avwatch_command, broker, redis_url, stored, message):
    broker.set("ch:7", '{"live": true}')
    if stored is not None:
        broker.set("ch:7:input:main", stored)
    result = avwatch_command.run("monitor", "--redis", redis_url, "--channel", "7", "--pipe", "main", "--input")
    assert result.returncode == 5
    assert message in result.stderr
    assert "Traceback" not in result.stderr and "Error:" not in result.stderr


@pytest.mark.parametrize("channel, source, warning", [
    ('{"live": true}', '{"uri": ""}', '"uri" in the input source record under ch:7:input:main is "": the input '
                                      "monitor probes nothing"),
    ('{"live": true}', '{"pid": 1}', '"uri" in the input source record under ch:7:input:main is absent'),
    ('{"live": true}', '{"uri": "udp://a:1", "apid": "audio"}', '"apid" in ch:7:input:main is a string "audio"'),
    ('{"live": true}', '{"uri": "udp://a:1", "miface": 10}', '"miface" in ch:7:input:main is a number 10'),
    ('{"live": "false"}', '{"uri": "udp://a:1"}', '"live" in ch:7 is a string "false", which counts as live'),
])
def test_records_that_run_to_no_use_are_named(avwatch_command, broker, redis_url, channel, source, warning,
                                              tmp_path):
    broker.set("ch:7", channel)
    broker.set("ch:7:input:main", source)
    log = tmp_path / "monitor.log"
    with open(log, "w") as stderr:
        process = avwatch_command.start("monitor", "--redis", redis_url, "--channel", "7", "--pipe", "main",
                                        "--input", stderr=stderr)
    try:
        # The warning comes at start, however long the start takes on a loaded machine.
        deadline = time.monotonic() + 30
        while f"WARNING MainThread: {warning}" not in log.read_text() and time.monotonic() < deadline:
            time.sleep(0.1)
    finally:
        process.terminate()
        process.communicate(timeout=20)
    assert f"WARNING MainThread: {warning}" in log.read_text()
