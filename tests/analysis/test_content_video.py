"""What the analysers see of the pictures, against ffmpeg's own detectors on
streams ffmpeg makes with known moving, black and frozen parts: fed by
hand, through an HLS output and over real UDP; and what bad input does."""

from __future__ import annotations

import re
import shutil
import socket
import struct
import subprocess
import threading
import time
from pathlib import Path

import pytest

from relay import ServiceSocket, free_port

avwatch_analysis = pytest.importorskip("avwatch_analysis")

pytestmark = pytest.mark.skipif(shutil.which("ffmpeg") is None, reason="needs ffmpeg")

PACKET = 188
CHUNK = 7 * PACKET
MUX_RATE = 3_000_000
GOP = 2.0  # the key-frame interval of every stream made here
WINDOW = 1.0  # a report says what its window saw at the window's end
# The timeline: black from 7 s to 15 s, the picture of 21 s held until 29 s.
TIMELINE = ("testsrc2=size=1280x720:rate=25,drawbox=c=black:t=fill:enable='between(t,7,15)',"
            "loop=loop=200:size=1:start=525,setpts=N/25/TB")


def make_ts(path: Path, video_filter: str, seconds: float, *, codec: list[str] | None = None,
            audio: bool = True, video: bool = True, extra: list[str] | None = None) -> bytes:
    inputs = ["-f", "lavfi", "-i", video_filter] if video else []
    if audio:
        inputs += ["-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000"]
    codec = codec or ["-c:v", "libx264", "-preset", "ultrafast", "-g", "50", "-keyint_min", "50",
                      "-sc_threshold", "0", "-pix_fmt", "yuv420p", "-b:v", "1500k"]
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", *inputs, "-t", str(seconds),
                    *(codec if video else []), *(["-c:a", "aac", "-b:a", "96k"] if audio else []),
                    *(extra or []), "-f", "mpegts", "-muxrate", str(MUX_RATE), str(path)], check=True)
    return path.read_bytes()


def reference_runs(path: Path) -> dict[str, list[tuple[float, float]]]:
    """The black and frozen periods ffmpeg's detectors find in the file."""
    done = subprocess.run(["ffmpeg", "-hide_banner", "-nostats", "-i", str(path), "-an", "-vf",
                           "blackdetect=d=2:pix_th=0.10,freezedetect=n=-60dB:d=2", "-f", "null", "-"],
                          capture_output=True, text=True, check=True)
    black = [(float(a), float(b)) for a, b in re.findall(r"black_start:([\d.]+) black_end:([\d.]+)", done.stderr)]
    starts = [float(t) for t in re.findall(r"freeze_start: ([\d.]+)", done.stderr)]
    ends = [float(t) for t in re.findall(r"freeze_end: ([\d.]+)", done.stderr)]
    return {"black": black, "frozen": list(zip(starts, ends))}


def feed(data: bytes, analyser=None) -> list[dict]:
    """The stream through Analyser.datagram() in datagrams of 7 packets,
    arriving at the mux rate, with a window closed every second."""
    analyser = analyser or avwatch_analysis.Analyser()
    reports = []
    next_close = 1.0
    for at in range(0, len(data), CHUNK):
        arrival = at * 8 / MUX_RATE
        while arrival >= next_close:
            reports.append(analyser.close_window(next_close))
            next_close += 1
        analyser.datagram(data[at:at + CHUNK], arrival)
    reports.append(analyser.close_window(next_close))
    return reports


def observed_runs(reports: list[dict], check: str) -> list[tuple[float, float]]:
    """Runs as the reports tell them: each begins its length before the
    first report saying so, and lasts as long as it grew."""
    runs: list[tuple[float, float]] = []
    start = None
    longest = 0.0
    for report in reports:
        video = report["content"]["video"]
        if video and video[check]:
            if start is None:
                start = report["window_end"] - video[f"{check}_seconds"]
            longest = max(longest, video[f"{check}_seconds"])
        elif start is not None:
            runs.append((start, start + longest))
            start, longest = None, 0.0
    if start is not None:
        runs.append((start, start + longest))
    return runs


def jpeg_size(data: bytes) -> tuple[int, int]:
    """(width, height) from a baseline JPEG's frame header."""
    assert data[:2] == b"\xff\xd8"
    at = data.index(b"\xff\xc0")
    height, width = struct.unpack(">HH", data[at + 5:at + 9])
    return width, height


