"""What the analysers hear, against ffmpeg's own measures of the same files:
EBU R128 loudness (its ebur128 filter) and silence (silencedetect), with the
stream fed to the analyser as it arrives; then the records `avwatch analyze`
prints for a live UDP input and for an HLS output."""

from __future__ import annotations

import json
import random
import re
import shutil
import socket
import subprocess
from pathlib import Path

import pytest

avwatch_analysis = pytest.importorskip("avwatch_analysis")

from cli.conftest import Avwatch  # noqa: E402  (also puts the checkout's CLI on the path)
from machine import free_port  # noqa: E402
from media import stop_process  # noqa: E402
from avwatch_cli.analyze.record import ErrorTimes, make_record  # noqa: E402

pytestmark = pytest.mark.skipif(shutil.which("ffmpeg") is None, reason="needs ffmpeg")

SECONDS = 20
MUX_RATE = 800_000
CHUNK = 7 * 188
STEREO = "pan=stereo|c0=c0|c1=c0"
# Sound about -23 LUFS: lavfi's sine is at -18 dBFS.
TONE = "sine=frequency={frequency}:sample_rate=48000,volume=-5dB," + STEREO
ENCODERS = {
    "aac": ["-c:a", "aac", "-b:a", "192k"],
    "mp2": ["-c:a", "mp2", "-b:a", "256k"],
    "ac3": ["-c:a", "ac3", "-b:a", "384k"],
    "eac3": ["-c:a", "eac3", "-b:a", "384k"],
    "aac_latm": ["-c:a", "aac", "-b:a", "192k", "-mpegts_flags", "latm"],
}


def make_ts(path: Path, sound: str | None, codec: str = "aac", seconds: float = SECONDS,
            video: bool = False) -> bytes:
    """An MPEG-TS file at MUX_RATE of `sound` (a lavfi graph), and a test
    picture when `video`; its PIDs are 0x100 on, in that order."""
    graph, maps = [], []
    if video:
        graph.append("testsrc=size=320x180:rate=25[v]")
        maps += ["-map", "[v]", "-c:v", "libx264", "-preset", "ultrafast", "-g", "25", "-b:v", "300k"]
    if sound is not None:
        graph.append(f"{sound}[a]")
        maps += ["-map", "[a]", *ENCODERS[codec]]
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-filter_complex", ";".join(graph), *maps,
                    "-t", str(seconds), "-f", "mpegts", "-muxrate", str(MUX_RATE), "-mpegts_start_pid", "0x100",
                    str(path)], check=True, timeout=120)
    return path.read_bytes()


def analyse(ts: bytes, window: float = 1.0) -> list[tuple[float, dict]]:
    """The stream fed as it would arrive (datagrams of 7 packets at the mux
    rate), a window closed every `window` seconds: (window end, report)."""
    analyser = avwatch_analysis.Analyser()
    reports = []
    end = window
    for offset in range(0, len(ts), CHUNK):
        at = offset * 8 / MUX_RATE
        while at >= end:
            reports.append((end, analyser.close_window(end)))
            end += window
        analyser.datagram(ts[offset:offset + CHUNK], at)
    reports.append((end, analyser.close_window(end)))
    return reports


def ffmpeg_loudness(path: Path) -> tuple[float, float]:
    """ffmpeg's integrated loudness of the file and its last short-term reading."""
    done = subprocess.run(["ffmpeg", "-nostdin", "-nostats", "-i", str(path), "-map", "0:a:0", "-af", "ebur128",
                           "-f", "null", "-"], capture_output=True, text=True, check=True, timeout=120)
    short_terms = re.findall(r"\bt: *[\d.]+ .* S: *(-?[\d.]+)", done.stderr)
    integrated = re.findall(r"^ +I: +(-?[\d.]+) LUFS", done.stderr, re.M)
    return float(integrated[-1]), float(short_terms[-1])


def ffmpeg_silences(path: Path) -> list[float]:
    """The silences silencedetect finds (below -60 dB for 2 s): their lengths."""
    done = subprocess.run(["ffmpeg", "-nostdin", "-nostats", "-i", str(path), "-map", "0:a:0",
                           "-af", "silencedetect=noise=-60dB:d=2", "-f", "null", "-"],
                          capture_output=True, text=True, check=True, timeout=120)
    return [float(length) for length in re.findall(r"silence_duration: *([\d.]+)", done.stderr)]


def first_audio(report: dict) -> dict:
    audio = report["content"]["audio"]
    assert audio
    return audio[0]


# ffmpeg prints its figures to 0.1 LU: the agreement asked is 0.1 LU, plus that rounding.
STEADY = 0.1 + 0.05

