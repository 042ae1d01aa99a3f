"""What the page's tests look at: `avwatch serve` run as an operator runs it,
and a writer that keeps status records fresh the way live monitors do."""

import json
import math
import subprocess
import sys
import threading
import time
import urllib.request
from pathlib import Path

from machine import free_port

GOOD_INPUT = {"acodec": "aac", "vcodec": "h264", "vresolution": "1280x720", "vfps": 25,
              "vbitrate": 2_800_000, "abitrate": 128_000, "bitrate": 2_928_000}
GOOD_OUTPUT = {"acodec": "aac", "vcodec": "h264", "sequence": 41, "atime": 6.0, "vtime": 6.0,
               "bitrate": 2_950_000, "vbitrate": 2_800_000, "abitrate": 128_000, "vfps": 25,
               "vresolution": "1280x720", "lastts": "41.ts", "name": "main"}
NO_PROBE_ANSWER = {"acodec": "", "vcodec": "", "vresolution": "", "vfps": 0,
                   "vbitrate": 0, "abitrate": 0, "bitrate": 0}


class Serve:
    """`avwatch serve` in a process of its own, its log in a file."""

    def __init__(self, redis_url: str, log_path: Path, refresh: float, stale_after: float):
        port = free_port()
        self.url = f"http://127.0.0.1:{port}/"
        self.log_path = log_path
        with open(log_path, "ab") as log:
            self.process = subprocess.Popen(
                [sys.executable, "-m", "avwatch_cli", "serve", "--redis", redis_url,
                 "--listen", f"127.0.0.1:{port}", "--refresh", str(refresh), "--stale-after", str(stale_after)],
                stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        deadline = time.monotonic() + 20
        while not self.answers():
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError(f"avwatch serve did not answer: {log_path.read_text(errors='replace')}")
            time.sleep(0.1)

    def answers(self) -> bool:
        try:
            with urllib.request.urlopen(self.url + "api/status", timeout=2) as answer:
                return answer.status == 200
        except OSError:
            return False

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class Writer:
    """Rewrites records a few times a second, as running monitors do, with a
    bitrate that moves so that the sparklines have a shape."""

    PERIOD = 0.4

    def __init__(self, client, records: dict):
        self.client = client
        self.records = records   # key -> record (a dict, written with a moving bitrate) or raw text
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)

    def start(self) -> "Writer":
        self.write(0)
        self.thread.start()
        return self

    def write(self, step: int) -> None:
        swing = 1 + 0.25 * math.sin(step / 1.5)
        with self.client.pipeline(transaction=False) as pipe:
            for key, record in self.records.items():
                if isinstance(record, str):   # a value that is not a record at all
                    pipe.set(key, record)
                    continue
                moving = dict(record)
                for field in ("bitrate", "vbitrate"):
                    if moving.get(field):
                        moving[field] = round(moving[field] * swing)
                pipe.set(key, json.dumps(moving))
            pipe.execute()

    def _run(self) -> None:
        step = 0
        while not self.stopping.wait(self.PERIOD):
            step += 1
            try:
                self.write(step)
            except Exception:   # Redis stopped by the test: try again next period
                pass

    def stop(self) -> None:
        self.stopping.set()
        self.thread.join()
