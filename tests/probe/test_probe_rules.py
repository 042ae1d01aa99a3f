"""The probe's command, stream rules and failure cases, through a stand-in
for avwatch.subprocess."""

import json
import subprocess
import types

import pytest

import avwatch
from probe_fakes import DEFAULT_RECORD, RECORD_KEYS, FakeProber

UDP = "udp://239.0.0.1:1234?localaddr=127.0.0.1"
ENTRIES = ("stream=codec_type,codec_name,sample_fmt,sample_rate,channels,bit_rate,width,height,"
           "bits_per_raw_sample,r_frame_rate,id")
WRAPPERS = ["nice", "-n", "5", "cpulimit", "-l", "60", "--", "ffprobe", "-v", "quiet"]
TAIL = ["-analyzeduration", "2000000", "-show_entries", ENTRIES, "-of", "json", "-i"]

AUDIO_128K = {"codec_type": "audio", "codec_name": "aac", "bit_rate": "128000",
              "sample_fmt": "fltp", "sample_rate": "48000", "channels": 2}
PCM = {"codec_type": "audio", "codec_name": "pcm_s16le", "sample_fmt": "s16", "sample_rate": "48000", "channels": 2}
VIDEO_1080 = {"codec_type": "video", "codec_name": "h264", "width": 1920, "height": 1080, "r_frame_rate": "25/1"}


def probe(prober, streams, uri="/seg.ts", *ids):
    prober.answer(streams)
    return avwatch.get_ffprobe_info(uri, *ids)


@pytest.mark.parametrize("uri, program_id, expected", [
    ("/seg.ts", "1", WRAPPERS + TAIL + ["/seg.ts"]),
    ("UDP://239.0.0.1:1234", "1", WRAPPERS + TAIL + ["UDP://239.0.0.1:1234"]),
    (UDP, "1", WRAPPERS + ["-select_streams", "p:1"] + TAIL + [UDP]),
    (UDP, "", WRAPPERS + ["-select_streams", "p:"] + TAIL + [UDP]),
    (UDP, 7, WRAPPERS + ["-select_streams", "p:7"] + TAIL + [UDP]),
])
def test_command_and_how_run_is_called(prober, uri, program_id, expected):
    avwatch.get_ffprobe_info(uri, program_id, "256", "257")
    [(args, kwargs)] = prober.calls
    assert args == (expected,)
    assert list(kwargs.items()) == [("capture_output", True), ("text", True), ("timeout", 3)]


@pytest.mark.parametrize("streams, expected", [
    pytest.param([AUDIO_128K, VIDEO_1080], {"acodec": "aac", "vcodec": "h264", "vresolution": "1920x1080", "vfps": 25,
                                            "vbitrate": 4147200, "abitrate": 128000, "bitrate": 4275200}, id="sum"),
    pytest.param([PCM], {"abitrate": 1536000, "bitrate": 1536000, "vresolution": "0x0"}, id="pcm-s16"),
    pytest.param([{**PCM, "sample_fmt": "fltp"}], {"abitrate": 3072000}, id="pcm-fltp"),
    pytest.param([{k: v for k, v in PCM.items() if k != "channels"}], {"abitrate": 0, "acodec": "pcm_s16le"},
                 id="pcm-without-channels"),
    pytest.param([{**VIDEO_1080, "bits_per_raw_sample": "10"}], {"vbitrate": 5184000}, id="ten-bit-estimate"),
    pytest.param([{**VIDEO_1080, "bit_rate": "3000000", "bits_per_raw_sample": "x"}], {"vbitrate": 3000000},
                 id="reported-video-rate-wins"),
    pytest.param([{**VIDEO_1080, "r_frame_rate": "30000/1001"}], {"vfps": 29}, id="ntsc"),
    pytest.param([{**VIDEO_1080, "r_frame_rate": "60000/1001/9"}], {"vfps": 59}, id="extra-parts-ignored"),
    pytest.param([{**VIDEO_1080, "r_frame_rate": "0/0"}], {"vfps": 0, "vbitrate": 0}, id="unknown-rate"),
    pytest.param([{k: v for k, v in VIDEO_1080.items() if k != "r_frame_rate"}], {"vfps": 0, "vbitrate": 0},
                 id="no-rate"),
    pytest.param([{**VIDEO_1080, "width": 0}], {"vresolution": "0x1080", "vbitrate": 0}, id="zero-width"),
    pytest.param([{"codec_type": "data", "codec_name": "scte_35", "bit_rate": "5"}],
                 {**DEFAULT_RECORD, "vresolution": "0x0"}, id="data-only"),
    pytest.param([{**AUDIO_128K, "codec_type": ""}, {k: v for k, v in VIDEO_1080.items() if k != "codec_type"}],
                 {**DEFAULT_RECORD, "vresolution": "0x0"}, id="no-codec-type"),
    pytest.param([AUDIO_128K, {**AUDIO_128K, "codec_name": "mp2", "bit_rate": "64000"}],
                 {"acodec": "mp2", "abitrate": 64000}, id="last-audio-wins"),
    pytest.param([{**VIDEO_1080, "bit_rate": "1"}, {"codec_type": "video", "codec_name": "png", "bit_rate": "2"}],
                 {"vcodec": "png", "vresolution": "1920x1080", "vbitrate": 2}, id="running-size-kept"),
    pytest.param([{**VIDEO_1080, "bit_rate": "1"}, {"codec_type": "video", "width": 1280, "height": 720}],
                 {"vfps": 25, "vbitrate": 1843200, "vresolution": "1280x720"}, id="rate-of-earlier-stream"),
    pytest.param([{**AUDIO_128K, "codec_name": None}], {"acodec": None}, id="null-codec-name-is-present"),
])
def test_stream_rules(prober, streams, expected):
    record = probe(prober, streams)
    assert list(record) == RECORD_KEYS
    assert {key: record[key] for key in expected} == expected


