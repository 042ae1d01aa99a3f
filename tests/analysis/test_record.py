"""The published record and the input record's reading."""

from __future__ import annotations

import json

import pytest

avwatch_analysis = pytest.importorskip("avwatch_analysis")

from cli.conftest import Avwatch  # noqa: F401  (puts the checkout's CLI on the path when not installed)
from avwatch_cli.analyze.lines import human_line
from avwatch_cli.analyze.record import MAX_PIDS, ErrorTimes, make_record
from avwatch_cli.analyze.uri import input_uri, program_of


@pytest.mark.parametrize("record, uri", [
    ({"uri": "udp://239.1.1.1:5000", "miface": "10.0.0.5"}, "udp://239.1.1.1:5000?localaddr=10.0.0.5"),
    ({"uri": "udp://239.1.1.1:5000?fifo_size=9", "miface": "10.0.0.5"},
     "udp://239.1.1.1:5000?fifo_size=9&localaddr=10.0.0.5"),
    ({"uri": "udp://239.1.1.1:5000?localaddr=10.0.0.9", "miface": "10.0.0.5"},
     "udp://239.1.1.1:5000?localaddr=10.0.0.9"),
    ({"uri": "srt://host:9000", "miface": "10.0.0.5"}, "srt://host:9000"),
    ({"uri": "rtp://127.0.0.1:5000", "miface": ""}, "rtp://127.0.0.1:5000"),
    ({}, ""),
])
def test_input_uri(record, uri):
    assert input_uri(record) == uri


@pytest.mark.parametrize("value, program", [(1, 1), ("7", 7), (0, None), ("", None), ("abc", None),
                                            (70000, None), (None, None), ([1], None)])
def test_program_of(value, program):
    assert program_of({"pid": value}) == program


def report(pids: int, window_errors: int = 0) -> dict:
    counters = {"continuity_errors": window_errors, "pat_errors": 0}
    return {"bitrate": 1000, "packets": 10, "continuity_errors": 5, "window": counters, "window_start": 1.0,
            "window_end": 2.0, "last_data": 1.5, "in_sync": True, "pat_present": True, "pmt_present": True,
            "transport_stream_id": 1, "delay_factor_ms": 3.14159, "media_loss_rate": 0.0, "longest_gap": 0.1,
            "window_longest_gap": 0.1, "rtp": False, "programs": [],
            "pids": [{"pid": pid, "kind": "", "codec": "", "bitrate": pid, "packets": 1, "window_packets": 1,
                      "continuity_errors": 0, "scrambled": 0} for pid in range(pids)]}


def test_record_keeps_the_fastest_pids_and_times_the_rises():
    times = ErrorTimes()
    first = make_record(report(100, window_errors=2), uri="u", method="m", started=0.0, wall_end=50.0,
                        error_times=times)
    assert first["pid_count"] == 100 and len(first["pids"]) == MAX_PIDS
    assert [p["pid"] for p in first["pids"][:2]] == [99, 98] and "window_packets" not in first["pids"][0]
    assert first["data_age"] == 0.5 and first["delay_factor_ms"] == 3.14
    assert first["error_times"] == {"continuity_errors": 50.0}
    later = make_record(report(1), uri="u", method="m", started=0.0, wall_end=60.0, error_times=times)
    assert later["error_times"] == {"continuity_errors": 50.0}  # no rise: the time of the last one stays


@pytest.mark.parametrize("silence, says", [(0.3, None), (4.0, "no data for 4.0 s"), (75.0, "no data for 1 min 15 s")])
def test_the_terminal_line_names_an_outage_and_its_length(ts_files, silence, says):
    analyser = avwatch_analysis.Analyser()
    stream = ts_files[2_000_000]
    for i in range(0, 7 * 188 * 200, 7 * 188):
        analyser.datagram(stream[i:i + 7 * 188], 0.001 * (i // (7 * 188)))
    analyser.close_window(0.5)
    # The input stops: the next window ends `silence` seconds after the last datagram.
    line = human_line(make_record(analyser.close_window(0.199 + silence), uri="u", method="m", started=0.0,
                                  wall_end=100.0, error_times=ErrorTimes()))
    if says is None:
        assert "no data" not in line and "no PAT" not in line
    else:
        assert says in line and "no PAT" not in line


@pytest.mark.parametrize("rises, since", [
    ([50.0], 50.0),
    ([50.0, 51.0, 100.0], 50.0),          # rises close together are one run
    ([50.0, 51.0, 200.0], 200.0),         # after a quiet spell the fault is new again
    ([50.0, 110.0, 170.0, 230.0], 50.0),  # a fault that recurs each minute never ends its run
])
def test_since_is_the_start_of_the_current_run_of_rises(rises, since):
    times = ErrorTimes()
    record = {}
    for at in [*rises, rises[-1] + 5]:   # and a quiet window after
        errors = 1 if at in rises else 0
        record = make_record(report(1, window_errors=errors), uri="u", method="m", started=0.0, wall_end=at,
                             error_times=times)
    assert record["error_since"] == {"continuity_errors": since}
    assert record["error_times"] == {"continuity_errors": rises[-1]}


VIDEO = {"pid": 256, "codec": "h264", "supported": True, "width": 640, "height": 360, "pictures": 12,
         "black": True, "black_seconds": 2.5, "frozen": False, "frozen_seconds": 1.2, "luma": 16.2345,
         "decode_errors": 0}
AUDIO = {"pid": 257, "codec": "aac", "supported": True, "channels": 2, "sample_rate": 48000, "silent": False,
         "silent_seconds": 1.5, "momentary": -22.987, "short_term": -23.014, "integrated": -23.0,
         "sample_peak": -20.1, "frames": 470, "decode_errors": 1}


@pytest.mark.parametrize("content, flags, since", [
    (None, (None, None, None, None), None),
    ({"video": None, "audio": []}, (None, None, None, None), None),
    ({"video": VIDEO, "audio": [AUDIO, dict(AUDIO, pid=258, silent=True, short_term=-40.0)]},
     (True, False, False, -23.01), {"black_since": 97.5, "frozen_since": None, "silent_since": [None, 98.5]}),
    ({"video": dict(VIDEO, black=None, black_seconds=0.0), "audio": [dict(AUDIO, silent=True, short_term=None)]},
     (None, False, True, None), {"black_since": None, "frozen_since": None, "silent_since": [98.5]}),
])
def test_the_record_carries_what_a_viewer_sees_and_hears(content, flags, since):
    report_ = report(1)
    if content is not None:
        report_.update(content=content, thumbnail=b"\xff\xd8")
    record = make_record(report_, uri="u", method="m", started=0.0, wall_end=100.0, error_times=ErrorTimes(),
                         thumbnail_time=99.25)
    json.dumps(record)  # no bytes, no infinities
    assert (record["black"], record["frozen"], record["silent"], record["loudness"]) == flags
    line = human_line(record)
    assert ("BLACK" in line, "SILENT" in line, "LUFS" in line) == (bool(flags[0]), bool(flags[2]), flags[3] is not None)
    published = record["content"]
    assert published["thumbnail_time"] == 99.25 and "thumbnail" not in record
    if since is None:
        assert published["video"] is None and published["audio"] == []
        return
    assert {k: published["video"][k] for k in ("black_since", "frozen_since")} == \
        {k: since[k] for k in ("black_since", "frozen_since")}
    assert [audio["silent_since"] for audio in published["audio"]] == since["silent_since"]
    assert "black_seconds" not in published["video"] and "silent" not in published["audio"][0]
