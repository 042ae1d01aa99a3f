"""is_ts_file_recent: a segment modified within four fragment durations."""

import os
import time
import types
from pathlib import Path

import pytest

import avwatch

MTIME = 1_700_000_000


@pytest.fixture
def segment(tmp_path):
    path = tmp_path / "seg-1.ts"
    path.write_bytes(b"\x47" * 188)
    os.utime(path, (MTIME, MTIME))
    return path


@pytest.fixture
def clock(monkeypatch):
    """Replaces the module's `time`; set .now to the wanted current time."""
    fake = types.SimpleNamespace(now=0.0)
    fake.time = lambda: fake.now
    monkeypatch.setattr(avwatch, "time", fake)
    return fake


@pytest.mark.parametrize("fragment_time, age, recent", [
    (6, 24, True), (6, 24.001, False), (6, 0, True), (6, -1000, True), (1, 4, True), (1, 4.5, False),
    (0, 0, True), (0, 0.001, False), (0, -5, True),
    (-1, -4, True), (-1, -3.999, False), (-1, -10, True),
    (2.5, 10, True), (2.5, 10.01, False),
    (True, 4, True), (10**20, 10**15, True),
])
def test_age_against_four_fragment_durations(segment, clock, fragment_time, age, recent):
    clock.now = MTIME + age
    assert avwatch.is_ts_file_recent(str(segment), fragment_time) is recent


@pytest.mark.parametrize("fragment_time", [None, "6", [6], {}, object(), 1j])
def test_fragment_time_that_cannot_be_compared_gives_false(segment, clock, fragment_time):
    clock.now = MTIME
    assert avwatch.is_ts_file_recent(str(segment), fragment_time) is False


def test_comparison_result_is_returned_as_python_gives_it(segment, clock):
    class Limit:
        def __ge__(self, age):
            return ("compared", age)

    class Duration:
        def __mul__(self, four):
            assert four == 4 and type(four) is int
            return Limit()

    clock.now = MTIME + 3.5
    assert avwatch.is_ts_file_recent(str(segment), Duration()) == ("compared", 3.5)


@pytest.mark.parametrize("path", [
    lambda segment: segment.parent / "gone.ts", lambda segment: str(segment) + "\0", lambda segment: None,
    lambda segment: 2.5, lambda segment: b"/no/such/dir/seg.ts", lambda segment: 10**30,
])
def test_unusable_path_gives_false(segment, clock, path):
    clock.now = MTIME
    assert avwatch.is_ts_file_recent(path(segment), 6) is False


def test_removed_segment_gives_false(segment, clock):
    clock.now = MTIME
    assert avwatch.is_ts_file_recent(str(segment), 6) is True
    segment.unlink()
    assert avwatch.is_ts_file_recent(str(segment), 6) is False


@pytest.mark.parametrize("as_path", [str, Path, lambda p: os.fsencode(str(p))])
def test_path_forms_of_os_stat(segment, clock, as_path):
    clock.now = MTIME + 24
    assert avwatch.is_ts_file_recent(as_path(segment), 6) is True
    assert avwatch.is_ts_file_recent(as_path(segment), 5) is False


def test_file_descriptor_is_examined_like_os_stat(segment, clock):
    clock.now = MTIME + 24
    with open(segment, "rb") as opened:
        assert avwatch.is_ts_file_recent(opened.fileno(), 6) is True
        assert avwatch.is_ts_file_recent(opened.fileno(), 5) is False


def test_nanosecond_times_match_the_interpreters_float(segment, clock):
    # At the exact limit the result hangs on the last bit of st_mtime.
    for nanoseconds in range(1_700_000_000_000_000_001, 1_700_000_000_000_000_001 + 997 * 1013, 1013):
        os.utime(segment, ns=(nanoseconds, nanoseconds))
        modified = os.path.getmtime(segment)
        for fragment_time in (6, 0.1):
            clock.now = modified + fragment_time * 4
            expected = clock.now - modified <= fragment_time * 4
            assert avwatch.is_ts_file_recent(str(segment), fragment_time) is expected


@pytest.mark.parametrize("now", [None, "1700000000", float("nan")])
def test_unusable_clock_gives_false(segment, clock, now):
    clock.now = now
    assert avwatch.is_ts_file_recent(str(segment), 6) is False


def test_time_is_looked_up_in_the_module_at_each_call(segment, monkeypatch):
    monkeypatch.setattr(avwatch, "time", types.SimpleNamespace(time=lambda: MTIME + 1.0))
    assert avwatch.is_ts_file_recent(str(segment), 1) is True
    monkeypatch.setattr(avwatch, "time", types.SimpleNamespace(time=lambda: MTIME + 5.0))
    assert avwatch.is_ts_file_recent(str(segment), 1) is False


def test_real_clock_and_file(tmp_path):
    fresh = tmp_path / "fresh.ts"
    fresh.write_bytes(b"")
    assert avwatch.is_ts_file_recent(str(fresh), 6) is True
    stale = tmp_path / "stale.ts"
    stale.write_bytes(b"")
    past = time.time() - 30
    os.utime(stale, (past, past))
    assert avwatch.is_ts_file_recent(str(stale), 6) is False
    assert avwatch.is_ts_file_recent(str(stale), 8) is True


@pytest.mark.parametrize("error", [RuntimeError("clock"), OSError("clock"), ArithmeticError()])
def test_exception_family_from_the_clock_gives_false(segment, monkeypatch, error):
    def broken():
        raise error
    monkeypatch.setattr(avwatch, "time", types.SimpleNamespace(time=broken))
    assert avwatch.is_ts_file_recent(str(segment), 6) is False


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(2)])
def test_errors_outside_the_exception_family_pass(segment, monkeypatch, error):
    def interrupted():
        raise error
    monkeypatch.setattr(avwatch, "time", types.SimpleNamespace(time=interrupted))
    with pytest.raises(type(error)) as raised:
        avwatch.is_ts_file_recent(str(segment), 6)
    assert raised.value is error


def test_missing_time_global_gives_false(segment, monkeypatch):
    monkeypatch.delattr(avwatch, "time")
    assert avwatch.is_ts_file_recent(str(segment), 6) is False
