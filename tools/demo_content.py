"""The demo's content faults: the UDP sender's picture turns black, then
freezes, then its sound goes silent, each for a while with the moving
picture and tone between, on a cycle kept on the demo's clock across the
sender's restarts; and one terminal line per change of what each side's
analyser sees and hears."""

import json
import time
from typing import NamedTuple

from demo_services import Child
from media import FFMPEG

FAULTS = ("black", "frozen", "silent")
SAY = {"black": "a black picture", "frozen": "a frozen picture", "silent": "silence"}


class Span(NamedTuple):
    name: str   # "normal" or one of FAULTS
    start: float
    end: float


class ContentCycle:
    """Normal for a third of `fault` seconds, then each fault for `fault`
    seconds with a third of that between, then twice `fault` normal (where
    the demo's network and encoder faults fall), over and over."""

    def __init__(self, fault: float):
        gap = max(2.0, fault / 3)
        self.spans: list[Span] = []
        at = gap
        for name in FAULTS:
            self.spans.append(Span(name, at, at + fault))
            at += fault + gap
        self.period = at - gap + 2 * fault

    def at(self, seconds: float) -> tuple[str, float]:
        """What the sender sends `seconds` into the cycle, and for how much longer."""
        phase = seconds % self.period
        for span in self.spans:
            if phase < span.start:
                return "normal", span.start - phase
            if phase < span.end:
                return span.name, span.end - phase
        return "normal", self.period - phase

    def ffmpeg_sources(self, size: str, rate: int, offset: float) -> list[str]:
        """ffmpeg's arguments, as media.lavfi_sources gives them, for a test
        picture and a tone that go through the cycle from `offset` seconds
        on: the picture painted black, a still picture laid over it (the
        first one, looped), the tone's volume set to 0."""
        enable = {span.name: f"between(mod(t+{offset:.3f},{self.period:g}),{span.start:g},{span.end:g})"
                  for span in self.spans}
        graph = (f"[0:v][1:v]overlay=enable='{enable['frozen']}',"
                 f"drawbox=x=0:y=0:w=iw:h=ih:color=black:t=fill:enable='{enable['black']}'[v];"
                 f"[2:a]volume=volume=0:enable='{enable['silent']}'[a]")
        return [
            "-f", "lavfi", "-i", f"testsrc=size={size}:rate={rate}",
            "-f", "lavfi", "-i", f"testsrc=size={size}:rate={rate},trim=end_frame=1,loop=loop=-1:size=1",
            "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000",
            "-filter_complex", graph, "-map", "[v]", "-map", "[a]",
            "-c:v", "libx264", "-preset", "ultrafast", "-g", str(rate), "-pix_fmt", "yuv420p",
            "-c:a", "aac", "-b:a", "128k",
        ]


class CycledSender(Child):
    """ffmpeg sending the cycle's stream to a UDP port in real time; started
    again, it goes on where the cycle stands, not from its beginning."""

    def __init__(self, port: int, cycle: ContentCycle, log_path, size: str = "640x360", rate: int = 25):
        super().__init__("UDP sender (ffmpeg)", [], log_path)
        self.port, self.cycle, self.size, self.rate = port, cycle, size, rate
        self.first_start: float | None = None

    def clock(self) -> float | None:
        """Seconds into the cycle, from the first start."""
        return None if self.first_start is None else time.monotonic() - self.first_start

    def start(self, env=None):
        if self.first_start is None:
            self.first_start = time.monotonic()
        self.command = [FFMPEG, "-nostdin", "-loglevel", "error", "-re",
                        *self.cycle.ffmpeg_sources(self.size, self.rate, self.clock() or 0.0),
                        "-f", "mpegts", f"udp://127.0.0.1:{self.port}?pkt_size=1316"]
        return super().start(env)


class CycleNotes:
    """Notes each span as the sender enters it (or, stopped meanwhile, as
    it starts again inside one)."""

    def __init__(self, sender: CycledSender):
        self.sender = sender
        self.current: str | None = None

    def step(self, view) -> None:
        clock = self.sender.clock()
        if clock is None or not self.sender.running():
            self.current = None if clock is None else "stopped"
            return
        name, left = self.sender.cycle.at(clock)
        if name == self.current:
            return
        if name != "normal":
            view.note(f"UDP sender: {SAY[name]} for {left:.0f} s")
        elif self.current in FAULTS:
            view.note("UDP sender: moving picture and tone again")
        self.current = name


def seconds_since(since) -> str:
    return f" {max(0.0, time.time() - since):.0f} s" if isinstance(since, (int, float)) else ""


def picture(record) -> str:
    """What the side's analyser sees, for a cell of the screen."""
    if not isinstance(record, dict) or record.get("black") is None:
        return "-"
    video = (record.get("content") or {}).get("video") or {}
    faults = [f"{name}{seconds_since(video.get(name + '_since'))}" for name in ("black", "frozen")
              if record.get(name)]
    return ", ".join(faults) or "moving"


def sound(record) -> str:
    """What it hears (the first audio stream)."""
    if not isinstance(record, dict) or record.get("silent") is None:
        return "-"
    if record["silent"]:
        audio = (record.get("content") or {}).get("audio") or [{}]
        return f"silent{seconds_since(audio[0].get('silent_since'))}"
    loudness = record.get("loudness")
    return f"{loudness:.1f} LUFS" if isinstance(loudness, (int, float)) else "sound"


def verdict(record) -> str:
    """One line of what the record says of the picture and the sound."""
    faults = [name for name in FAULTS if record.get(name)]
    if faults:
        return " and ".join(SAY[name] for name in faults)
    if record.get("silent") is None:
        return "moving picture (no sound judged yet)"
    loudness = record.get("loudness")
    level = f", {loudness:.1f} LUFS" if isinstance(loudness, (int, float)) else ""
    return f"moving picture and sound{level}"


class ContentNotes:
    """Reads each side's analysis record and notes each change of its
    black, frozen and silent flags."""

    def __init__(self, client, keys: dict[str, str]):
        self.client = client
        self.keys = keys   # {label: record key}
        self.flags: dict[str, tuple] = {}

    def read(self) -> list[str]:
        lines = []
        for label, key in self.keys.items():
            try:
                record = json.loads(self.client.get(key) or "null")
            except ValueError:
                continue
            if not isinstance(record, dict) or record.get("black") is None:
                continue
            flags = tuple(record.get(name) for name in FAULTS)
            if flags != self.flags.get(label):
                self.flags[label] = flags
                lines.append(f"{label} analyser: {verdict(record)} "
                             f"(black {json.dumps(flags[0])}, frozen {json.dumps(flags[1])}, "
                             f"silent {json.dumps(flags[2])})")
        return lines
