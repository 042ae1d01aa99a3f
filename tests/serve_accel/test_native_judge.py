"""The judge in C (avwatch_serve_accel) against the refresher's Python one,
its reference: the same views, verdicts, reasons, events and history
samples whatever the records hold, round after round.  Outside tests/serve
so that the sanitizer run takes it too."""

import json
import os
from types import MappingProxyType

import pytest
import redis
from hypothesis import HealthCheck, given, settings, strategies as st

from avwatch_cli.serve import native
from avwatch_cli.serve.refresher import Refresher

pytestmark = pytest.mark.skipif(os.environ.get("AVWATCH_SERVE_PURE") == "1", reason="the C judge is disabled")

STALE_AFTER = 30.0
NAMES = [b"ch:a", b"ch:a:in:p", b"ch:a:out:p", b"ch:a:in:q", b"ch:b", b"ch:b:out:p", b"ch:b:in:p",
         b"ch:c:in:p", b"ch:c:out:p", b"ch:a:ts:p"]   # ch:c has no channel record
STREAM = {"acodec": "aac", "vcodec": "h264", "vresolution": "640x360", "vfps": 25, "vbitrate": 1_000_000,
          "abitrate": 128_000, "bitrate": 1_128_000}
INITIAL = {"acodec": "", "vcodec": "", "sequence": None, "bitrate": 0, "vbitrate": 0, "abitrate": 0, "vfps": 0,
           "vresolution": "", "lastts": "", "name": "main"}
HOSTILE = [b'{"bitrate": 1e400}', b'{"bitrate": NaN}', b'{"bitrate": 1, "vfps": 25.5}',
           f'{{"bitrate": {2**63}}}'.encode(), f'{{"bitrate": {2**63 - 1}}}'.encode(),
           f'{{"bitrate": {-2**63}}}'.encode(), f'{{"bitrate": 1, "vbitrate": {10**30}}}'.encode(),
           b'{"bitrate": 5, "acodec": "\xff\xfe"}', b'{"bitrate": 5, "lastts": "\\ud800"}',
           b'{"bitrate": 5, "lastts": "a\\u00e9\\n"}', b'{"bitrate": true}', b'{"bitrate": null}',
           b'{"bitrate": 1, "bitrate": "x"}', b'{"bitrate": 1, "lastts": 7}', b'{"bitrate": 1, "x": [[[{}]]]}',
           b'[{"bitrate": 1}]', b'"text"', b"{", b"", b" {}", b"{}", b"\xef\xbb\xbf{}",
           b'{"bitrate": 2, "lastts": "1.ts"}' + b" " * (64 * 1024), b'{"bitrate": 3} ', b"{" + b"[" * 2000]

VALUES = st.one_of(st.none(), st.booleans(), st.integers(min_value=-2**70, max_value=2**70),
                   st.floats(), st.text(max_size=4), st.lists(st.integers(), max_size=2),
                   st.dictionaries(st.text(max_size=2), st.integers(), max_size=2))
FIELDS = st.sampled_from(["acodec", "vcodec", "vresolution", "lastts", "vfps", "vbitrate", "abitrate", "bitrate",
                          "name", "sequence"])


def written(record: dict) -> bytes:
    return json.dumps(record).encode()   # NaN and Infinity included, as a broken writer might


RECORDS = st.one_of(
    st.sampled_from([written(STREAM), written(INITIAL), written(dict(INITIAL, bitrate=9, lastts="3.ts")),
                     written(dict(STREAM, acodec="", vcodec="", bitrate=0)), *HOSTILE]),
    st.builds(lambda record, base: written({**base, **record}),
              st.dictionaries(FIELDS, VALUES, max_size=3), st.sampled_from([STREAM, INITIAL, {}])),
    st.binary(max_size=12),
)
CHANNEL_RECORDS = st.sampled_from([b'{"live": true}', b'{"live": false}', b'{"live": 1}', b"{}", b"junk", None])
# Seconds since the last write: None when unknown; beyond STALE_AFTER is stale.
AGES = st.one_of(st.none(), st.sampled_from([0.0, 1.5, STALE_AFTER, STALE_AFTER + 0.5, 400.0]))


def refresher(native_judge) -> Refresher:
    # A client never connected: the rounds hand the values in themselves.
    made = Refresher(redis.Redis(port=1), "redis://test", refresh_seconds=2.0, stale_after=STALE_AFTER,
                     forget_after=300.0)
    made.native_judge = native_judge
    made.plan = made.make_plan(NAMES, 1000.0)
    return made


