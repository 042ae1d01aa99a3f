"""A stand-in for avwatch.subprocess, for the probe's rules."""

import json
import subprocess
import types

RECORD_KEYS = ["acodec", "vcodec", "vresolution", "vfps", "vbitrate", "abitrate", "bitrate"]
DEFAULT_RECORD = {"acodec": "", "vcodec": "", "vresolution": "", "vfps": 0, "vbitrate": 0, "abitrate": 0, "bitrate": 0}


class FakeProber:
    """Answers every run() with `returncode` and `stdout`, or raises `error`;
    records the calls."""

    def __init__(self):
        self.TimeoutExpired = subprocess.TimeoutExpired
        self.calls = []
        self.returncode = 0
        self.stdout = ""
        self.error = None

    def run(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.error is not None:
            raise self.error
        return types.SimpleNamespace(returncode=self.returncode, stdout=self.stdout)

    def answer(self, streams):
        self.stdout = json.dumps({"streams": streams}, indent=4) + "\n"


