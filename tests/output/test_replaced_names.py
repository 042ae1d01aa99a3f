"""Names the HLS functions look up at every use: os, open (the module's
namespace first, then the builtins) and contextlib.  A replacement is called
as the interpreter would call it, and what it returns is consumed as the
interpreter would consume it."""

import contextlib
import json
import os
import time
import types
from unittest import mock

import pytest

import avwatch

PLAYLIST = "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=700\np1/index.m3u8\n"
ENV_FILE = "/usr/local/kestrel-srs/env.json"


def replace_open(monkeypatch, where, fake):
    if where == "builtins":
        monkeypatch.setattr("builtins.open", fake)
    else:
        monkeypatch.setattr(avwatch, "open", fake, raising=False)


# ---- open ----

@pytest.mark.parametrize("where", ["builtins", "module"])
def test_the_playlist_is_read_through_the_open_in_place(monkeypatch, where):
    fake = mock.mock_open(read_data=PLAYLIST)
    replace_open(monkeypatch, where, fake)
    assert avwatch.get_bitrate_from_playlist("/nowhere/playlist.m3u8", "p1") == 700
    fake.assert_called_once_with("/nowhere/playlist.m3u8", "r")
    fake.return_value.__exit__.assert_called_once_with(None, None, None)


@pytest.mark.parametrize("where", ["builtins", "module"])
def test_the_environment_file_is_read_through_the_open_in_place(kestrel_root, monkeypatch, where):
    (kestrel_root / "env.json").write_text('{"SRS_VHOST_HLS_HLS_FRAGMENT": "2"}')
    fake = mock.mock_open(read_data='{"SRS_VHOST_HLS_HLS_FRAGMENT": "10"}')
    replace_open(monkeypatch, where, fake)
    assert avwatch.get_srs_fragment_time() == 10
    fake.assert_called_once_with(ENV_FILE)


def lines_object(kind):
    lines = ["#EXTM3U\n", "#EXT-X-STREAM-INF:BANDWIDTH=700\n", "p1/index.m3u8\n"]
    return {"tuple": tuple(lines), "generator": (line for line in lines), "iterator": iter(lines)}[kind]


@pytest.mark.parametrize("kind", ["tuple", "generator", "iterator"])
def test_any_iterable_from_readlines_is_walked(monkeypatch, kind):
    fake = mock.mock_open()
    fake.return_value.readlines.return_value = lines_object(kind)
    monkeypatch.setattr("builtins.open", fake)
    assert avwatch.get_bitrate_from_playlist("/nowhere/playlist.m3u8", "p1") == 700


def test_readlines_giving_a_non_iterable_raises_type_error_and_exits_the_block(monkeypatch):
    fake = mock.mock_open()
    fake.return_value.readlines.return_value = 3
    monkeypatch.setattr("builtins.open", fake)
    with pytest.raises(TypeError, match="'int' object is not iterable"):
        avwatch.get_bitrate_from_playlist("/nowhere/playlist.m3u8", "p1")
    [(exit_args, _)] = fake.return_value.__exit__.call_args_list
    assert exit_args[0] is TypeError


class Opened:
    """A file stand-in whose __exit__ swallows what the block raised."""

    def __init__(self, *args):
        self.exited = None

    def __enter__(self):
        return self

    def __exit__(self, *error):
        self.exited = error
        return True

    def readlines(self):
        return ["#EXT-X-STREAM-INF:BANDWIDTH=x\n", "p1\n"]  # int() fails

    def read(self):
        raise KeyboardInterrupt  # not suppressed by suppress(Exception); swallowed by __exit__


@pytest.mark.parametrize("function, args, expected", [
    (avwatch.get_bitrate_from_playlist, ("/nowhere", "p1"), 0),
    (avwatch.get_srs_fragment_time, (), 6),
])
def test_an_exit_that_suppresses_goes_on_after_the_block(kestrel_root, monkeypatch, function, args, expected):
    (kestrel_root / "env.json").write_text('{"SRS_VHOST_HLS_HLS_FRAGMENT": "10"}')
    monkeypatch.setattr("builtins.open", Opened)
    assert function(*args) == expected


@pytest.mark.parametrize("opened, message", [
    (3, "'int' object does not support the context manager protocol"),
    (types.SimpleNamespace(__enter__=lambda: None, __exit__=lambda *a: None),
     "'types.SimpleNamespace' object does not support the context manager protocol"),
])
def test_what_is_not_a_context_manager_raises_type_error(monkeypatch, opened, message):
    monkeypatch.setattr("builtins.open", lambda *args: opened)
    with pytest.raises(TypeError, match=message):
        avwatch.get_bitrate_from_playlist("/nowhere", "p1")


# ---- os.path.isfile, contextlib.suppress ----

