"""The demo's HLS part: the encoder stopped for a moment near the end, and
one terminal line per change of the HLS analyser's verdict."""

import json
import time

# The encoder stops this long before the end (after the input's outage),
# until the analyser has called the playlist stale, at most PAUSE seconds.
PAUSE_BEFORE_END = 13
PAUSE = 6
SHORTEST_DEMO = 30


class EncoderPause:
    def __init__(self, standin):
        self.standin = standin
        self.stage = "planned"
        self.started = 0.0

    def step(self, view, left: float, seconds: float, stale: bool) -> None:
        if seconds < SHORTEST_DEMO:
            return
        if self.stage == "planned" and left <= PAUSE_BEFORE_END:
            # Killed, as an encoder that crashes: its playlist stays as it was.  (Told to stop,
            # ffmpeg rewrites it once more, and a second signal, as the whole process group
            # gets, cuts that write short and leaves the playlist empty.)
            self.standin.kill()
            self.stage, self.started = "under way", time.monotonic()
            view.note("HLS encoder stopped: the playlist freezes")
        elif self.stage == "under way":
            lasted = time.monotonic() - self.started
            if stale or lasted >= PAUSE:
                self.standin.start()
                self.stage = "over"
                view.note(f"HLS encoder started again after {lasted:.0f} s: the output comes back")


class HlsNotes:
    """Reads ch:ID:hls:PIPE and notes each change of its verdict."""

    def __init__(self, client, key: str):
        self.client = client
        self.key = key
        self.verdict = None
        self.stale = False

    def step(self, view) -> None:
        try:
            record = json.loads(self.client.get(self.key) or "null")
        except ValueError:
            return
        if not isinstance(record, dict):
            return
        self.stale = bool(record.get("stale"))
        verdict = (self.stale, tuple(record.get("checks_failed") or ()))
        if verdict == self.verdict:
            return
        self.verdict = verdict
        problems = record.get("problems") or []
        if problems:
            view.note("HLS analyser: " + ("stale: " if self.stale else "") + "; ".join(problems[:3]))
        else:
            view.note(f"HLS analyser: every check passes, sequence {record.get('media_sequence')}, "
                      f"{(record.get('bitrate') or 0) / 1e6:.2f} Mb/s measured")
