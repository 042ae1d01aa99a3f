"""A real HLS output, copied and broken on purpose: each break gives its
problem, named, and nothing else breaks the checker."""

import pytest

from avwatch_analysis import HlsOutput
from playlist_edits import drop_first_access_unit, drop_packet_of, edit_tag, listed_segments, video_pid


def delete_segment(playlist):
    segment = listed_segments(playlist)[1]
    segment.unlink()
    return segment.name


def long_segment(playlist):
    segment = listed_segments(playlist)[-1]
    text = playlist.read_text().splitlines()
    at = text.index(segment.name) - 1
    text[at] = "#EXTINF:3.600000,"
    playlist.write_text("\n".join(text) + "\n")
    return segment.name


def stray_file(playlist):
    (playlist.parent / "core.14").write_text("12 bytes...\n")
    return "core.14"


def sequence_back(playlist):
    edit_tag(playlist, "#EXT-X-MEDIA-SEQUENCE", lambda value: str(int(value) - 3))
    return "went back"


def break_sync(playlist):
    segment = listed_segments(playlist)[-1]
    data = bytearray(segment.read_bytes())
    data[188 * 7] = 0x00
    segment.write_bytes(bytes(data))
    return segment.name


def empty_segment(playlist):
    segment = listed_segments(playlist)[0]
    segment.write_bytes(b"")
    return segment.name


def cut_key_frame(playlist):
    segment = listed_segments(playlist)[-1]
    segment.write_bytes(drop_first_access_unit(segment.read_bytes()))
    return segment.name


def lose_packet(playlist):
    segment = listed_segments(playlist)[-1]
    data = segment.read_bytes()
    segment.write_bytes(drop_packet_of(data, video_pid(data), 40))
    return "1 continuity errors in " + segment.name


def drop_tables(playlist):
    segment = listed_segments(playlist)[-1]
    data = segment.read_bytes()
    # ffmpeg opens each segment with SDT, PAT and PMT: one packet each.
    segment.write_bytes(data[3 * 188:])
    return segment.name


def discontinuity_count(playlist):
    # The sequence moves on by one without the departed segment having been
    # a discontinuity, but the count claims one.
    edit_tag(playlist, "#EXT-X-MEDIA-SEQUENCE", lambda value: str(int(value) + 1))
    text = playlist.read_text().splitlines()
    first_uri = next(i for i, line in enumerate(text) if line and not line.startswith("#"))
    del text[first_uri - 1:first_uri + 1]
    playlist.write_text("\n".join(text) + "\n")
    edit_tag(playlist, "#EXT-X-DISCONTINUITY-SEQUENCE", lambda value: str(int(value) + 1))
    return "discontinuity sequence is"


BREAKS = {
    "segment deleted": (delete_segment, "segment_missing"),
    "long segment": (long_segment, "over_target"),
    "stray file": (stray_file, "stray_files"),
    "sequence goes back": (sequence_back, "sequence"),
    "broken sync bytes": (break_sync, "sync"),
    "empty segment": (empty_segment, "segment_empty"),
    "no key frame first": (cut_key_frame, "key_frame"),
    "a lost video packet": (lose_packet, "continuity"),
    "no PAT/PMT": (drop_tables, "pat_pmt"),
    "discontinuity count": (discontinuity_count, "discontinuity"),
}


# The checks whose sightings the record counts.
COUNTED = {"segment_missing": "missing_segment_checks", "sequence": "sequence_resets"}


@pytest.mark.parametrize("name", BREAKS)
def test_each_break_is_named(frozen_copy, name):
    playlist, master = frozen_copy
    output = HlsOutput(str(playlist), str(master))
    before = output.check()
    # A copy is whole: only its age may show (it no longer advances).
    assert set(before["checks_failed"]) <= {"stale"}, before["problems"]
    assert before["bitrate"] > 0 and before["declared_bitrate"] == 2_000_000

    break_it, code = BREAKS[name]
    detail = break_it(playlist)
    after = output.check()

    assert code in after["checks_failed"], after["problems"]
    assert any(detail in text for text in after["problems"]), after["problems"]
    assert set(after["checks_failed"]) <= {code, "stale"}, after["problems"]
    # The running counts, which outlive the check that saw the fault, rise with it alone.
    for check, count in COUNTED.items():
        assert (before[count], after[count]) == (0, int(code == check)), (count, after["problems"])


def test_bitrate_is_measured_from_the_listed_segments(frozen_copy):
    playlist, _ = frozen_copy
    durations = [float(line.split(":")[1].rstrip(","))
                 for line in playlist.read_text().splitlines() if line.startswith("#EXTINF:")]
    size = sum(segment.stat().st_size for segment in listed_segments(playlist))
    record = HlsOutput(str(playlist)).check()
    assert record["bitrate"] == round(size * 8 / sum(durations))
    assert record["declared_bitrate"] is None


@pytest.mark.parametrize("master_text, expected", [
    ("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\n../other/chunks.m3u8\n", "no variant for this playlist"),
    ("#EXTM3U\n#EXT-X-STREAM-INF:RESOLUTION=1x1\n../p1/chunks.m3u8\n", None),
    ("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1000\n../p1/chunks.m3u8\n", "over the declared BANDWIDTH"),
    (None, "no master playlist"),
])
def test_master_playlist_variant(frozen_copy, master_text, expected):
    playlist, master = frozen_copy
    if master_text is None:
        master.unlink()
    else:
        master.write_text(master_text)
    record = HlsOutput(str(playlist), str(master)).check()
    if expected is None:   # nothing declared, nothing to compare: no problem
        assert record["declared_bitrate"] is None and "variant_missing" not in record["checks_failed"]
    else:
        assert any(expected in text for text in record["problems"]), record["problems"]
