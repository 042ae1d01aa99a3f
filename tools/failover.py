"""A Sentinel failover under running monitors, for the failover test and
bench/failover.py.

A channel's output is served by the HLS stand-in and its input is a media
file; `avwatch monitor --output` and `avwatch monitor --input` run as two
processes against the Sentinel master, each under a supervisor that, like
systemd's Restart=on-failure, starts a command again a moment after it ended
with a non-zero status.  The master is then killed, between two passes of
the input monitor (see kill_master).  Every write of the two
status keys is timed from keyspace notifications of the replica, which sees
the writes before the failover (replicated) and after it (as the master).
`avwatch serve` runs beside them, asked for its status every 0.1 s."""

import json
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
from dataclasses import dataclass, field
from pathlib import Path

import redis

from hls_standin import HTML_SUBPATH, KESTREL_ROOT, HlsStandIn
from machine import free_port
from media import stop_process
from redis_sets import MASTER_NAME, SentinelSet, wait_until

CHANNEL, PIPE = "42", "main"
INPUT_KEY, OUTPUT_KEY = f"ch:{CHANNEL}:in:{PIPE}", f"ch:{CHANNEL}:out:{PIPE}"
# As the unit file's RestartSec.
RESTART_DELAY = 2.0
SERVE_REFRESH = 1.0
# Well before the input monitor's next command (3 s after its write), and
# that command well before a promotion (the Sentinels wait 1 s for the dead
# master's answer before they even vote).
KILL_AFTER_INPUT_WRITE = 1.8


@dataclass
class Run:
    started: float
    ended: float = 0.0
    status: int = 0
    stderr: str = ""


class Supervised:
    """A command started again RESTART_DELAY after it ends with a non-zero
    status, until stop()."""

    def __init__(self, command: list, name: str):
        self.command = command
        self.name = name
        self.runs: list = []
        self._stopping = threading.Event()
        self._process = None
        self._thread = threading.Thread(target=self._supervise, name=name, daemon=True)

    def start(self) -> "Supervised":
        self._thread.start()
        return self

    def _supervise(self) -> None:
        while not self._stopping.is_set():
            with tempfile.TemporaryFile() as errors:
                run = Run(time.monotonic())
                self.runs.append(run)
                self._process = subprocess.Popen(self.command, stdout=subprocess.DEVNULL, stderr=errors)
                run.status = self._process.wait()
                run.ended = time.monotonic()
                errors.seek(0)
                run.stderr = errors.read().decode(errors="replace")
            if run.status == 0 or self._stopping.wait(RESTART_DELAY):
                return

    def wait(self, timeout: float) -> None:
        self._thread.join(timeout)
        if self._thread.is_alive():
            self.stop()
            raise RuntimeError(f"{self.name} did not end")

    def stop(self) -> None:
        self._stopping.set()
        if self._process is not None and self._process.poll() is None:
            self._process.send_signal(signal.SIGTERM)
        self._thread.join(30)


class ServeWatch:
    """`avwatch serve`, and what its status said over time."""

    def __init__(self, command: list):
        self.port = free_port()
        self.errors = tempfile.TemporaryFile()
        self.process = subprocess.Popen([*command, "--listen", f"127.0.0.1:{self.port}"],
                                        stdout=subprocess.DEVNULL, stderr=self.errors)
        self.samples: list = []   # (time, Redis up, output side's age or None)
        self._stopping = threading.Event()
        self._thread = threading.Thread(target=self._poll, name="serve status", daemon=True)
        self._thread.start()

    def status(self) -> dict:
        url = f"http://127.0.0.1:{self.port}/api/status"
        with urllib.request.urlopen(url, timeout=2) as response:
            return json.loads(response.read())

    def _poll(self) -> None:
        while not self._stopping.wait(0.1):
            try:
                status = self.status()
            except OSError:
                continue
            sides = [pipe["output"] for channel in status["channels"] for pipe in channel["pipes"]]
            age = sides[0]["age_seconds"] if sides else None
            self.samples.append((time.monotonic(), status["redis"]["up"], age))

    def up_since(self, moment: float) -> bool:
        return any(up for t, up, _ in self.samples if t > moment)

    def down_for(self, after: float) -> float:
        """How long serve said Redis was down, from its first such answer
        after `after` to its next answer that it was up."""
        later = [(t, up) for t, up, _ in self.samples if t > after]
        downs = [t for t, up in later if not up]
        if not downs:
            return 0.0
        ups = [t for t, up in later if up and t > downs[0]]
        return (ups[0] if ups else later[-1][0]) - downs[0]

    def stop(self) -> str:
        self._stopping.set()
        self._thread.join(5)
        stop_process(self.process, grace=10)
        self.errors.seek(0)
        text = self.errors.read().decode(errors="replace")
        self.errors.close()
        return text


class WriteTimes:
    """Times of the writes of the given keys, from keyspace notifications
    of one server."""

    def __init__(self, client: redis.Redis, keys: list):
        # SET events only: serve, which also needs DEL ("g"), must add it
        # itself on whichever master it reads.
        client.config_set("notify-keyspace-events", "K$")
        self._pubsub = client.pubsub()
        self._pubsub.subscribe(*(f"__keyspace@0__:{key}" for key in keys))
        self.times: dict = {key: [] for key in keys}
        self._stopping = threading.Event()
        self._thread = threading.Thread(target=self._listen, name="write times", daemon=True)

    def start(self) -> "WriteTimes":
        self._thread.start()
        return self

    def _listen(self) -> None:
        while not self._stopping.is_set():
            message = self._pubsub.get_message(ignore_subscribe_messages=True, timeout=0.1)
            if message is not None and message["data"] == b"set":
                key = message["channel"].decode().split(":", 1)[1]
                self.times[key].append(time.monotonic())

    def written_after(self, key: str, moment: float, count: int = 1) -> bool:
        return len([t for t in self.times[key] if t > moment]) >= count

    def stop(self) -> None:
        self._stopping.set()
        self._thread.join(5)
        self._pubsub.close()


