"""Transport streams made by ffmpeg at a constant mux rate, and a run of the
analyser watching a loopback port through the relay."""

from __future__ import annotations

import subprocess
import time
from pathlib import Path

import pytest

from relay import Faults, Relay, ServiceSocket, free_port

SECONDS = 6


def make_ts(path: Path, mux_rate: int, seconds: int = SECONDS) -> bytes:
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=640x360:rate=25",
                    "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-t", str(seconds),
                    "-c:v", "libx264", "-preset", "ultrafast", "-g", "25", "-b:v", str(mux_rate // 2),
                    "-c:a", "aac", "-b:a", "96k", "-f", "mpegts", "-muxrate", str(mux_rate), str(path)], check=True)
    return path.read_bytes()


def run_through_relay(ts: bytes, mux_rate: int, faults: Faults, *, uri_scheme: str = "udp",
                      seconds: float | None = None, program: int | None = None):
    """Sends the stream through the relay to a port a plain socket holds,
    with the analyser watching; returns (relay, reports, service socket)."""
    import avwatch_analysis

    port = free_port()
    service = ServiceSocket(port)
    try:
        watch = avwatch_analysis.Watch(f"{uri_scheme}://127.0.0.1:{port}", program=program)
    except PermissionError as error:
        service.close()
        pytest.skip(str(error))
    relay = Relay(ts, mux_rate, ("127.0.0.1", port), faults, seconds)
    reports = []
    try:
        relay.start()
        while relay.is_alive():
            report = watch.next_report(0.5)
            if report is not None:
                reports.append(report)
        settle = time.monotonic() + 1.5
        while time.monotonic() < settle:
            report = watch.next_report(0.5)
            if report is not None:
                reports.append(report)
    finally:
        relay.stopping.set()
        relay.join()
        watch.close()
        service.close()
    if relay.failure is not None:
        raise relay.failure
    return relay, reports, service
