"""The output monitor's rules, with its helpers, clock and probe replaced by
recorders: what each kind of pass publishes, the shared retry counter, the
pause, the paths, the logged errors and the way it stops."""

import json
import logging
import sys

import pytest

import avwatch
from monitor_harness import HTML_ROOT, initial_record, stream_record

PROBED = stream_record(acodec="aac", vcodec="h264", vresolution="640x360", vfps=25, vbitrate=900000,
                       abitrate=128000, bitrate=1028000)


def merged(record, pipe_name="p1", lastts="segment-3.ts"):
    expected = initial_record(pipe_name)
    expected["lastts"] = lastts
    expected.update(record)
    return expected


def with_fields(pipe_name="p1", **fields):
    expected = initial_record(pipe_name)
    expected.update(fields)
    return expected


# (folder contents or None for no folder, recent, bandwidth, probe,
#  expected first record, expected trace up to the first pause)
OUTCOMES = {
    "folder missing": (None, True, 0, PROBED, initial_record("p1"), "fSz"),
    "folder empty": ([], True, 0, PROBED, initial_record("p1"), "ffffSz"),
    "only excluded names": (["a.tmp", "segment-9.ts.tmp", "chunks.m3u8", "chunks", "chunks-1.ts", "chunks-dir/"],
                            True, 0, PROBED, initial_record("p1"), "ffffSz"),
    "stale newest segment": (["segment-3.ts"], False, 2000000, PROBED, with_fields(lastts="segment-3.ts"), "fSz"),
    "playlist bandwidth": (["segment-3.ts"], True, 2000000, PROBED,
                           with_fields(lastts="segment-3.ts", bitrate=2000000), "fSz"),
    "probe merged": (["segment-3.ts"], True, 0, PROBED, merged(PROBED), "fpSz"),
    "probe measures 0 every time": (["segment-3.ts"], True, 0, stream_record(vcodec="h264", vresolution="0x0"),
                                    merged(stream_record(vcodec="h264", vresolution="0x0")), "fpfpfpfpSz"),
}


@pytest.mark.parametrize("contents, recent, bandwidth, probe, expected, trace", OUTCOMES.values(), ids=OUTCOMES)
def test_what_a_pass_publishes(harness, contents, recent, bandwidth, probe, expected, trace):
    if contents is not None:
        harness.make_folder(*(name for name in contents if not name.endswith("/")))
        for name in contents:
            if name.endswith("/"):
                (harness.folder / name).mkdir()
    harness.recent, harness.bandwidth, harness.probe = recent, bandwidth, probe

    assert harness.run() is None

    assert harness.trace() == trace + "f"
    [record] = harness.published()
    assert list(record.items()) == list(expected.items())
    if not recent:
        assert harness.of_kind("playlist") == []
    if bandwidth:
        assert harness.of_kind("probe") == []


def test_the_pass_hands_the_helpers_the_paths_and_the_duration(harness):
    harness.make_folder("segment-3.ts")
    harness.fragment_time = 4
    harness.probe = PROBED
    harness.run()

    ts_file = str(harness.folder / "segment-3.ts")
    assert harness.of_kind("recent") == [(ts_file, 4)]
    assert harness.of_kind("playlist") == [(str(HTML_ROOT / "42/a/playlist.m3u8"), "p1")]
    assert harness.of_kind("probe") == [(ts_file, "", "", "")]


def test_records_are_stored_as_json_dumps_writes_them(harness):
    harness.use("42", "pipé")
    harness.run(live=False)
    [(key, stored)] = [event[1:] for event in harness.events if event[0] == "set"]
    assert key == "ch:42:in:pipé"
    assert stored == json.dumps(initial_record("pipé"))
    assert "\\u00e9" in stored


@pytest.mark.parametrize("names, expected", [
    (["A.TMP"], "A.TMP"),  # the tests are case-sensitive
    (["Chunks.ts"], "Chunks.ts"),
    (["x.tmp.ts"], "x.tmp.ts"),
    (["sub/"], "sub"),  # any kind of entry takes part
])
def test_names_that_only_look_excluded_are_candidates(harness, names, expected):
    folder = harness.make_folder()
    for name in names:
        (folder / name.rstrip("/")).mkdir() if name.endswith("/") else (folder / name).write_bytes(b"")
    harness.recent = False
    harness.run()
    assert [record["lastts"] for record in harness.published()] == [expected]


# ---- retries ----

def test_a_persisting_empty_folder_retries_three_times_after_every_pause(harness):
    harness.make_folder()
    harness.stop_after_pauses = 2
    harness.run()
    assert harness.trace() == "ffffSz" "ffffSz" "f"


