"""Answers that real ffprobe builds printed, through the probe's rules and
through a plain transcription of them, as a file and as a UDP source."""

import json
from pathlib import Path

import pytest

import avwatch
from probe_fakes import RECORD_KEYS

# Copied into the repository with their provenance (tests/data/real/PROVENANCE.md).
ANSWER_FOLDER = Path(__file__).resolve().parents[1] / "data/real/ffprobe"
ANSWERS = sorted(ANSWER_FOLDER.glob("*.json"))
ALLOWED = (AttributeError, TypeError, ValueError, KeyError, IndexError, OverflowError)


def to_int(number):
    return int(float(number))


def is_different_id(stream_id, wanted):
    if stream_id == str(wanted):
        return False
    try:
        return stream_id != hex(int(wanted))
    except ValueError:
        return True


def expected_record(document, uri, video_id, audio_id):
    record = {"acodec": "", "vcodec": "", "vresolution": "", "vfps": 0, "vbitrate": 0, "abitrate": 0, "bitrate": 0}
    streams = document.get("streams")
    if not streams:
        return record
    width = height = 0
    for stream in streams:
        codec_type = stream.get("codec_type")
        if not codec_type:
            continue
        if uri.startswith("udp"):
            stream_id = stream.get("id")
            if not stream_id or (is_different_id(stream_id, video_id) and is_different_id(stream_id, audio_id)):
                continue
        if codec_type == "audio":
            if "codec_name" in stream:
                record["acodec"] = stream["codec_name"]
            if "bit_rate" in stream:
                record["abitrate"] = to_int(stream["bit_rate"])
            elif "sample_fmt" in stream and "sample_rate" in stream and "channels" in stream:
                record["abitrate"] = (avwatch.get_bit_depth(stream["sample_fmt"]) * to_int(stream["sample_rate"])
                                      * to_int(stream["channels"]))
        elif codec_type == "video":
            bits = 8
            if "codec_name" in stream:
                record["vcodec"] = stream["codec_name"]
            width = stream.get("width", width)
            height = stream.get("height", height)
            if "r_frame_rate" in stream:
                parts = stream["r_frame_rate"].split("/")
                numerator, denominator = float(parts[0]), float(parts[1])
                record["vfps"] = 0 if denominator == 0 else to_int(numerator / denominator)
            if "bit_rate" in stream:
                record["vbitrate"] = to_int(stream["bit_rate"])
                continue
            bits = stream.get("bits_per_raw_sample", bits)
            if width and height:
                record["vbitrate"] = to_int(to_int(stream["width"]) * to_int(stream["height"]) * record["vfps"]
                                            * (to_int(bits) / 100))
    record["vresolution"] = f"{width}x{height}"
    record["bitrate"] = to_int(record["abitrate"] + record["vbitrate"])
    return record


def outcome(function, *args):
    try:
        return function(*args)
    except ALLOWED as error:
        return type(error)


@pytest.mark.parametrize("source", [("/seg.ts", "", ""), ("udp://127.0.0.1:5000?localaddr=", "256", "257"),
                                    ("udp://127.0.0.1:5000?localaddr=", "0x1", "0x2")], ids=["file", "udp", "udp-hex"])
@pytest.mark.parametrize("answer", ANSWERS, ids=[path.stem for path in ANSWERS])
def test_real_answers(prober, answer, source):
    uri, video_id, audio_id = source
    text = answer.read_text()
    prober.stdout = text + "Process 4242 detected\n"
    record = outcome(avwatch.get_ffprobe_info, uri, "1", video_id, audio_id)
    assert record == outcome(expected_record, json.loads(text), uri, video_id, audio_id)
    if isinstance(record, dict):
        assert list(record) == RECORD_KEYS


def test_the_real_answers_are_there():
    assert len(ANSWERS) >= 20, ANSWER_FOLDER
