#!/usr/bin/env python3
"""The live demo behind ./demo: a synthetic channel watched by both monitors.

Inside tools/sandbox (the media server's tree is a private tmpfs), it starts
a redis-server on a free port, ffmpeg sending a live MPEG-TS stream over UDP
(the channel's input) and the HLS stand-in writing segments and a playlist
(the channel's output); writes the channel and input source records; runs
`avwatch monitor` on the channel and `avwatch serve` beside it; and shows both
status records as they change, with the health states serve gives them.  A
while before the end it stops the UDP sender for a few seconds, so the input
goes to no_signal and back to ok; then (from 30 s on) it stops the HLS
encoder for a moment, so the HLS analyser's record turns stale and
recovers.  The sender's picture turns black, then freezes, then its sound
goes silent, each for --fault-seconds with the moving picture and tone
between, on a cycle; the analysers' records say so, side by side with the
output's clean picture.  The sender's datagrams reach the input
through a relay that drops some of them for a moment: the input analyser
that `avwatch monitor` runs counts the continuity errors, which the probe
never sees, and measures the rate.  After --seconds (or Ctrl-C) it sets "live"
false, shows both status keys disappear, and stops everything it started.
"""

import argparse
import importlib.util
import json
import os
import shutil
import signal
import socket
import sys
import tempfile
import time
from pathlib import Path

import redis

sys.path.insert(0, str(Path(__file__).resolve().parent))
import demo_services as services  # noqa: E402
from machine import free_port, is_tmpfs_mount  # noqa: E402
from demo_health import Health  # noqa: E402
from demo_hls import EncoderPause, HlsNotes  # noqa: E402
from demo_view import View  # noqa: E402
from demo_analysis import AnalysisNotes  # noqa: E402
from demo_content import ContentCycle, ContentNotes, CycledSender, CycleNotes  # noqa: E402

KESTREL_ROOT = Path("/usr/local/kestrel-srs")
HTML_ROOT = KESTREL_ROOT / "trunk/objs/nginx/html"
CH_UID = "42"
PIPE = "main"
FRAGMENT = 2   # seconds: a segment every 2 s, the output monitor publishing every second
REFRESH = 1.0
STOP_TIMEOUT = 20  # the input monitor sees "live" false after its current probe and pause
STALE_AFTER = 10   # serve's --stale-after: several of the input monitor's 3 s periods
# The UDP sender is stopped this long before the end, until serve has seen
# the input without signal (at most OUTAGE seconds: a pause and a probe that
# times out), leaving time for a probe to find it back (up to 3 probe periods).
OUTAGE_BEFORE_END = 21
OUTAGE = 8
# The relay drops this share of the datagrams over this span (seconds after its start).
LOSS_SPAN = (4.0, 6.0)
LOSS_SHARE = 0.05


def refuse_outside_sandbox():
    if os.environ.get("AVWATCH_SANDBOX") != "1" or not is_tmpfs_mount(KESTREL_ROOT):
        sys.exit("demo: run it as ./demo, which runs it in a private mount namespace, so that it never "
                 f"touches a real media server's files under {KESTREL_ROOT}")


def check_programs():
    missing = [name for name in ("redis-server", "ffmpeg", "ffprobe", "cpulimit", "nice")
               if shutil.which(name) is None]
    if missing:
        sys.exit(f"demo: {', '.join(missing)} not found; ./demo installs them (tools/bootstrap)")