@pytest.mark.parametrize("ids, expected", [
    pytest.param(("1", "256", "257"), {"vcodec": "h264", "acodec": "aac", "vresolution": "1920x1080"}, id="decimal"),
    pytest.param(("1", "0x100", "0x101"), {"vcodec": "h264", "acodec": "aac"}, id="hex-text"),
    pytest.param(("1", "256", ""), {"vcodec": "h264", "acodec": "", "bitrate": 4147200}, id="video-only"),
    pytest.param(("1", "", "257"), {"vcodec": "", "acodec": "aac", "vresolution": "0x0"}, id="audio-only"),
    pytest.param(("1", "258", "256"), {"vcodec": "mpeg2video", "acodec": ""}, id="kind-from-codec-type"),
])
def test_udp_keeps_the_streams_of_its_ids(prober, ids, expected):
    streams = [{**VIDEO_1080, "id": "0x100"}, {**AUDIO_128K, "id": "0x101"},
               {**VIDEO_1080, "codec_name": "mpeg2video", "width": 720, "id": "0x102"},
               {**AUDIO_128K, "codec_name": "mp2"}]
    if ids[1] == "258":  # the audio id names a video stream
        streams = [{**streams[2], "id": "0x100"}, streams[1]]
    record = probe(prober, streams, UDP, *ids)
    assert {key: record[key] for key in expected} == expected


def test_an_uppercase_udp_uri_keeps_every_stream(prober):
    record = probe(prober, [{**AUDIO_128K, "codec_name": "mp2"}], "UDP://239.0.0.1:1234", "1", "", "")
    assert record["acodec"] == "mp2"


@pytest.mark.parametrize("returncode, stdout", [
    (1, json.dumps({"streams": [AUDIO_128K]})), (-9, json.dumps({"streams": [AUDIO_128K]})),
    (0, ""), (0, "not json"), (0, "{}"), (0, '{"streams": []}'), (0, '{"streams": null}'),
    (0, "Process 1 detected\n"), (0, '{"streams": [{"codec_type": "audio"}]'),
])
def test_failed_or_empty_answers_give_the_default_record(prober, returncode, stdout):
    prober.returncode, prober.stdout = returncode, stdout
    first = avwatch.get_ffprobe_info("/seg.ts")
    assert first == DEFAULT_RECORD and list(first) == RECORD_KEYS
    first["acodec"] = "changed"
    assert avwatch.get_ffprobe_info("/seg.ts") == DEFAULT_RECORD


def test_a_timeout_gives_the_default_record(prober):
    prober.error = subprocess.TimeoutExpired(["nice"], 3)
    assert avwatch.get_ffprobe_info(UDP, "1", "256", "257") == DEFAULT_RECORD