# 5.1 with every channel at its own level, the LFE loudest: R128 leaves the LFE
# out and weights the surrounds +1.5 dB, so a wrong channel map shows by far more than 0.1 LU.
# (The LFE's tone is low: AC-3 keeps only what is below 120 Hz of it.)
SURROUND = ";".join(f"sine=frequency={frequency}:sample_rate=48000,volume={gain}dB[c{index}]"
                    for index, (frequency, gain) in enumerate(((440, -8), (550, -10), (660, -12), (60, 0),
                                                               (880, -6), (990, -7)))) + \
    ";[c0][c1][c2][c3][c4][c5]join=inputs=6:channel_layout=5.1"


@pytest.mark.parametrize("codec, sound, channels", [
    ("aac", TONE.format(frequency=100), 2),
    ("aac", TONE.format(frequency=1000), 2),
    ("aac", TONE.format(frequency=10000), 2),
    ("mp2", TONE.format(frequency=1000), 2),
    ("ac3", TONE.format(frequency=1000), 2),
    ("eac3", TONE.format(frequency=1000), 2),
    ("aac_latm", TONE.format(frequency=1000), 2),
    ("ac3", SURROUND, 6),
], ids=["aac-100Hz", "aac-1kHz", "aac-10kHz", "mp2-1kHz", "ac3-1kHz", "eac3-1kHz", "latm-1kHz", "ac3-5.1"])
def test_steady_tones_measure_as_ffmpeg_measures_them(tmp_path, codec, sound, channels):
    path = tmp_path / "tone.ts"
    reports = analyse(make_ts(path, sound, codec))
    integrated, short_term = ffmpeg_loudness(path)
    audio = first_audio(reports[-1][1])
    assert (audio["codec"], audio["supported"], audio["channels"], audio["sample_rate"]) == (codec, True, channels,
                                                                                             48000)
    assert audio["decode_errors"] == 0 and audio["frames"] > 0
    assert audio["integrated"] == pytest.approx(integrated, abs=STEADY)
    assert audio["short_term"] == pytest.approx(short_term, abs=STEADY)
    assert audio["momentary"] == pytest.approx(short_term, abs=0.3)
    assert audio["silent"] is False and audio["silent_seconds"] < 0.05  # at most the encoder's last padding


# Programme-like: pink noise over a tone, its level stepping down and up
# (gating matters), ending on a steady level the last short-term reading sees.
PROGRAMME = ("anoisesrc=color=pink:sample_rate=48000:amplitude=0.3:seed=7[noise];"
             "sine=frequency=330:sample_rate=48000[tone];"
             "[noise][tone]amix=inputs=2,"
             "volume='if(lt(t,6),1,if(lt(t,10),0.05,if(lt(t,14),0.3,0.6)))':eval=frame," + STEREO)


def test_programme_material_measures_within_a_loudness_unit_of_ffmpeg(tmp_path):
    path = tmp_path / "programme.ts"
    reports = analyse(make_ts(path, PROGRAMME))
    integrated, short_term = ffmpeg_loudness(path)
    audio = first_audio(reports[-1][1])
    assert audio["integrated"] == pytest.approx(integrated, abs=1.0)
    assert audio["short_term"] == pytest.approx(short_term, abs=1.0)
    # Every reading on the way stays a level (no infinities into JSON), the
    # short-term one only once 3 s were heard.
    readings = [first_audio(report) for _, report in reports if report["content"]["audio"]]
    assert all(r["short_term"] is None for r in readings if r["frames"] * 1024 < 3 * 48000)
    json.dumps(readings, allow_nan=False)


def test_silence_is_found_where_silencedetect_finds_it(tmp_path):
    # Silent from 6 to 11 s; a shorter silence from 14 to 15.5 s is no silence yet.
    sound = TONE.format(frequency=1000) + ",volume=enable='between(t,6,11)+between(t,14,15.5)':volume=0"
    path = tmp_path / "silence.ts"
    window = 0.25
    reports = analyse(make_ts(path, sound), window)
    [expected] = ffmpeg_silences(path)
    heard = [(end, first_audio(report)) for end, report in reports if report["content"]["audio"]]
    flags = [audio["silent"] for _, audio in heard if audio["silent"] is not None]
    # One run of silence flagged, the rest sound.
    assert "".join("S" if flag else "-" for flag in flags).strip("-").count("-") == 0
    run = [(end, audio["silent_seconds"]) for end, audio in heard if audio["silent"]]
    assert run and min(seconds for _, seconds in run) >= 2.0
    # The run's length as silencedetect measures it: the last report in it
    # is at most one window (and one PES) before its end.
    assert max(seconds for _, seconds in run) == pytest.approx(expected, abs=0.5)
    assert max(seconds for _, seconds in run) <= expected + 0.1
    # It is counted in stream time: its start stays put as reports go by
    # (within one PES of ffmpeg's muxer, about 0.35 s of sound, decoded at once).
    starts = [end - seconds for end, seconds in run]
    assert max(starts) - min(starts) < 0.5