def test_isfile_in_place_decides_whether_the_file_is_opened(kestrel_root, monkeypatch):
    (kestrel_root / "env.json").write_text('{"SRS_VHOST_HLS_HLS_FRAGMENT": "10"}')
    asked = []
    monkeypatch.setattr(os.path, "isfile", lambda path: asked.append(path) or False)
    assert avwatch.get_srs_fragment_time() == 6
    assert asked == [ENV_FILE]


def test_the_content_is_read_inside_the_suppress_in_place(kestrel_root, monkeypatch):
    (kestrel_root / "env.json").write_text("not json")
    made = []

    def suppress(*classes):
        made.append(classes)
        return contextlib.suppress(*classes)

    monkeypatch.setattr(avwatch, "contextlib", types.SimpleNamespace(suppress=suppress))
    assert avwatch.get_srs_fragment_time() == 6
    assert made == [(Exception,)]


def test_a_suppress_that_lets_errors_through(kestrel_root, monkeypatch):
    (kestrel_root / "env.json").write_text("not json")
    monkeypatch.setattr(avwatch, "contextlib", types.SimpleNamespace(suppress=lambda *classes: contextlib.nullcontext()))
    with pytest.raises(json.JSONDecodeError):
        avwatch.get_srs_fragment_time()


# ---- os.path.getmtime ----

@pytest.mark.parametrize("replace", ["attribute", "module"])
def test_freshness_asks_the_getmtime_in_place(monkeypatch, replace):
    asked = []

    def getmtime(path):
        asked.append(path)
        return time.time() - 5

    if replace == "attribute":
        monkeypatch.setattr(os.path, "getmtime", getmtime)
    else:
        monkeypatch.setattr(avwatch, "os", types.SimpleNamespace(path=types.SimpleNamespace(getmtime=getmtime)))
    assert avwatch.is_ts_file_recent("/no/such/segment.ts", 6) is True
    assert avwatch.is_ts_file_recent("/no/such/segment.ts", 1) is False
    assert asked == ["/no/such/segment.ts"] * 2


# ---- the segment scan ----

class FakeFolder:
    """An `os` whose listdir and path.getctime see names that exist only
    here; isdir is the real one, join the real one, recorded."""

    def __init__(self, times, listing=list):
        self.times = times
        self.listing = listing
        self.joined = []
        self.path = types.SimpleNamespace(isdir=os.path.isdir, getctime=self.getctime, join=self.join)

    def listdir(self, path):
        return self.listing(self.times)

    def getctime(self, path):
        return self.times[os.path.basename(path)]

    def join(self, *parts, real_join=os.path.join):
        self.joined.append(parts)
        return real_join(*parts)


@pytest.mark.parametrize("listing", [list, tuple, lambda names: (name for name in names)],
                         ids=["list", "tuple", "generator"])
def test_the_scan_uses_the_os_in_place(harness, monkeypatch, listing):
    folder = harness.make_folder()
    fake = FakeFolder({"a.ts": 5, "b.ts": 9, "c.ts": 9, "d.ts.tmp": 99, "chunks.m3u8": 99}, listing)
    monkeypatch.setattr(avwatch, "os", fake)
    harness.recent = False
    harness.run()
    assert [record["lastts"] for record in harness.published()] == ["b.ts"]
    # A join per candidate for its time, then one for the chosen path.
    assert fake.joined == [(str(folder), name) for name in ("a.ts", "b.ts", "c.ts", "b.ts")]
    assert harness.of_kind("recent") == [(str(folder / "b.ts"), 6)]


def test_a_replaced_getctime_attribute_is_used(harness, monkeypatch):
    folder = harness.make_folder("a.ts")
    time.sleep(0.02)
    harness.make_folder("b.ts")  # the newer by its real status-change time
    times = {str(folder / "a.ts"): 2.0, str(folder / "b.ts"): 1.0}
    monkeypatch.setattr(os.path, "getctime", times.__getitem__)
    harness.recent = False
    harness.run()
    assert [record["lastts"] for record in harness.published()] == ["a.ts"]


def test_a_listing_that_is_not_iterable_fails_the_pass_with_type_error(harness, monkeypatch, caplog):
    harness.make_folder("a.ts")
    monkeypatch.setattr(os, "listdir", lambda path: 7)
    harness.run()
    assert caplog.messages == ["Error in ffmpeg_output_bitrate: 'int' object is not iterable"]
    assert harness.published() == []


def test_a_replaced_isdir_decides_whether_the_folder_is_listed(harness, monkeypatch):
    harness.make_folder("a.ts")
    monkeypatch.setattr(os.path, "isdir", lambda path: False)
    harness.run()
    assert [record["lastts"] for record in harness.published()] == [""]
