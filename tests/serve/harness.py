"""Running `avwatch serve` as an operator runs it, a child process asked
over HTTP, and the records it judges."""

import json
import signal
import subprocess
import sys
import time
import urllib.error
import urllib.request

from prometheus_client.parser import text_string_to_metric_families

from machine import free_port

STREAM = {"acodec": "aac", "vcodec": "h264", "vresolution": "640x360", "vfps": 25,
          "vbitrate": 1_000_000, "abitrate": 128_000, "bitrate": 1_128_000}
NO_ANSWER = {"acodec": "", "vcodec": "", "vresolution": "", "vfps": 0,
             "vbitrate": 0, "abitrate": 0, "bitrate": 0}
INITIAL = {"acodec": "", "vcodec": "", "sequence": None, "atime": "", "vtime": "", "bitrate": 0,
           "vbitrate": 0, "abitrate": 0, "vfps": 0, "vresolution": "", "lastts": "", "name": "main"}
OUTPUT = dict(INITIAL, bitrate=2_500_000, lastts="12.ts")


def wait_for(condition, timeout=20, interval=0.1):
    """The condition's first true value, or a failed test after `timeout` s."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        assert time.monotonic() < deadline, "timed out"
        time.sleep(interval)


COMMAND = [sys.executable, "-m", "avwatch_cli", "serve"]


class Serve:
    def __init__(self, *arguments: str):
        """Started with these arguments (the Redis ones included) on a free port."""
        self.port = free_port()
        self.base = f"http://127.0.0.1:{self.port}"
        self.process = subprocess.Popen(
            [*COMMAND, *arguments, "--listen", f"127.0.0.1:{self.port}"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.output = None
        wait_for(self.answers)

    def answers(self) -> bool:
        assert self.process.poll() is None, self.process.communicate()
        try:
            self.request("/api/status")
            return True
        except OSError:
            return False

    def request(self, path: str, method: str = "GET") -> tuple[int, dict, bytes]:
        request = urllib.request.Request(self.base + path, method=method)
        try:
            with urllib.request.urlopen(request, timeout=10) as response:
                return response.status, dict(response.headers), response.read()
        except urllib.error.HTTPError as error:
            return error.code, dict(error.headers), error.read()

    def status(self) -> dict:
        return json.loads(self.request("/api/status")[2])

    def metrics(self) -> dict:
        """{(name, sorted label items): value} of every sample."""
        text = self.request("/metrics")[2].decode()
        return {(sample.name, tuple(sorted(sample.labels.items()))): sample.value
                for family in text_string_to_metric_families(text) for sample in family.samples}

    def pipe(self, channel: str, pipe: str) -> dict | None:
        """The pipe's entry in /api/status, or None."""
        for entry in self.status()["channels"]:
            if entry["channel"] == channel:
                for found in entry["pipes"]:
                    if found["pipe"] == pipe:
                        return found
        return None

    def side(self, channel: str, pipe: str, side: str) -> dict | None:
        found = self.pipe(channel, pipe)
        return None if found is None else found[side]

    def wait_for_state(self, channel: str, pipe: str, side: str, state: str, timeout=20) -> dict:
        return wait_for(lambda: (found := self.side(channel, pipe, side)) and found["state"] == state and found,
                        timeout)

    def stop(self, signum=signal.SIGTERM) -> tuple[int, float, str]:
        """Exit status, seconds it took, and everything it printed."""
        started = time.monotonic()
        self.process.send_signal(signum)
        stdout, stderr = self.process.communicate(timeout=10)
        self.output = stdout + stderr
        return self.process.returncode, time.monotonic() - started, self.output

    def pipe_id(self, channel: str, pipe: str) -> str:
        found = self.pipe(channel, pipe)
        if found is None:
            raise KeyError((channel, pipe))
        return found["id"]