def test_both_retry_points_share_one_counter(harness):
    # Two empty passes, then a segment whose probe measures nothing: the
    # probe has only the tries left over from the empty passes.
    def add_segment(number):
        if number == 2:
            harness.make_folder("segment-3.ts")

    harness.make_folder()
    harness.before_pass = add_segment
    harness.run()
    assert harness.trace() == "f" "f" "fp" "fpS" "z" "f"
    assert harness.published() == [merged(stream_record())]


def test_a_failed_pass_leaves_the_counter_as_it_was(harness):
    harness.make_folder()
    harness.fragment_time = [6, OSError("env file gone"), 6]
    harness.stop_after_pauses = 2
    harness.run()
    assert harness.trace() == "f" "fEz" "f" "f" "fSz" "f"


def test_a_probe_that_keeps_measuring_nothing_is_retried_three_times_after_every_pause(harness):
    harness.make_folder("segment-3.ts")
    harness.stop_after_pauses = 2
    harness.run()
    assert harness.trace() == "fpfpfpfpSz" "fpfpfpfpSz" "f"
    assert [record["bitrate"] for record in harness.published()] == [0, 0]


# ---- the pause ----

@pytest.mark.parametrize("fragment_times, pauses", [
    ([6], [3]), ([7], [3]), ([5], [2]), ([10], [5]), ([1], [1]), ([0], [1]), ([-4], [1]), ([2.9], [1]),
    # Before any pass has computed its pause, a failed pass waits 3 s ...
    ([PermissionError(13, "Permission denied"), 6], [3]),
    # ... afterwards it keeps the last computed one.
    ([10, PermissionError(13, "Permission denied"), 10], [5, 5]),
])
def test_the_pause_is_half_the_fragment_duration_but_at_least_a_second(harness, fragment_times, pauses):
    harness.fragment_time = fragment_times
    harness.stop_after_pauses = len(pauses)
    harness.run()
    assert [seconds for (seconds,) in harness.of_kind("sleep")] == pauses


# ---- paths ----

@pytest.mark.parametrize("ch_uid, pipe_name, folder, playlist", [
    ("42", "p1", "42/p1", "42/a/playlist.m3u8"),
    (42, "p1", "42/p1", "42/a/playlist.m3u8"),
    # The pipe name occurs elsewhere in the path: only the last component goes.
    ("12", "1", "12/1", "12/a/playlist.m3u8"),
    ("7", "s", "7/s", "7/a/playlist.m3u8"),
    ("a", "a", "a/a", "a/a/playlist.m3u8"),
])
def test_segment_folder_and_playlist_paths(harness, ch_uid, pipe_name, folder, playlist):
    harness.use(ch_uid, pipe_name)
    harness.make_folder("segment-3.ts")
    harness.bandwidth = 1000
    harness.run()
    assert harness.of_kind("recent") == [(f"{HTML_ROOT}/{folder}/segment-3.ts", 6)]
    assert harness.of_kind("playlist") == [(f"{HTML_ROOT}/{playlist}", pipe_name)]
    assert harness.published()[0]["bitrate"] == 1000
    assert harness.client.keys() == [harness.channel_key.encode()]  # both status keys deleted


def test_an_empty_pipe_name_watches_the_channel_folder_without_a_double_slash(harness):
    harness.use("42", "")
    harness.folder = HTML_ROOT / "42"
    harness.make_folder("segment-3.ts")
    harness.bandwidth = 1000
    harness.run()
    assert harness.of_kind("recent") == [(f"{HTML_ROOT}/42/segment-3.ts", 6)]
    assert harness.of_kind("playlist") == [(f"{HTML_ROOT}/42/a/playlist.m3u8", "")]


# ---- errors ----

BROKEN_CHANNELS = {
    "no live field": (json.dumps({"on": True}), "'live'"),
    "not json": ("{live", "Expecting property name enclosed in double quotes: line 1 column 2 (char 1)"),
    "not an object": ("[1]", "list indices must be integers or slices, not str"),
}


@pytest.mark.parametrize("stored, text", BROKEN_CHANNELS.values(), ids=BROKEN_CHANNELS)
def test_an_error_in_a_pass_is_logged_through_the_root_logger(harness, caplog, stored, text):
    harness.fragment_time = 6
    original_get = harness.broker.get
    answers = iter([stored])

    def get(key):  # the first read finds the broken record, later ones the real one
        original_get(key)
        return next(answers, None) or harness.client.get(key)

    harness.broker.get = get
    harness.run()

    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        ("root", logging.ERROR, "Error in ffmpeg_output_bitrate: " + text)]
    assert harness.published() == []
    assert harness.of_kind("sleep") == [(3,)]