@pytest.mark.parametrize("stdout, expected", [
    ('{"streams": [{"codec_type": "audio", "codec_name": "aac"}]}\nProcess 12 detected\n', "aac"),
    ('  {"streams": [{"codec_type": "audio", "codec_name": "aac"}]}{"streams": []}', "aac"),
    ('{"streams": [{"codec_type": "audio", "codec_name": "a}]\\"{["}]}Process', 'a}]"{['),
])
def test_text_after_the_first_json_value_is_ignored(prober, stdout, expected):
    prober.stdout = stdout
    assert avwatch.get_ffprobe_info("/seg.ts")["acodec"] == expected


@pytest.mark.parametrize("uri, ids, stdout, error", [
    (None, (), "", AttributeError),
    ("/seg.ts", (), "[1, 2]", AttributeError),
    ("/seg.ts", (), "5 Process 1 detected", AttributeError),
    ("/seg.ts", (), '{"streams": 5}', TypeError),
    ("/seg.ts", (), '{"streams": [[1]]}', AttributeError),
    ("/seg.ts", (), {**AUDIO_128K, "bit_rate": "N/A"}, ValueError),
    ("/seg.ts", (), {**VIDEO_1080, "bit_rate": "N/A"}, ValueError),
    ("/seg.ts", (), {**PCM, "sample_fmt": 16}, TypeError),
    ("/seg.ts", (), {**PCM, "sample_rate": None}, TypeError),
    ("/seg.ts", (), {**VIDEO_1080, "r_frame_rate": 25}, AttributeError),
    ("/seg.ts", (), {**VIDEO_1080, "r_frame_rate": "25"}, IndexError),
    ("/seg.ts", (), {**VIDEO_1080, "r_frame_rate": "a/b"}, ValueError),
    ("/seg.ts", (), {**VIDEO_1080, "bits_per_raw_sample": "N/A"}, ValueError),
    ("/seg.ts", (), {**VIDEO_1080, "r_frame_rate": "inf/1"}, OverflowError),
    (UDP, ("1", "256", "257"), {**VIDEO_1080, "id": "0x100", "width": "wide"}, ValueError),
])
def test_malformed_answers_raise(prober, uri, ids, stdout, error):
    prober.stdout = stdout if isinstance(stdout, str) else json.dumps({"streams": [stdout]})
    with pytest.raises(error):
        avwatch.get_ffprobe_info(uri, *ids)


def test_the_estimate_reads_this_streams_own_size(prober):
    with pytest.raises(KeyError):
        probe(prober, [{**VIDEO_1080, "bit_rate": "1"}, {"codec_type": "video", "codec_name": "png"}])


def test_module_globals_are_looked_up_at_every_use(prober, monkeypatch):
    prober.answer([PCM, VIDEO_1080])
    monkeypatch.setattr(avwatch, "get_bit_depth", lambda sample_format: 1)
    assert avwatch.get_ffprobe_info("/seg.ts")["abitrate"] == 96000
    monkeypatch.setattr(avwatch, "to_int", lambda value: 7)
    assert avwatch.get_ffprobe_info("/seg.ts")["vfps"] == 7

    class OwnDecodeError(Exception):
        pass
    monkeypatch.setattr(avwatch, "json", types.SimpleNamespace(
        loads=lambda text: (_ for _ in ()).throw(OwnDecodeError()), JSONDecodeError=OwnDecodeError))
    assert avwatch.get_ffprobe_info("/seg.ts") == DEFAULT_RECORD


def test_timeout_class_is_the_module_globals(prober):
    class OwnTimeout(Exception):
        pass
    prober.TimeoutExpired = OwnTimeout
    prober.error = OwnTimeout()
    assert avwatch.get_ffprobe_info("/seg.ts") == DEFAULT_RECORD
    prober.error = subprocess.TimeoutExpired(["nice"], 3)
    with pytest.raises(subprocess.TimeoutExpired):
        avwatch.get_ffprobe_info("/seg.ts")


def test_a_patched_subprocess_run_is_called_instead_of_the_native_runner(monkeypatch):
    fake = FakeProber()
    fake.answer([AUDIO_128K])
    monkeypatch.setattr(avwatch, "subprocess", subprocess)
    monkeypatch.setattr(subprocess, "run", fake.run)
    assert avwatch.get_ffprobe_info("/nowhere.ts")["abitrate"] == 128000
    assert len(fake.calls) == 1
