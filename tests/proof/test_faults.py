"""Faults from outside while the monitors run: the Redis server restarted,
and an HLS folder whose segments come and go every second."""

import json
import re
import subprocess
import sys
import time
from pathlib import Path

import redis

import avwatch
from proof_fakes import HTML_ROOT
from call_thread import CallThread as MonitorThread
from proof_harness import PausingClock, PublishingBroker

TOOLS = Path(__file__).resolve().parents[2] / "tools"
if str(TOOLS) not in sys.path:
    sys.path.insert(0, str(TOOLS))

from hls_standin import HlsStandIn  # noqa: E402

LIVE = json.dumps({"live": True})
STOPPED = json.dumps({"live": False})
LOG_PREFIX = "Error in ffmpeg_output_bitrate: "
MEASURED = {"acodec": "aac", "vcodec": "h264", "vresolution": "640x360", "vfps": 25, "vbitrate": 900000,
            "abitrate": 128000, "bitrate": 1028000}


def pauses_of(events, thread_name):
    return [event for event in events if event[1] == "pause" and event[3] == thread_name]


def publishes_of(events, key):
    return [event for event in events if event[1] == "publish" and event[2] == key]


def test_a_redis_restart_is_logged_by_the_output_monitor_and_ends_the_input_monitor(
        own_redis_server, kestrel_root, timeline, monkeypatch):
    server = own_redis_server
    setup = server.client()
    # Channel 7's output (no segment folder: every pass publishes at once)
    # and channel 8's input.
    setup.set("ch:7", LIVE)
    setup.set("ch:8", LIVE)
    setup.set("ch:8:input:p1", json.dumps({"uri": "srt://127.0.0.1:9000"}))
    output_key, input_key = "ch:7:out:p1", "ch:8:in:p1"
    monkeypatch.setattr(avwatch, "time", PausingClock(timeline, scale=0.1))  # 3 s pauses take 0.3 s
    monkeypatch.setattr(avwatch, "get_ffprobe_info", lambda *args: dict(MEASURED))

    output = MonitorThread(avwatch.ffmpeg_output_bitrate, "7", "p1",
                           PublishingBroker(server.client(), timeline, output_key), name="output").start()
    input_ = MonitorThread(avwatch.ffmpeg_input_bitrate, "8", "p1",
                           PublishingBroker(server.client(), timeline, input_key), name="input").start()
    assert timeline.wait_for(lambda events: publishes_of(events, output_key) and publishes_of(events, input_key), 10)

    # The restarted server comes back with what it held (a snapshot, as a
    # persistent deployment keeps its data).
    setup.save()
    server.stop()
    input_.join(60)
    assert isinstance(input_.error, redis.ConnectionError), repr(input_.error)
    assert timeline.wait_for(lambda events: any(event[1] == "log" for event in events), 60)
    back = len(timeline.events)
    server.start()
    assert timeline.wait_for(lambda events: publishes_of(events[back:], output_key), 30)

    after = timeline.events[back:]
    first_publish = publishes_of(after, output_key)[0]
    pauses_before_it = [event for event in pauses_of(after, "output") if event[0] < first_publish[0]]
    # The pass under way when the server came back may still fail; the next
    # one publishes.
    assert len(pauses_before_it) <= 1, after
    logs = [event[2] for event in timeline.events if event[1] == "log"]
    assert logs and all(message.startswith(LOG_PREFIX) and "connect" in message.lower() for message in logs), logs
    assert output.thread.is_alive()

    # The input monitor ended on the error without deleting its key.
    assert json.loads(server.client().get(input_key)) == MEASURED

    server.client().set("ch:7", STOPPED)
    output.join(30)
    assert output.returned


ROTATION_SECONDS = 60
SEGMENT_GONE = re.compile(re.escape(LOG_PREFIX) + r"\[Errno 2\] No such file or directory: '"
                          + re.escape(str(HTML_ROOT / "42" / "p1")) + r"/segment-\d+\.ts'$")


def test_segments_rotating_every_second_are_published_every_pass(kestrel_root, broker, timeline, monkeypatch):
    monkeypatch.setattr(avwatch, "subprocess", subprocess)
    monkeypatch.setattr(avwatch, "time", PausingClock(timeline))
    output_key = "ch:42:out:p1"
    broker.set("ch:42", LIVE)
    # One-second segments, four kept, the oldest deleted as each new one is
    # renamed into place; the playlist advertises no bandwidth, so every
    # pass probes the newest segment with the real prober.
    with HlsStandIn(HTML_ROOT, "42", "p1", fragment=1):
        started = time.monotonic()
        monitor = MonitorThread(avwatch.ffmpeg_output_bitrate, "42", "p1",
                                PublishingBroker(broker, timeline, output_key), name="output").start()
        time.sleep(ROTATION_SECONDS)
        broker.set("ch:42", STOPPED)
        monitor.join(30)
    assert monitor.returned, repr(monitor.error)

    # Between two pauses lies one pass: it published, or it met a segment
    # that vanished between the listing and its stat.
    passes, current = [], []
    for event in timeline.events:
        if event[1] == "pause":
            passes.append(current)
            current = []
        else:
            current.append(event[1:])
    assert len(passes) >= ROTATION_SECONDS // 2, f"{len(passes)} passes in {time.monotonic() - started:.0f} s"
    for number, events in enumerate(passes):
        kinds = [event[0] for event in events]
        assert kinds in (["publish"], ["log"]), (number, events)
        if kinds == ["log"]:
            assert SEGMENT_GONE.match(events[0][1]), events[0][1]

    records = [json.loads(event[2]) for events in passes for event in events if event[0] == "publish"]
    assert all(re.fullmatch(r"segment-\d+\.ts", record["lastts"]) for record in records), records
    measured = [record for record in records if record["vcodec"] == "h264" and record["bitrate"] > 0]
    assert len(measured) == len(records), [record for record in records if record not in measured]
    print(f"{len(passes)} passes, {len(records)} published, "
          f"{len(passes) - len(records)} met a vanished segment")