@pytest.fixture(scope="module")
def timeline(tmp_path_factory):
    path = tmp_path_factory.mktemp("content") / "timeline.ts"
    data = make_ts(path, TIMELINE, 34)
    return path, data


def test_black_and_frozen_agree_with_ffmpeg_within_a_key_frame_interval(timeline):
    path, data = timeline
    expected = reference_runs(path)
    assert len(expected["black"]) == 1 and len(expected["frozen"]) == 2  # black pictures are frozen too
    reports = feed(data)
    for check in ("black", "frozen"):
        seen = observed_runs(reports, check)
        assert len(seen) == len(expected[check]), (check, seen, expected[check])
        for (start, end), (ref_start, ref_end) in zip(seen, expected[check]):
            # Key frames only: a run is seen up to a key-frame interval late
            # or short, and told at the end of the window that saw it.
            margin = GOP + WINDOW
            assert abs(start - ref_start) <= margin and abs(end - ref_end) <= margin, (check, seen, expected[check])
    video = reports[-1]["content"]["video"]
    assert (video["codec"], video["supported"], video["width"], video["height"]) == ("h264", True, 1280, 720)
    assert video["decode_errors"] == 0
    assert 15 <= video["pictures"] <= 18  # key frames only: one every 2 s of 34 s
    lumas = [r["content"]["video"]["luma"] for r in reports if r["content"]["video"]["black"]]
    assert lumas and max(lumas) < 20
    audio = reports[-1]["content"]["audio"]
    assert [(a["pid"], a["codec"]) for a in audio] == [(257, "aac")]


def test_thumbnails_are_small_jpegs_at_most_every_five_seconds(timeline):
    _, data = timeline
    reports = feed(data)
    thumbnails = [r["thumbnail"] for r in reports if r["thumbnail"] is not None]
    assert 5 <= len(thumbnails) <= 34 / 5 + 1
    assert {jpeg_size(jpeg) for jpeg in thumbnails} == {(320, 180)}


@pytest.mark.parametrize("name, codec, size", [
    ("hevc", ["-c:v", "libx265", "-preset", "ultrafast", "-x265-params", "log-level=error:keyint=50:min-keyint=50",
              "-pix_fmt", "yuv420p"], (320, 180)),
    ("mpeg2video", ["-c:v", "mpeg2video", "-g", "50", "-b:v", "2M", "-pix_fmt", "yuv420p"], (720, 576)),
])
def test_other_codecs_show_a_black_picture(tmp_path, name, codec, size):
    width, height = size
    data = make_ts(tmp_path / f"{name}.ts",
                   f"testsrc2=size={width}x{height}:rate=25,drawbox=c=black:t=fill:enable='gte(t,2)'", 10,
                   codec=codec, audio=False)
    reports = feed(data)
    video = reports[-1]["content"]["video"]
    assert (video["codec"], video["supported"], video["width"], video["height"]) == (name, True, width, height)
    assert any(r["content"]["video"]["black"] for r in reports)
    assert video["black"] and video["black_seconds"] >= 4 and video["luma"] < 20


def mpeg_crc(data: bytes) -> int:
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) & 0xFFFFFFFF if crc & 0x80000000 else (crc << 1) & 0xFFFFFFFF
    return crc


def pid_of(packet: bytes) -> int:
    return ((packet[1] & 0x1F) << 8) | packet[2]


def payload_offset(packet: bytes) -> int:
    return 4 + (1 + packet[4] if packet[3] & 0x20 else 0)


def retype_video(data: bytes, stream_type: int) -> bytes:
    """The PMT (PID 4096, one section in one packet, as ffmpeg writes it)
    with the video stream's type changed, its CRC made good again."""
    out = bytearray(data)
    for at in range(0, len(out), PACKET):
        if pid_of(out[at:at + 4]) != 0x1000:
            continue
        start = at + 5  # header, pointer field
        length = ((out[start + 1] & 0x0F) << 8) | out[start + 2]
        info = ((out[start + 10] & 0x0F) << 8) | out[start + 11]
        entry = start + 12 + info
        assert out[entry] == 0x1B
        out[entry] = stream_type
        end = start + 3 + length - 4
        out[end:end + 4] = mpeg_crc(bytes(out[start:end])).to_bytes(4, "big")
    return bytes(out)