def child_environment():
    """The monitor runs as `python -m avwatch_cli`: from site-packages when
    installed, else from the checkout (a build-dir run)."""
    env = dict(os.environ)
    if importlib.util.find_spec("avwatch_cli") is None:
        env["PYTHONPATH"] = os.pathsep.join(
            [str(services.REPO / "python")] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    return env


def read_records(client, keys):
    records = {}
    for key in keys:
        value = client.get(key)
        try:
            records[key] = None if value is None else json.loads(value)
        except ValueError:
            records[key] = value
    return records


def log_tail(path: Path, count=3):
    try:
        return [line.rstrip("\n") for line in path.read_text(errors="replace").splitlines()[-count:]]
    except FileNotFoundError:
        return []


def run(seconds: float, folder: Path, fault_seconds: float = 15) -> int:
    port, udp_port, serve_port = free_port(), free_port(socket.SOCK_DGRAM), free_port()
    relay_port = free_port(socket.SOCK_DGRAM)
    url = f"redis://127.0.0.1:{port}/0"
    serve_url = f"http://127.0.0.1:{serve_port}/"
    channel_key = f"ch:{CH_UID}"
    source_key = f"ch:{CH_UID}:input:{PIPE}"
    status_keys = {f"ch:{CH_UID}:in:{PIPE}": "input", f"ch:{CH_UID}:out:{PIPE}": "output"}
    analysis_keys = {"input": f"ch:{CH_UID}:ts:{PIPE}", "output": f"ch:{CH_UID}:hls:{PIPE}"}
    source = {"uri": f"udp://127.0.0.1:{udp_port}", "miface": "127.0.0.1", "pid": 1, "vpid": 256, "apid": 257}

    redis_server = services.redis_server(port, folder)
    relay = services.lossy_relay(relay_port, udp_port, LOSS_SPAN, LOSS_SHARE, folder)
    cycle = ContentCycle(fault_seconds)
    sender = CycledSender(relay_port, cycle, folder / "sender.log")
    standin = services.hls_standin(KESTREL_ROOT, CH_UID, PIPE, FRAGMENT, folder)
    monitor = services.monitor_command(url, CH_UID, PIPE, folder)
    serve = services.serve_command(url, f"127.0.0.1:{serve_port}", STALE_AFTER, folder)
    started = []
    client = redis.StrictRedis(port=port, decode_responses=True, socket_timeout=2, socket_connect_timeout=2)
    view = View(f"avwatch demo: channel {CH_UID}, pipe {PIPE}; live page at {serve_url}", status_keys,
                content=analysis_keys)
    try:
        started.append(redis_server.start())
        services.wait_for_redis(client, redis_server)
        view.note(f"redis-server on 127.0.0.1:{port}")
        started.append(relay.start())
        started.append(sender.start())
        view.note(f"ffmpeg sends the channel's input to {source['uri']} (program 1, PIDs 256 and 257) through "
                  f"a relay that drops {LOSS_SHARE:.0%} of the datagrams {LOSS_SPAN[0]:g} to {LOSS_SPAN[1]:g} s "
                  "from now")
        black, frozen, silent = cycle.spans
        view.note(f"its picture turns black {black.start:g} to {black.end:g} s from now, freezes {frozen.start:g} "
                  f"to {frozen.end:g} s, its sound goes silent {silent.start:g} to {silent.end:g} s, "
                  f"again every {cycle.period:g} s")
        started.append(standin.start())
        view.note(f"HLS stand-in writes {FRAGMENT}-second segments to {HTML_ROOT / CH_UID / PIPE}")
        for key, record in ((channel_key, {"live": True}), (source_key, source)):
            client.set(key, json.dumps(record))
            view.note(f"{key} = {json.dumps(record)}")
        started.append(monitor.start(env=child_environment()))
        view.note(f"avwatch monitor --redis {url} --channel {CH_UID} --pipe {PIPE}")
        started.append(serve.start(env=child_environment()))
        view.note(f"avwatch serve --redis {url} --listen 127.0.0.1:{serve_port}: "
                  f"the live page at {serve_url}, Prometheus metrics at {serve_url}metrics")

        watch = Watch(Health(serve_url, CH_UID, PIPE), sender, serve, AnalysisNotes(client, CH_UID, PIPE),
                      HlsNotes(client, f"ch:{CH_UID}:hls:{PIPE}"), EncoderPause(standin),
                      ContentNotes(client, analysis_keys), CycleNotes(sender))
        watch_live(client, view, {**status_keys, **{key: label for label, key in analysis_keys.items()}},
                   monitor, seconds, watch)
        return stop_channel(client, view, channel_key, status_keys, monitor, watch)
    finally:
        view.close()
        for child in reversed(started):
            child.stop()
        client.close()
        view.note("stopped " + ", ".join(child.name for child in reversed(started)))


class Watch:
    """What the demo follows besides the records: serve's verdicts and its
    state changes, the HLS analyser's verdicts; and, in the live phase, the
    input outage and then the encoder's pause before the end."""

    def __init__(self, health: Health, sender, serve, analysis: AnalysisNotes, hls: HlsNotes,
                 encoder: EncoderPause, content: ContentNotes, cycle: CycleNotes):
        self.health = health
        self.analysis = analysis
        self.sender = sender
        self.serve = serve
        self.outage = "planned"
        self.outage_started = 0.0
        self.told_serve_ended = False
        self.hls = hls
        self.encoder = encoder
        self.content = content
        self.cycle = cycle

    def states(self, view) -> dict:
        """Notes serve's new state changes; returns {side: (state, reason)}."""
        for change in self.health.read():
            view.note(change)
        for line in self.analysis.read():
            view.note(line)
        for line in self.content.read():
            view.note(line)
        if not self.serve.running() and not self.told_serve_ended:
            self.told_serve_ended = True
            view.note(f"avwatch serve ended (status {self.serve.process.returncode}); its log: "
                      + " | ".join(log_tail(self.serve.log_path)))
        return self.health.states

    def drop_input(self, view, left: float, seconds: float):
        if seconds < OUTAGE_BEFORE_END + 5:
            return   # too short a demo to see the input go and come back
        if self.outage == "planned" and left <= OUTAGE_BEFORE_END:
            self.sender.stop()
            self.outage, self.outage_started = "under way", time.monotonic()
            view.note("UDP sender stopped: the input loses its signal")
        elif self.outage == "under way":
            lasted = time.monotonic() - self.outage_started
            seen = self.health.states.get("input", ("", ""))[0] == "no_signal"
            if (seen and lasted >= 3) or lasted >= OUTAGE:
                self.sender.start()
                self.outage = "over"
                view.note(f"UDP sender started again after {lasted:.0f} s: the input comes back")


def watch_live(client, view, keys, monitor, seconds, watch: Watch):
    """`keys`: the records to read and show."""
    deadline = time.monotonic() + seconds
    try:
        while (left := deadline - time.monotonic()) > 0:
            if not monitor.running():
                view.note(f"avwatch monitor ended early (status {monitor.process.returncode}); its log follows")
                break
            health = watch.states(view)
            watch.drop_input(view, left, seconds)
            watch.cycle.step(view)
            watch.hls.step(view)
            watch.encoder.step(view, left, seconds, watch.hls.stale)
            view.show(read_records(client, keys),
                      f"{view.elapsed():4.0f} s, {left:3.0f} s left (Ctrl-C to stop now)",
                      log_tail(monitor.log_path), health)
            time.sleep(min(REFRESH, max(left, 0)))
    except KeyboardInterrupt:
        view.note("Ctrl-C: stopping the channel")


def stop_channel(client, view, channel_key, status_keys, monitor, watch: Watch) -> int:
    client.set(channel_key, json.dumps({"live": False}))
    view.note(f'{channel_key} = {json.dumps({"live": False})}: the monitors delete their keys and return')
    present = {key: client.exists(key) > 0 for key in status_keys}
    deadline = time.monotonic() + STOP_TIMEOUT
    try:
        while time.monotonic() < deadline:
            records = read_records(client, status_keys)
            for key in status_keys:
                now = records[key] is not None
                if now != present[key]:
                    view.note(f"{key} {'deleted' if not now else 'written again by a pass under way'}")
                    present[key] = now
            if not monitor.running() and not any(present.values()):
                break
            view.show(records, f"{view.elapsed():4.0f} s, stopping: waiting for the monitors to return",
                      log_tail(monitor.log_path), watch.states(view))
            time.sleep(0.2)
    except KeyboardInterrupt:
        view.note("Ctrl-C: not waiting for the monitors")
        return 130
    status = monitor.process.poll()
    if status is None or any(present.values()):
        left = [key for key, there in present.items() if there]
        view.note(f"the monitors did not finish within {STOP_TIMEOUT} s (keys left: {left or 'none'})")
        return 1
    view.show(read_records(client, status_keys), f"{view.elapsed():4.0f} s, stopped",
              log_tail(monitor.log_path, 4))
    view.note(f"avwatch monitor exited with status {status}; both status keys are gone")
    if not view.live or status != 0:
        for line in log_tail(monitor.log_path, 4):
            view.note(f"  log: {line}")
    return 0 if status == 0 else 1


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=90, metavar="N",
                        help="how long to watch before stopping the channel (default 90: one cycle of the "
                             "content faults)")
    parser.add_argument("--fault-seconds", type=float, default=15, metavar="N",
                        help="how long each content fault lasts (default 15; at least 3: the analysers "
                             "judge a fault after 2 s)")
    args = parser.parse_args(argv)
    if not args.fault_seconds >= 3:
        parser.error("--fault-seconds must be at least 3")
    refuse_outside_sandbox()
    check_programs()
    # SIGTERM ends the demo the way Ctrl-C does: the channel stopped in order.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    with tempfile.TemporaryDirectory(prefix="avwatch-demo-") as folder:
        return run(args.seconds, Path(folder), args.fault_seconds)


if __name__ == "__main__":
    sys.exit(main())