@dataclass
class Figures:
    killed: float = 0.0
    promoted: float = 0.0             # seconds after the kill
    unwritten: dict = field(default_factory=dict)  # key -> longest pause in its writes around the kill
    serve_down: float = 0.0           # how long serve showed Redis as down


class FailoverRun:
    """Sets up the channel, the monitors and the Sentinel set; kill_master()
    and finish() do the rest."""

    def __init__(self, folder: Path, media_file: Path, avwatch: list = None):
        self.folder = folder
        self.deployment = SentinelSet(folder / "sentinel")
        self.media_file = media_file
        self.avwatch = avwatch or [sys.executable, "-m", "avwatch_cli"]
        self.figures = Figures()
        self.monitors: dict = {}
        self.stand_in = None
        self.writes = None
        self.serve = None
        self.serve_log = ""

    def redis_options(self) -> list:
        return ["--redis-sentinel", self.deployment.addresses, "--sentinel-master", MASTER_NAME]

    def start(self) -> "FailoverRun":
        self.deployment.start()
        client = self.deployment.master_client()
        client.set(f"ch:{CHANNEL}", json.dumps({"live": True}))
        client.set(f"ch:{CHANNEL}:input:{PIPE}", json.dumps({"uri": str(self.media_file)}))
        client.close()
        self.writes = WriteTimes(self.deployment.replica.client(), [INPUT_KEY, OUTPUT_KEY]).start()
        self.stand_in = HlsStandIn(KESTREL_ROOT / HTML_SUBPATH, CHANNEL, PIPE, fragment=1).start()
        for kind in ("output", "input"):
            self.monitors[kind] = Supervised([*self.avwatch, "monitor", *self.redis_options(), "--channel",
                                              CHANNEL, "--pipe", PIPE, f"--{kind}"], kind).start()
        self.serve = ServeWatch([*self.avwatch, "serve", *self.redis_options(), "--refresh", str(SERVE_REFRESH)])
        began = time.monotonic()
        wait_until(lambda: self.writes.written_after(INPUT_KEY, began, 2)
                   and self.writes.written_after(OUTPUT_KEY, began, 2)
                   and self.serve.up_since(began), 30, "the monitors' first records")
        return self

    def kill_master(self) -> None:
        """Kills the master KILL_AFTER_INPUT_WRITE seconds after a write of
        the input record: the input monitor's next command, which comes 3 s
        after its write, then meets the dead master before the Sentinels
        have promoted the replica.  Killed at any moment, that monitor may
        sleep through the whole failover and carry on."""
        old = self.deployment.master_address()
        written = len(self.writes.times[INPUT_KEY])
        wait_until(lambda: len(self.writes.times[INPUT_KEY]) > written, 10, "an input record")
        time.sleep(KILL_AFTER_INPUT_WRITE)
        self.deployment.master.kill()
        self.figures.killed = time.monotonic()
        wait_until(lambda: self.deployment.master_address() != old, 60, "the promotion")
        self.figures.promoted = time.monotonic() - self.figures.killed

    def wait_for_records(self, count: int = 2, timeout: float = 60) -> None:
        """Until both keys were written `count` times since the promotion."""
        promoted = self.figures.killed + self.figures.promoted
        wait_until(lambda: self.writes.written_after(INPUT_KEY, promoted, count)
                   and self.writes.written_after(OUTPUT_KEY, promoted, count), timeout,
                   "records after the promotion")
        wait_until(lambda: self.serve.up_since(promoted), timeout, "serve to read the new master")
        self.figures.serve_down = self.serve.down_for(self.figures.killed)
        for key, times in self.writes.times.items():
            before = [t for t in times if t <= self.figures.killed]
            after = [t for t in times if t > self.figures.killed]
            self.figures.unwritten[key] = after[0] - before[-1]

    def finish(self) -> None:
        """Ends the channel, so that both monitors end with status 0."""
        client = self.deployment.master_client()
        try:
            client.set(f"ch:{CHANNEL}", json.dumps({"live": False}))
        finally:
            client.close()
        for monitor in self.monitors.values():
            monitor.wait(30)
        self.serve_log = self.serve.stop()
        self.serve = None

    def stop(self) -> None:
        for monitor in self.monitors.values():
            monitor.stop()
        if self.serve is not None:
            self.serve_log = self.serve.stop()
        if self.writes is not None:
            self.writes.stop()
        if self.stand_in is not None:
            self.stand_in.stop()
        self.deployment.stop()


def report(figures: Figures) -> str:
    return (f"failover: the Sentinels named the new master {figures.promoted:.1f} s after the kill; "
            f"input record not updated for {figures.unwritten[INPUT_KEY]:.1f} s (period 3 s), "
            f"output record not updated for {figures.unwritten[OUTPUT_KEY]:.1f} s (period 1 s); "
            f"serve showed Redis down for {figures.serve_down:.1f} s (refresh {SERVE_REFRESH:g} s)")

