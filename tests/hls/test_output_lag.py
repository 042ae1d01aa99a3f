"""The media a playlist gains against the wall clock: an encoder falling
behind (or bursting ahead) is named while the playlist still advances."""

import time

import pytest

from avwatch_analysis import HlsOutput


def write_playlist(path, first, durations):
    lines = ["#EXTM3U", "#EXT-X-TARGETDURATION:1", f"#EXT-X-MEDIA-SEQUENCE:{first}"]
    for number, duration in enumerate(durations, first):
        lines += [f"#EXTINF:{duration:.3f},", f"s{number}.ts"]
        (path.parent / f"s{number}.ts").write_bytes(b"")
    path.write_text("\n".join(lines) + "\n")


@pytest.mark.parametrize("extinf, per_step, expected", [
    (0.25, 1, "the encoder falls behind"),   # 0.25 s of media every 0.5 s
    (1.0, 3, "faster than real time"),       # 3 s of media every 0.5 s
    (0.5, 1, None),                          # real time
])
def test_lag_against_the_wall_clock(tmp_path, extinf, per_step, expected):
    playlist = tmp_path / "chunks.m3u8"
    output = HlsOutput(str(playlist))
    listed = 4
    next_number = 0
    seen = []
    for _ in range(12):
        next_number += per_step
        first = max(0, next_number - listed)
        write_playlist(playlist, first, [extinf] * (next_number - first))
        record = output.check()
        seen.append(record)
        time.sleep(0.5)
    lagging = [record for record in seen if "lag" in record["checks_failed"]]
    assert not any(record["stale"] for record in seen)
    if expected is None:
        assert lagging == [], [record["problems"] for record in seen]
    else:
        assert lagging and any(expected in text for text in lagging[-1]["problems"])