def corrupt_audio(ts: bytes, pid: int, share: float) -> bytes:
    """`share` of the audio PID's packets with random bytes in their payload
    (the TS headers left alone: the transport is sound, the sound is not)."""
    data = bytearray(ts)
    chance = random.Random(5)
    for offset in range(0, len(data) - 187, 188):
        if ((data[offset + 1] & 0x1F) << 8 | data[offset + 2]) == pid and chance.random() < share:
            for _ in range(8):
                data[offset + chance.randrange(20, 188)] = chance.randrange(256)
    return bytes(data)


@pytest.mark.parametrize("case", ["corrupt audio", "no audio"])
def test_bad_input_is_counted_and_the_record_stays_whole(tmp_path, case):
    if case == "corrupt audio":
        ts = corrupt_audio(make_ts(tmp_path / "tone.ts", TONE.format(frequency=1000), seconds=8), 0x100, 0.1)
    else:
        ts = make_ts(tmp_path / "video.ts", None, seconds=8, video=True)
    reports = analyse(ts)
    last = reports[-1][1]
    record = make_record(last, uri="u", method="m", started=0.0, wall_end=1000.0, error_times=ErrorTimes())
    json.dumps(record, allow_nan=False)
    assert last["continuity_errors"] == 0
    if case == "no audio":
        assert record["content"]["audio"] == [] and (record["silent"], record["loudness"]) == (None, None)
        assert record["content"]["video"]["codec"] == "h264"
        return
    audio = last["content"]["audio"][0]
    assert audio["decode_errors"] > 0 and audio["frames"] > 100  # of 375: damaged frames skipped, the rest heard
    assert -40 < record["loudness"] < 0 and record["silent"] is False


def four_flags(record: dict) -> tuple:
    return record["black"], record["frozen"], record["silent"], record["loudness"]


def test_analyze_json_over_udp_says_black_frozen_and_loud(tmp_path):
    """A live input of a black picture (so also frozen) and a tone."""
    uri = f"udp://127.0.0.1:{free_port(socket.SOCK_DGRAM)}"
    sender = subprocess.Popen(["ffmpeg", "-nostdin", "-loglevel", "error",
                               "-re", "-f", "lavfi", "-i", "color=black:size=320x180:rate=25",
                               "-re", "-f", "lavfi", "-i", TONE.format(frequency=1000),
                               "-c:v", "libx264", "-preset", "ultrafast", "-g", "25", *ENCODERS["aac"],
                               "-f", "mpegts", f"{uri}?pkt_size=1316"])
    try:
        result = Avwatch().run("analyze", uri, "--json", "--seconds", "7")
    finally:
        stop_process(sender)
    if "CAP_NET_RAW" in result.stderr:
        pytest.skip(result.stderr)
    assert result.returncode == 0, result.stderr
    last = json.loads(result.stdout.splitlines()[-1])
    black, frozen, silent, loudness = four_flags(last)
    assert (black, frozen, silent) == (True, True, False)
    assert loudness == pytest.approx(-23.0, abs=1.0)
    video = last["content"]["video"]
    assert video["codec"] == "h264" and video["luma"] < 20
    assert last["started"] <= video["black_since"] <= last["time"] - 2
    assert last["content"]["audio"][0]["silent_since"] is None


def test_analyze_json_of_an_hls_output_says_silent(tmp_path):
    """An HLS output of a moving picture and no sound: the newest segment
    (4 s) is what the first check decodes."""
    folder = tmp_path / "p1"
    folder.mkdir()
    playlist = folder / "chunks.m3u8"
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-filter_complex",
                    "testsrc=size=320x180:rate=25[v];anullsrc=sample_rate=48000:channel_layout=stereo[a]",
                    "-map", "[v]", "-map", "[a]", "-t", "8", "-c:v", "libx264", "-preset", "ultrafast", "-g", "25",
                    *ENCODERS["aac"], "-f", "hls", "-hls_time", "4", "-hls_list_size", "0",
                    "-hls_segment_filename", str(folder / "segment-%03d.ts"), str(playlist)], check=True, timeout=120)
    result = Avwatch().run("analyze", playlist, "--json", "--seconds", "0.5")
    assert result.returncode == 0, result.stderr
    record = json.loads(result.stdout.splitlines()[0])
    assert four_flags(record) == (False, False, True, -120.7)
    audio = record["content"]["audio"][0]
    assert (audio["codec"], audio["channels"], audio["sample_rate"]) == ("aac", 2, 48000)
    assert audio["silent_since"] == pytest.approx(record["time"] - 4, abs=0.5)
    assert record["content"]["video"]["black_since"] is None