def test_a_missing_channel_key_is_logged_and_the_loop_goes_on(harness, caplog):
    harness.before_pass = lambda number: harness.client.delete(harness.channel_key) if number == 0 else None
    harness.run()
    assert caplog.messages == [
        "Error in ffmpeg_output_bitrate: the JSON object must be str, bytes or bytearray, not NoneType"]
    assert harness.trace() == "fEzf"


def test_a_helper_error_is_logged_and_nothing_is_published(harness, caplog):
    harness.make_folder("segment-3.ts")
    harness.bandwidth = ValueError("invalid literal for int() with base 10: '1,RESOLUTION'")
    harness.run()
    assert caplog.messages == [
        "Error in ffmpeg_output_bitrate: invalid literal for int() with base 10: '1,RESOLUTION'"]
    assert harness.published() == []


def test_the_logged_error_is_the_one_being_handled(harness, monkeypatch):
    seen = []

    class Logging:
        @staticmethod
        def error(message):
            seen.append((message, sys.exception()))

    monkeypatch.setattr(avwatch, "logging", Logging)
    failure = LookupError("boom")
    harness.fragment_time = [failure, 6]
    harness.run()
    assert seen == [("Error in ffmpeg_output_bitrate: boom", failure)]
    assert sys.exception() is None


@pytest.mark.parametrize("kind", ["generator", "coroutine"])
def test_the_failed_pass_leaves_no_handled_exception_behind_in_a_generator(harness, kind):
    # Started while `outer` is handled, resumed after that: an error raised
    # then has no context, as after an except block inside the generator.
    harness.fragment_time = [LookupError("boom"), 6]

    class Resume:
        def __await__(self):
            yield

    def later_error():
        try:
            raise KeyError("later")
        except KeyError as later:
            return later.__context__

    def generator():
        harness.run()
        yield
        yield later_error()

    async def coroutine():
        harness.run()
        await Resume()
        return later_error()

    running = generator() if kind == "generator" else coroutine()
    try:
        raise ValueError("outer")
    except ValueError:
        running.send(None)
    if kind == "generator":
        assert running.send(None) is None
    else:
        with pytest.raises(StopIteration) as finished:
            running.send(None)
        assert finished.value.value is None


class Interrupt(BaseException):
    pass


class Failing:
    """A stand-in for time or logging whose every call raises."""

    def __init__(self, error):
        self.raised = error

    def __getattr__(self, name):
        def fail(*args):
            raise self.raised
        return fail


@pytest.mark.parametrize("where, error", [
    ("fragment", Interrupt()),           # outside the Exception family ...
    ("probe", KeyboardInterrupt()),
    ("time", RuntimeError("no sleep")),  # ... or outside the guarded pass
    ("logging", RuntimeError("log failed")),
])
def test_errors_outside_a_guarded_pass_end_the_monitor_and_keep_the_keys(harness, monkeypatch, where, error):
    harness.make_folder("segment-3.ts")
    if where == "fragment":
        harness.fragment_time = error
    elif where == "probe":
        harness.probe = error
    else:
        harness.fragment_time = ValueError("first")
        monkeypatch.setattr(avwatch, where, Failing(error))

    with pytest.raises(type(error)) as raised:
        harness.run()

    if where == "logging":
        assert str(raised.value.__context__) == "first"
    assert harness.of_kind("delete") == []
    assert json.loads(harness.client.get(harness.input_status_key)) == initial_record("p1")


# ---- stopping ----

def test_a_channel_that_is_not_live_stops_at_once(harness):
    harness.make_folder("segment-3.ts")
    assert harness.run(live=False) is None
    assert [event[:2] for event in harness.events] == [
        ("set", "ch:42:in:p1"), ("fragment",), ("get", "ch:42"), ("delete", "ch:42:in:p1"),
        ("delete", "ch:42:out:p1")]
    assert harness.client.keys() == [b"ch:42"]


def test_the_stop_after_a_publish_deletes_input_then_output_status(harness):
    harness.make_folder("segment-3.ts")
    harness.bandwidth = 1000
    harness.run()
    assert [event[:2] for event in harness.events if event[0] in ("set", "get", "delete", "sleep")] == [
        ("set", "ch:42:in:p1"), ("get", "ch:42"), ("set", "ch:42:out:p1"), ("sleep", 3),
        ("get", "ch:42"), ("delete", "ch:42:in:p1"), ("delete", "ch:42:out:p1")]
    assert harness.client.keys() == [b"ch:42"]


@pytest.mark.parametrize("live", [False, 0, "", [], {}, None])
def test_any_false_live_value_stops(harness, live):
    harness.client.set(harness.channel_key, json.dumps({"live": live}))
    assert avwatch.ffmpeg_output_bitrate("42", "p1", harness.broker) is None
    assert harness.trace() == "f"