def state_of(judge: Refresher) -> tuple:
    """Everything a refresh leaves behind, NaN-safe (repr) and history rows as bytes."""
    plan = judge.plan
    return (repr([(tracked.seen, tracked.judged, tracked.view) for tracked in plan.pipes]),
            repr([(state.raw, state.live, state.view) for state in plan.channels]),
            repr(judge.events.latest()), judge.malformed_total, dict(judge.changes_total),
            [current.tobytes() for current in judge.history.current], judge.first_read_problems)


# The analysers' records: their "time" is given as an age, made a time in the round.
RECORD_AGES = st.sampled_from([0.0, 0.5, 1.0, STALE_AFTER + 1, "x"])
COUNTS = st.one_of(st.integers(min_value=0, max_value=3), st.sampled_from([None, True, "2", 1.5]))
WINDOWS = st.one_of(st.dictionaries(st.sampled_from(["continuity_errors", "lost_packets", "sync_losses", "pat_errors",
                                                     "pmt_errors", "pid_errors", "transport_errors"]),
                                    COUNTS, max_size=3),
                    st.sampled_from([None, [], "x"]))
# What viewers see and hear, in both analysers' records: the loudness at and
# just beyond the default tolerance (5 LU) of the default target (-23 LUFS).
CONTENT = {"black": st.sampled_from([True, False, None, 1]), "frozen": st.sampled_from([True, False, None]),
           "silent": st.sampled_from([True, False, None, "true"]),
           "loudness": st.sampled_from([None, -23.0, -28.0, -28.1, -18.0, -17.9, -10, "x", True, 2**70])}
MADE_ANALYSIS = st.fixed_dictionaries(
    {"bitrate": st.sampled_from([0, 4_000_000, 2_500.5]), "time": RECORD_AGES,
     "data_age": st.sampled_from([0.01, 0.2, 1.4, 1.6, None, 30.0, "x", True])},
    optional={"in_sync": st.sampled_from([True, False, None, 1]), "window": WINDOWS,
              # Seconds before the record's time (made times in the round).
              "error_times": st.dictionaries(st.sampled_from(["continuity_errors", "pat_errors", "crc_errors"]),
                                             st.sampled_from([0.5, 9.0, 11.0, 100.0, "x", None]), max_size=2),
              **CONTENT})
# The input analyser's record of pipe a:p: fixed values, or one made with a time.
ANALYSIS_RECORDS = st.one_of(
    st.sampled_from([None, b'{"bitrate": 1000, "packets": 5}', b'{"bitrate": 2000}', b"junk"]), MADE_ANALYSIS)
CODES = st.sampled_from(["stale", "segment_missing", "over_target", "key_frame", "lag", "continuity", "stray_files",
                         "variant_missing", "unknown", 7])
HLS_RECORDS = st.one_of(st.none(), st.fixed_dictionaries(
    {"time": RECORD_AGES, "stale": st.sampled_from([True, False, False, None, 1]),
     "checks_failed": st.one_of(st.lists(CODES, max_size=3), st.just("stale"))},
    optional={"bitrate": st.sampled_from([0, 420_000, -1, "x"]),
              "lag": st.sampled_from([None, 12.25, "x"]), "continuity_errors": st.sampled_from([0, 4, None]),
              "problems": st.lists(st.text(max_size=3), max_size=2), **CONTENT}))
# Answering, failed-probe and advancing records on live channels, often: the
# analysers' records weigh on those.
USUAL = st.sampled_from([written(STREAM), written(dict(STREAM, acodec="", vcodec="", bitrate=0)),
                         written(dict(INITIAL, bitrate=9, lastts="3.ts"))])
ROUND = st.tuples(st.lists(st.one_of(USUAL, RECORDS, st.none()), min_size=9, max_size=9),
                  st.lists(st.one_of(st.just(b'{"live": true}'), CHANNEL_RECORDS), min_size=3, max_size=3), st.lists(AGES, min_size=9, max_size=9),
                  st.floats(min_value=0.0, max_value=100.0), st.lists(ANALYSIS_RECORDS, min_size=1, max_size=1),
                  st.lists(HLS_RECORDS, min_size=4, max_size=4))


