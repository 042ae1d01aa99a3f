"""The judge's rules as one table: what each record means for each side."""

import json

import pytest

from avwatch_cli.health import MAX_RECORD_BYTES, State, channel_live, essentials, judge
from serve.harness import INITIAL, NO_ANSWER, OUTPUT, STREAM


def text(record) -> str:
    return json.dumps(record)


@pytest.mark.parametrize("side, raw, live, age, state, reason", [
    # Signal.
    ("input", text(STREAM), True, 1.0, State.OK, "the probe answered"),
    ("input", text(STREAM).encode(), True, None, State.OK, "answered"),
    ("input", text(dict(NO_ANSWER, vresolution="0x0", acodec="mp2")), True, 1.0, State.OK, "answered"),
    ("output", text(OUTPUT), True, 1.0, State.OK, "newest segment 12.ts"),
    # Stream absent.
    ("input", text(NO_ANSWER), True, 1.0, State.NO_SIGNAL, "the probe got no answer"),
    ("input", text(INITIAL), True, 1.0, State.NO_SIGNAL, "initial record"),
    ("output", text(INITIAL), True, 1.0, State.NO_SIGNAL, "bitrate 0"),
    ("output", text(dict(OUTPUT, lastts="")), True, 1.0, State.NO_SIGNAL, "no segment name"),
    # Not written for longer than allowed: whatever it says.
    ("input", text(STREAM), True, 31.0, State.SILENT, "no write for 31 s"),
    ("output", "{not json", True, 99.0, State.SILENT, "no write"),
    ("output", text(OUTPUT), True, 30.0, State.OK, ""),
    # No record.
    ("input", None, True, None, State.MISSING, "no record"),
    ("output", None, True, 99.0, State.MISSING, "no record"),
    # Unreadable.
    ("input", "{not json", True, 1.0, State.MALFORMED, "not JSON"),
    ("input", b"\xff\xfe\x00garbage", True, 1.0, State.MALFORMED, "not JSON"),
    ("input", "[1, 2]", True, 1.0, State.MALFORMED, "an array"),
    ("input", '"<script>alert(1)</script>"', True, 1.0, State.MALFORMED, "a string"),
    ("input", text(dict(STREAM, bitrate="1000")), True, 1.0, State.MALFORMED, '"bitrate" is a string'),
    ("input", text(dict(STREAM, bitrate=True)), True, 1.0, State.MALFORMED, '"bitrate" is a boolean'),
    ("input", '{"bitrate": NaN}', True, 1.0, State.MALFORMED, "out of range"),
    ("input", '{"bitrate": 1%s}' % ("0" * 400), True, 1.0, State.MALFORMED, "out of range"),
    ("output", text(dict(OUTPUT, lastts=12)), True, 1.0, State.MALFORMED, '"lastts" is a number'),
    ("output", text(dict(OUTPUT, vcodec={"x": 1})), True, 1.0, State.MALFORMED, "an object"),
    ("input", "{}", True, 1.0, State.MALFORMED, 'no "bitrate"'),
    ("input", "[" * 100_000, True, 1.0, State.MALFORMED, "too large"),
    ("input", "[" * 50_000, True, 1.0, State.MALFORMED, "not JSON"),
    # Whatever json.loads reads is read, and only that.
    ("input", b' {"bitrate": 5}\n', True, 1.0, State.OK, "answered"),
    ("input", '\ufeff{"bitrate": 5}'.encode(), True, 1.0, State.OK, "answered"),
    ("input", '{"bitrate": 5}'.encode("utf-16"), True, 1.0, State.OK, "answered"),
    ("input", b'{"bitrate": 5} {}', True, 1.0, State.MALFORMED, "not JSON"),
    ("input", text(dict(STREAM, vfps=29.97)), True, 1.0, State.OK, "answered"),
    ("input", text(dict(STREAM, vfps=2**63)), True, 1.0, State.MALFORMED, '"vfps" is a number out of range'),
    # The channel is not running: nothing else matters.
    ("input", text(STREAM), False, 99.0, State.STOPPED, '"live" false'),
    ("output", None, None, None, State.STOPPED, "no readable channel record"),
])
def test_judge(side, raw, live, age, state, reason):
    verdict = judge(side, raw, live, age, stale_after=30.0)
    assert (verdict.state, verdict.state.value) == (state, state.value)
    assert reason in verdict.reason
    if state in (State.OK, State.NO_SIGNAL):
        assert verdict.record == json.loads(raw)
    if state is State.MALFORMED:
        assert verdict.record is None


@pytest.mark.parametrize("raw, live", [
    ('{"live": true}', True), ('{"live": 1, "x": 2}', True), (b'{"live": "yes"}', True),
    ('{"live": false}', False), ('{"live": 0}', False), ('{"live": ""}', False),
    ('{"live": []}', False), ('{"live": null}', False),
    (None, None), ("{}", None), ("[true]", None), ("live", None),
    ('{"live": true, "pad": "%s"}' % ("x" * MAX_RECORD_BYTES), None),
])
def test_channel_live_follows_the_monitors_truth_rule(raw, live):
    assert channel_live(raw) is live


def test_essentials_shows_only_what_is_set():
    assert essentials("output", dict(OUTPUT, vcodec="h264", vresolution="1280x720", vfps=29.97)) \
        == "h264 1280x720 29.97 fps, 2,500,000 b/s, lastts 12.ts"
    assert essentials("input", NO_ANSWER) == "0 b/s"
