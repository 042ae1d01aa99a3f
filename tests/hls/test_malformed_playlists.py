"""Whatever sits where the playlist should be gives problems, never a crash
or a hang; the parsers are fuzzed (the sanitizer pass runs these too)."""

import os
import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import avwatch_analysis
from avwatch_analysis import HlsOutput

HEADER = "#EXTM3U\n#EXT-X-TARGETDURATION:2\n"


@pytest.mark.parametrize("content, expected", [
    (b"\x00\x01\x02binary\xff\xfe", "not text"),
    (b"#EXTM3U\n" + b"#" * (5 << 20), "larger than 4 MiB"),
    (b"", "empty"),
    (b"just some words\nand more\n", "not #EXTM3U"),
    (b"#EXTM3U\n", "no EXT-X-TARGETDURATION"),
    ((HEADER + "#EXTINF:nan,\na.ts\n").encode(), 'unreadable EXTINF duration "nan"'),
    ((HEADER + "#EXTINF:1e999,\na.ts\n").encode(), "unreadable EXTINF"),
    ((HEADER + "#EXT-X-MEDIA-SEQUENCE:99999999999999999999999\n").encode(), "unreadable EXT-X-MEDIA-SEQUENCE"),
    ((HEADER + "#EXT-X-MEDIA-SEQUENCE:-4\n").encode(), "unreadable EXT-X-MEDIA-SEQUENCE"),
    ((HEADER + "a.ts\n").encode(), "has no EXTINF"),
    ((HEADER + "#EXTINF:1,\nhttp://elsewhere/a.ts\n").encode(), "not a file beside the playlist"),
    ((HEADER + "#EXTINF:1,\n../../etc/passwd\n").encode(), "not a file beside the playlist"),
    (b"#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nv/a.m3u8\n", "a master playlist"),
    ((HEADER + "#EXTINF:1,\n" + "x" * 100000 + ".ts\n").encode(), "listed but missing"),
    ((HEADER + "#EXTINF:1,\n\xc3\xa9t\xc3\xa9.ts\n").encode("latin-1"), "été.ts listed but missing"),
])
def test_malformed_playlist_gives_a_problem(tmp_path, content, expected):
    playlist = tmp_path / "chunks.m3u8"
    playlist.write_bytes(content)
    record = HlsOutput(str(playlist)).check()
    assert any(expected in text for text in record["problems"]), record["problems"]
    assert record["stale"] in (True, False)


@pytest.mark.parametrize("make", ["fifo", "folder", "missing"])
def test_playlist_that_is_no_file_is_reported_without_blocking(tmp_path, make):
    playlist = tmp_path / "chunks.m3u8"
    if make == "fifo":
        os.mkfifo(playlist)   # opening it for reading would wait for a writer
    elif make == "folder":
        playlist.mkdir()
    record = HlsOutput(str(playlist)).check()
    assert record["checks_failed"] == ["unreadable", "stale"]
    assert record["media_sequence"] is None and record["bitrate"] == 0


def test_segment_that_is_a_fifo_is_not_read(tmp_path):
    os.mkfifo(tmp_path / "a.ts")
    (tmp_path / "chunks.m3u8").write_text(HEADER + "#EXTINF:2,\na.ts\n")
    record = HlsOutput(str(tmp_path / "chunks.m3u8")).check()
    assert "segment_missing" in record["checks_failed"]


playlist_lines = st.one_of(
    st.sampled_from(["#EXTM3U", "#EXT-X-TARGETDURATION:2", "#EXT-X-DISCONTINUITY", "#EXT-X-ENDLIST",
                     "#EXT-X-MAP:URI=\"i.mp4\"", "#EXT-X-STREAM-INF:BANDWIDTH=5,CODECS=\"a,b\"", "", "#"]),
    st.builds("#EXTINF:{},{}".format, st.text(max_size=12), st.text(max_size=5)),
    st.builds("#EXT-X-MEDIA-SEQUENCE:{}".format, st.integers(min_value=-2, max_value=2**64)),
    st.builds("#EXT-X-DISCONTINUITY-SEQUENCE:{}".format, st.text(max_size=8)),
    st.text(max_size=30),
)
playlists = st.lists(playlist_lines, max_size=40).map(lambda lines: "\n".join(lines).encode("utf-8", "surrogatepass"))


@settings(max_examples=300, deadline=None)
@given(data=st.one_of(playlists, st.binary(max_size=2000)))
def test_parsers_take_any_bytes(data):
    media = avwatch_analysis.parse_media_playlist(data)
    master = avwatch_analysis.parse_master_playlist(data)
    if media["text"]:
        numbers = [segment["sequence"] for segment in media["segments"]]
        assert numbers == list(range(media["media_sequence"], media["media_sequence"] + len(numbers)))
        assert all(segment["duration"] >= 0 for segment in media["segments"])
        assert isinstance(master["variants"], list)


ts_packet = st.builds(
    lambda pid, flags, cc, body: struct.pack(">BHB", 0x47, flags | pid, cc) + body,
    st.sampled_from([0, 0x11, 0x100, 0x101, 0x1000, 0x1FFF]), st.sampled_from([0, 0x4000, 0x8000]),
    st.integers(0, 255), st.binary(min_size=184, max_size=184))


@settings(max_examples=300, deadline=None)
@given(data=st.one_of(st.lists(ts_packet, max_size=30).map(b"".join), st.binary(max_size=3000)))
def test_segment_reader_takes_any_bytes(data):
    facts = avwatch_analysis.read_ts_segment(data)
    assert facts["packets"] == len(data) // 188 and facts["sync_errors"] <= facts["packets"]


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(text=playlists, segment=st.binary(max_size=1000))
def test_checker_takes_any_playlist(tmp_path, text, segment):
    (tmp_path / "a.ts").write_bytes(segment)
    playlist = tmp_path / "chunks.m3u8"
    playlist.write_bytes(text)
    output = HlsOutput(str(playlist))
    for _ in range(2):
        record = output.check()
        assert isinstance(record["problems"], list) and len(record["problems"]) < 40