def corrupt_video(data: bytes, every: int = 3) -> bytes:
    """Every `every`-th video packet's payload overwritten (headers kept)."""
    out = bytearray(data)
    for index, at in enumerate(range(0, len(out), PACKET)):
        if pid_of(out[at:at + 4]) == 0x100 and index % every == 0:
            start = at + payload_offset(out[at:at + 6]) + (14 if out[at + 1] & 0x40 else 0)
            for i in range(start, at + PACKET):
                out[i] = (out[i] * 151 + 89) & 0xFF
    return bytes(out)


def lie_about_lengths(data: bytes) -> bytes:
    """Each video PES header claims 1000 bytes."""
    out = bytearray(data)
    for at in range(0, len(out), PACKET):
        if pid_of(out[at:at + 4]) == 0x100 and out[at + 1] & 0x40:
            start = at + payload_offset(out[at:at + 6])
            out[start + 4:start + 6] = (1000).to_bytes(2, "big")
    return bytes(out)


@pytest.fixture(scope="module")
def short_stream(tmp_path_factory):
    return make_ts(tmp_path_factory.mktemp("short") / "short.ts", "testsrc2=size=640x360:rate=25", 8)


def lose_video_packets(data: bytes, every: int = 300) -> bytes:
    """Every `every`-th video packet left out: the units it cut are lost."""
    kept = []
    video = 0
    for at in range(0, len(data), PACKET):
        if pid_of(data[at:at + 4]) == 0x100:
            video += 1
            if video % every == 0:
                continue
        kept.append(data[at:at + PACKET])
    return b"".join(kept)


@pytest.mark.parametrize("spoil, expect", [
    (lambda data: corrupt_video(data), "errors"),
    (lambda data: retype_video(data, 0x33), "unsupported"),
    (lie_about_lengths, "errors"),
    (lose_video_packets, "errors and pictures"),
])
def test_bad_video_is_reported_not_fatal(short_stream, spoil, expect):
    reports = feed(spoil(short_stream))
    video = reports[-1]["content"]["video"]
    assert video is not None and video["pid"] == 256
    if expect == "unsupported":
        assert (video["codec"], video["supported"], video["pictures"], video["black"]) == ("vvc", False, 0, None)
    else:
        assert video["supported"] and video["decode_errors"] > 0
    if expect == "errors and pictures":  # the key frames the losses spared are judged as ever
        assert video["pictures"] >= 1 and video["black"] is False and video["luma"] > 100
    assert reports[-1]["content"]["audio"][0]["codec"] == "aac"


def test_audio_only_has_no_video_check(tmp_path):
    data = make_ts(tmp_path / "radio.ts", "", 4, video=False)
    reports = feed(data)
    assert reports[-1]["content"]["video"] is None and reports[-1]["thumbnail"] is None
    assert [a["codec"] for a in reports[-1]["content"]["audio"]] == ["aac"]


def test_a_pmt_change_rebuilds_the_checks_and_a_repeat_keeps_them(short_stream):
    analyser = avwatch_analysis.Analyser()
    feed(short_stream, analyser)
    before = analyser.close_window(100.0)["content"]["video"]
    assert before["pictures"] >= 3
    # The same PMT again keeps the counts; another video type starts afresh.
    for at in range(0, len(short_stream), CHUNK):
        analyser.datagram(short_stream[at:at + CHUNK], 101 + at * 8 / MUX_RATE)
    again = analyser.close_window(200.0)["content"]["video"]
    assert again["pictures"] > before["pictures"]
    retyped = retype_video(short_stream, 0x24)
    for at in range(0, len(retyped), CHUNK):
        analyser.datagram(retyped[at:at + CHUNK], 201 + at * 8 / MUX_RATE)
    after = analyser.close_window(300.0)["content"]["video"]
    assert after["codec"] == "hevc" and after["pictures"] == 0 and after["decode_errors"] > 0


def hls_segments(folder: Path, source: Path) -> list[Path]:
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-i", str(source), "-c", "copy", "-f", "hls",
                    "-hls_time", "2", "-hls_list_size", "0", "-hls_segment_filename", str(folder / "s%03d.ts"),
                    str(folder / "all.m3u8")], check=True)
    return sorted(folder.glob("s*.ts"))


