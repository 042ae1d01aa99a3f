"""Status records for the page's tests, kept fresh by a writer the way
running monitors keep theirs."""

import json
import math
import threading
import time

GOOD_INPUT = {"acodec": "aac", "vcodec": "h264", "vresolution": "1280x720", "vfps": 25,
              "vbitrate": 2_800_000, "abitrate": 128_000, "bitrate": 2_928_000}
GOOD_OUTPUT = {"acodec": "aac", "vcodec": "h264", "sequence": 41, "atime": 6.0, "vtime": 6.0,
               "bitrate": 2_950_000, "vbitrate": 2_800_000, "abitrate": 128_000, "vfps": 25,
               "vresolution": "1280x720", "lastts": "41.ts", "name": "main"}
# The analysers' records ("time" is set at each write): an input whose
# continuity counters jump every second, and a playlist that stopped.
CONTINUITY_ERRORS = {"bitrate": 4_000_000, "packets": 90_000, "continuity_errors": 40, "in_sync": True,
                     "pat_present": True, "pmt_present": True, "data_age": 0.004, "time": 0.0,
                     "window": {"continuity_errors": 12, "lost_packets": 0}}
STALE_PLAYLIST = {"bitrate": 2_900_000, "declared_bitrate": 3_000_000, "media_sequence": 40, "stale": True,
                  "problems": ["the playlist has not advanced for 9.00 s"], "checks_failed": ["stale"], "time": 0.0}
NO_PROBE_ANSWER = {"acodec": "", "vcodec": "", "vresolution": "", "vfps": 0,
                   "vbitrate": 0, "abitrate": 0, "bitrate": 0}


class Writer:
    """Rewrites records a few times a second, as running monitors do, with a
    bitrate that moves so that the sparklines have a shape."""

    PERIOD = 0.4

    def __init__(self, client, records: dict, moving: bool = True):
        self.client = client
        self.records = records   # key -> record (a dict, written with a moving bitrate) or raw text
        self.moving = moving     # False: the bitrates as given, for a test that reads them back
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)

    def start(self) -> "Writer":
        self.write(0)
        self.thread.start()
        return self

    def write(self, step: int) -> None:
        swing = 1 + 0.25 * math.sin(step / 1.5) if self.moving else 1
        with self.client.pipeline(transaction=False) as pipe:
            for key, record in self.records.items():
                if isinstance(record, str):   # a value that is not a record at all
                    pipe.set(key, record)
                    continue
                moving = dict(record)
                for field in ("bitrate", "vbitrate"):
                    if moving.get(field):
                        moving[field] = round(moving[field] * swing)
                if "seen" in moving:   # a monitor's reason, met again at each pass
                    moving["seen"] = time.time()
                if "time" in moving:   # an analyser's record, of the window just ended
                    moving["time"] = time.time()
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