def timed(record: dict, now: float) -> dict:
    """The record with its "time" made from its age, and its error times from
    seconds before that (as they are when not numbers)."""
    age = record.get("time")
    if not isinstance(age, float):
        return dict(record)
    made = dict(record, time=now - age)
    if "error_times" in record:
        made["error_times"] = {name: now - age - before if isinstance(before, float) else before
                               for name, before in record["error_times"].items()}
    return made


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(ROUND, min_size=1, max_size=5), st.booleans())
def test_the_c_judge_matches_the_python_one(rounds, read_before):
    assert native.judge_channels is not None, "avwatch_serve_accel is not installed"
    python_judge, c_judge = refresher(None), refresher(native.judge_channels)
    plan = python_judge.plan
    now = 1000.0
    for status_values, channel_values, ages, step, analysis_values, hls_records in rounds:
        now += step
        analysis_values = [written(timed(value, now)) if isinstance(value, dict) else value
                           for value in analysis_values]
        hls = {tracked.id: timed(record, now) for tracked, record in zip(plan.pipes, hls_records) if record}
        status_values = status_values[:len(plan.status_keys)]
        values = channel_values[:len(plan.channels)] + status_values
        written_at = [None if value is None or age is None else now - age
                      for value, age in zip(status_values, ages)]
        for judge in (python_judge, c_judge):
            judge.read_once = read_before
            judge.hls.records = MappingProxyType(dict(hls))
            if judge.native_judge is None:
                views = judge.judge_channels(judge.plan.channels, list(values), list(status_values),
                                             list(written_at), now, list(analysis_values))
            else:
                views = judge.native_judge(judge, judge.plan.channels, list(values), list(status_values),
                                           list(written_at), now, list(analysis_values))
            judge.views = repr(views)
        assert c_judge.views == python_judge.views
        assert state_of(c_judge) == state_of(python_judge)
        read_before = True


def test_the_usual_rewrite_is_judged_in_c(monkeypatch):
    """A fresh rewrite of a usual record in a known state never reaches the Python side()."""
    c_judge = refresher(native.judge_channels)
    plan = c_judge.plan
    values = [b'{"live": true}'] * 3 + [written(dict(STREAM, bitrate=n, lastts="0.ts")) for n in range(1, 8)]
    status_values = values[3:]

    def judge(now: float) -> None:
        c_judge.native_judge(c_judge, plan.channels, values, status_values, [now] * len(status_values), now, [None])

    judge(1000.0)
    called = []
    python_side = c_judge.side
    monkeypatch.setattr(c_judge, "side", lambda *arguments: called.append(arguments[0].channel)
                        or python_side(*arguments))
    for at in range(3, len(values)):
        values[at] = written(dict(STREAM, bitrate=at + 100, lastts=f"{at}.ts"))
    status_values = values[3:]
    judge(1001.0)
    # Only pipe a:q's output, which has no record: MISSING is the judge's general rule.
    assert called == ["a"]
    live = [tracked for tracked in plan.pipes if tracked.input_at >= 0]
    assert len(live) == 4
    for tracked in live:   # rejudged from the new bytes, and sampled
        assert tracked.view.input.record["bitrate"] == json.loads(status_values[tracked.input_at])["bitrate"]
        assert c_judge.history.current[0][tracked.row] == tracked.view.input.record["bitrate"]
        assert tracked.view.input.since == 1000.0


def test_healthy_evidence_is_weighed_in_c(monkeypatch):
    """A fresh analysis or HLS record with no fault, on an ok side, never
    reaches the Python side(); the measured rate is the side's sample."""
    c_judge = refresher(native.judge_channels)
    plan = c_judge.plan
    [tracked] = [tracked for tracked in plan.pipes if tracked.id == plan.pipes[0].id]
    values = [b'{"live": true}'] * 3 + [written(dict(STREAM, bitrate=n, lastts="0.ts")) for n in range(1, 8)]
    status_values = values[3:]

    def judge(now: float, step: int) -> None:
        analysis = written({"bitrate": 4_000_000 + step, "time": now, "data_age": 0.01, "in_sync": True,
                            "window": {"continuity_errors": 0}})
        c_judge.hls.records = MappingProxyType({tracked.id: {"time": now, "bitrate": 3_000_000 + step,
                                                             "stale": False, "checks_failed": []}})
        c_judge.native_judge(c_judge, plan.channels, values, status_values, [now] * len(status_values), now,
                             [analysis])

    judge(1000.0, 0)
    called = []
    python_side = c_judge.side
    monkeypatch.setattr(c_judge, "side", lambda *arguments: called.append(arguments[0].id)
                        or python_side(*arguments))
    judge(1001.0, 1)
    assert tracked.id not in called
    assert (tracked.view.input.measured, tracked.view.output.measured) == (4_000_001, 3_000_001)
    assert [current[tracked.row] for current in c_judge.history.current] == [4_000_001, 3_000_001]