def write_playlist(path: Path, first: int, last: int) -> None:
    lines = ["#EXTM3U", "#EXT-X-VERSION:3", "#EXT-X-TARGETDURATION:2", f"#EXT-X-MEDIA-SEQUENCE:{first}"]
    for index in range(first, last + 1):
        lines += ["#EXTINF:2.000000,", f"s{index:03d}.ts"]
    path.with_suffix(".tmp").write_text("\n".join(lines) + "\n")
    path.with_suffix(".tmp").rename(path)


def test_the_hls_check_decodes_each_new_segment_once(timeline, tmp_path):
    path, _ = timeline
    segments = hls_segments(tmp_path, path)
    assert len(segments) >= 15
    playlist = tmp_path / "live.m3u8"
    write_playlist(playlist, 0, 3)
    output = avwatch_analysis.HlsOutput(str(playlist))
    reports = [output.check()]
    for last in range(4, len(segments)):
        write_playlist(playlist, max(0, last - 5), last)
        reports.append(output.check())
        reports.append(output.check())  # nothing new: nothing decoded
    pictures = [r["content"]["video"]["pictures"] for r in reports]
    # The first check starts at the newest segment; each later one adds one
    # segment of one key frame.
    assert pictures[0] == 1
    assert pictures[-1] == 1 + len(segments) - 4
    assert all(pictures[i] == pictures[i - 1] for i in range(2, len(pictures), 2))
    black = [r["content"]["video"]["black"] for r in reports]
    frozen = [r["content"]["video"]["frozen"] for r in reports]
    assert True in black and True in frozen and black[-1] is False
    thumbnails = [r["thumbnail"] for r in reports if r["thumbnail"] is not None]
    assert thumbnails and all(jpeg_size(t)[0] == 320 for t in thumbnails)
    assert reports[-1]["content"]["audio"][0]["codec"] == "aac"


def test_black_over_real_udp(tmp_path):
    data = make_ts(tmp_path / "udp.ts", "testsrc2=size=640x360:rate=25,drawbox=c=black:t=fill:enable='gte(t,1)'", 12)
    port = free_port()
    service = ServiceSocket(port)
    try:
        watch = avwatch_analysis.Watch(f"udp://127.0.0.1:{port}")
    except PermissionError as error:
        service.close()
        pytest.skip(str(error))
    stop = threading.Event()

    def send() -> None:
        # Four times the stream's rate: the checks go by the stream's own clock.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
            begun = time.monotonic()
            for at in range(0, len(data), CHUNK):
                if stop.is_set():
                    return
                due = begun + at * 8 / MUX_RATE / 4
                if due > time.monotonic():
                    time.sleep(due - time.monotonic())
                sender.sendto(data[at:at + CHUNK], ("127.0.0.1", port))

    thread = threading.Thread(target=send)
    thread.start()
    reports = []
    try:
        with watch:
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline and not (reports and reports[-1]["content"]["video"]
                                                        and reports[-1]["content"]["video"]["black"]):
                report = watch.next_report(1.0)
                if report is not None:
                    reports.append(report)
    finally:
        stop.set()
        thread.join()
        service.close()
    video = reports[-1]["content"]["video"]
    assert video["black"] and video["black_seconds"] >= 2 and video["codec"] == "h264"
    assert any(r["thumbnail"] for r in reports)


@pytest.mark.parametrize("offsets, longest", [
    # PTS wraps round 2^33 ticks four seconds in: one run all along.
    ([95_439.0], (9.0, 12.0)),
    # A stream spliced to another whose clock is 1000 s ahead: the run restarts.
    ([0.0, 1000.0], (3.0, 6.5)),
])
def test_runs_are_timed_across_a_pts_wrap_and_restart_at_a_jump(tmp_path, offsets, longest):
    seconds = 12 if len(offsets) == 1 else 6
    parts = [make_ts(tmp_path / f"part{i}.ts", "color=c=black:size=320x240:rate=25", seconds, audio=False,
                     extra=["-output_ts_offset", str(offset)]) for i, offset in enumerate(offsets)]
    reports = feed(b"".join(parts))
    runs = [r["content"]["video"]["black_seconds"] for r in reports if r["content"]["video"]]
    assert longest[0] <= max(runs) <= longest[1]
    assert reports[-1]["content"]["video"]["black"]
