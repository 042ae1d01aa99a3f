"""Stand-ins that cost next to nothing and keep nothing, for loops of many
thousand calls: a broker in memory, a clock that does not wait, a log that
drops its messages and a prober that answers from a fixed round of outcomes."""

import itertools
import json
import subprocess
import types
from pathlib import Path

KESTREL_ROOT = Path("/usr/local/kestrel-srs")
HTML_ROOT = KESTREL_ROOT / "trunk/objs/nginx/html"
ENV_FILE = KESTREL_ROOT / "env.json"



LIVE = json.dumps({"live": True}).encode()
STOPPED = json.dumps({"live": False}).encode()


class MemoryBroker:
    """get, set and delete on a dict, as the client returns them (bytes).
    The channel records answer `live` as the switch stands; `stop()` flips it."""

    def __init__(self):
        self.values = {}
        self.channels = set()
        self.live = True

    def add_channel(self, ch_uid):
        self.channels.add(f"ch:{ch_uid}")

    def get(self, key):
        if key in self.channels:
            return LIVE if self.live else STOPPED
        return self.values.get(key)

    def set(self, key, value):
        self.values[key] = value.encode() if isinstance(value, str) else value

    def delete(self, key):
        self.values.pop(key, None)

    def stop(self):
        self.live = False


class StoppingClock:
    """time as the monitors see it: a pause returns at once and stops the
    channels, so each monitor call runs a pass or two and returns."""

    def __init__(self, broker):
        self.broker = broker

    def sleep(self, seconds):
        self.broker.stop()

    def time(self):
        import time
        return time.time()


class SilentLog:
    """logging as the output monitor sees it: messages are counted, not kept."""

    def __init__(self):
        self.errors = 0

    def error(self, message):
        self.errors += 1


def completed(stdout, returncode=0):
    return types.SimpleNamespace(returncode=returncode, stdout=stdout)


VIDEO = {"codec_type": "video", "codec_name": "h264", "width": 640, "height": 360, "r_frame_rate": "25/1",
         "id": "0x100"}
AUDIO = {"codec_type": "audio", "codec_name": "aac", "sample_fmt": "fltp", "sample_rate": "48000", "channels": 2,
         "id": "0x101"}

# One of each way a prober can answer: measured, measured with reported
# rates, broken (the probe raises), failed, silent, not JSON, timed out.
PROBER_OUTCOMES = [
    completed(json.dumps({"streams": [VIDEO, AUDIO]}) + "\n"),
    completed(json.dumps({"streams": [dict(VIDEO, bit_rate="900000"), dict(AUDIO, bit_rate=128000)]})),
    completed(json.dumps({"streams": [dict(VIDEO, r_frame_rate="25")]})),
    completed("", returncode=1),
    completed(""),
    completed("Process 7 detected\n"),
    subprocess.TimeoutExpired,
]


class CyclingProber:
    """subprocess as the probe sees it: each run() gives the next outcome of
    the round; TimeoutExpired is raised, a new one each time (raising one
    instance again would grow its traceback)."""

    TimeoutExpired = subprocess.TimeoutExpired

    def __init__(self, outcomes=PROBER_OUTCOMES):
        self._next = itertools.cycle(outcomes).__next__

    def run(self, *args, **kwargs):
        outcome = self._next()
        if outcome is subprocess.TimeoutExpired:
            raise outcome(args[0], kwargs.get("timeout"))
        return outcome
