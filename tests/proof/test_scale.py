"""A hundred output and a hundred input monitors in the threads of one
process, against the real Redis and the real media server tree, with a
prober that answers after 50 ms: every monitor keeps its period."""

import json
import os
import statistics
import time

import avwatch
from proof_fakes import ENV_FILE, HTML_ROOT
from call_thread import CallThread as MonitorThread

CHANNELS = 100
RUN_SECONDS = 30
PAUSE = 3            # both monitors' pause with a 6 s fragment duration
PROBE_SECONDS = 0.05
# A pass probes once, then pauses: its period, within 10 %.
PERIOD = PAUSE + PROBE_SECONDS
TOLERANCE = 0.10

MEASURED = {"acodec": "aac", "vcodec": "h264", "vresolution": "640x360", "vfps": 25, "vbitrate": 900000,
            "abitrate": 128000, "bitrate": 1028000}


def slow_probe(*args):
    """The prober's wait, with the interpreter lock released as the real
    child-process wait releases it."""
    time.sleep(PROBE_SECONDS)
    return dict(MEASURED)


class PublishTimes:
    """The caller's client, shared by every monitor; this view of it notes
    when its own monitor publishes."""

    def __init__(self, client, watched):
        self.client = client
        self.watched = watched
        self.times = []

    def get(self, key):
        return self.client.get(key)

    def set(self, key, value):
        self.client.set(key, value)
        if key == self.watched:
            self.times.append(time.monotonic())

    def delete(self, key):
        return self.client.delete(key)


def media_server_tree(ch_uid):
    """A fresh segment (dated ahead, so it stays fresh) and a playlist that
    advertises no bandwidth: every output pass probes."""
    folder = HTML_ROOT / ch_uid / "p1"
    folder.mkdir(parents=True)
    segment = folder / "segment-1.ts"
    segment.write_bytes(b"")
    future = time.time() + 3600
    os.utime(segment, (future, future))
    (HTML_ROOT / ch_uid / "a").mkdir()
    (HTML_ROOT / ch_uid / "a" / "playlist.m3u8").write_text(
        "#EXTM3U\n#EXT-X-STREAM-INF:RESOLUTION=640x360\n../p1/chunks.m3u8\n")


def test_two_hundred_monitors_keep_their_period(kestrel_root, redis_server, broker, monkeypatch):
    monkeypatch.setattr(avwatch, "get_ffprobe_info", slow_probe)
    ENV_FILE.write_text(json.dumps({"SRS_VHOST_HLS_HLS_FRAGMENT": "6"}))
    client = redis_server.client()
    views, monitors = [], []
    for number in range(CHANNELS):
        ch_uid = f"s{number}"
        media_server_tree(ch_uid)
        broker.set(f"ch:{ch_uid}", json.dumps({"live": True}))
        broker.set(f"ch:{ch_uid}:input:p1", json.dumps({"uri": f"srt://127.0.0.1:{9000 + number}"}))
        for function, key in ((avwatch.ffmpeg_output_bitrate, f"ch:{ch_uid}:out:p1"),
                              (avwatch.ffmpeg_input_bitrate, f"ch:{ch_uid}:in:p1")):
            view = PublishTimes(client, key)
            views.append(view)
            monitors.append(MonitorThread(function, ch_uid, "p1", view, name=key))

    # Monitors start as their channels do, spread over one period.
    stagger = PAUSE / len(monitors)
    started = time.monotonic()
    for monitor in monitors:
        monitor.start()
        time.sleep(stagger)
    time.sleep(max(0.0, RUN_SECONDS - (time.monotonic() - started)))
    for number in range(CHANNELS):
        broker.set(f"ch:s{number}", json.dumps({"live": False}))
    for monitor in monitors:
        monitor.join(3 * PERIOD)
    client.close()

    assert [monitor.error for monitor in monitors if monitor.error is not None] == []
    periods = {view.watched: [later - earlier for earlier, later in zip(view.times, view.times[1:])]
               for view in views}
    all_periods = [period for values in periods.values() for period in values]
    print(f"{len(all_periods)} periods of {len(monitors)} monitors: min {min(all_periods):.3f} s, "
          f"median {statistics.median(all_periods):.3f} s, max {max(all_periods):.3f} s")
    assert all(len(values) >= RUN_SECONDS // PERIOD - 2 for values in periods.values()), \
        {key: len(values) for key, values in periods.items()}
    off = {key: [round(period, 3) for period in values if abs(period - PERIOD) > TOLERANCE * PERIOD]
           for key, values in periods.items()}
    assert {key: values for key, values in off.items() if values} == {}
