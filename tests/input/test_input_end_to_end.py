"""The input monitor on a live UDP stream from ffmpeg, with the real probe,
the real 3-second period and a real Redis."""

import json
import os
import threading
import time

import avwatch
from machine import command_lines
from store.harness import DEFAULT_RECORD, MonitorThread, put

CHANNEL, SOURCE, STATUS = "ch:e2e", "ch:e2e:input:main", "ch:e2e:in:main"


class PassLog:
    """Stands in for the time module: at each pause it notes the record just
    published, then really sleeps."""

    def __init__(self, broker):
        self.broker = broker
        self.records = []
        self.changed = threading.Condition()

    def sleep(self, seconds):
        assert seconds == 3
        record = self.broker.get(STATUS)
        with self.changed:
            self.records.append(json.loads(record) if record is not None else None)
            self.changed.notify_all()
        time.sleep(seconds)

    def wait_for(self, monitor, passes, until=lambda records: True):
        """Waits until at least `passes` pauses have been logged and `until`
        holds for the records so far; gives up after about one pass's time
        (the probe's 3 s plus the 3 s pause) per pass, or when the monitor ends."""
        deadline = time.monotonic() + 7 * passes + 5
        with self.changed:
            while (len(self.records) < passes or not until(self.records)) and monitor.thread.is_alive() \
                    and time.monotonic() < deadline:
                self.changed.wait(0.2)
            records = list(self.records)
        assert len(records) >= passes, f"{len(records)} passes {records}, error {monitor.error!r}"
        return records


def measured(record):
    return (list(record) == list(DEFAULT_RECORD) and record["vcodec"] == "h264" and record["acodec"] == "aac"
            and record["vresolution"] == "640x360" and record["vfps"] == 25
            and record["vbitrate"] > 0 and record["abitrate"] > 0 and record["bitrate"] > 0)


def probers_on(port):
    """Live processes of the prober or its cap whose command line names the port."""
    return [(pid, args) for pid, args in command_lines().items()
            if any(f":{port}" in arg for arg in args)
            and any(os.path.basename(arg) in ("ffprobe", "cpulimit", "nice") for arg in args)]


def test_live_udp_stream(broker, udp_stream, monkeypatch):
    """About 30 s: real passes of up to 6 s each."""
    put(broker, CHANNEL, {"live": True})
    put(broker, SOURCE, {"uri": udp_stream.uri, "miface": "127.0.0.1", "pid": 1, "vpid": 256, "apid": 257})
    log = PassLog(broker)
    monkeypatch.setattr(avwatch, "time", log)
    monitor = MonitorThread("e2e", "main", broker, broker).start()
    try:
        first_two = log.wait_for(monitor, 2)[:2]
        assert any(measured(record) for record in first_two), first_two

        udp_stream.stop()
        # The pass under way may still have heard the stream; a later one may not.
        stopped_at = len(log.records) + 1
        later = log.wait_for(monitor, stopped_at + 1, lambda records: DEFAULT_RECORD in records[stopped_at:])
        assert DEFAULT_RECORD in later[stopped_at:stopped_at + 2], later
    finally:
        monitor.finish()

    assert monitor.error is None and monitor.returned and monitor.result is None
    assert broker.exists(STATUS) == 0
    deadline = time.monotonic() + 2
    while probers_on(udp_stream.port) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert probers_on(udp_stream.port) == []
