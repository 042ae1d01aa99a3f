"""What one refresh reads and where each value lands, with the memory of
every pipe and channel that lets a refresh redo only what changed."""

from __future__ import annotations

from typing import NamedTuple

from avwatch_cli.health import Verdict
from avwatch_cli.serve.analysis import Analysis
from avwatch_cli.serve.chunks import chunked
from avwatch_cli.serve.keys import PREFIX, Discoverer, PipeKeys
from avwatch_cli.serve.reader import key_bytes, key_text
from avwatch_cli.serve.snapshot import ChannelView, PipeView
from avwatch_cli.serve.sources import source_key

NO_KEYS = PipeKeys()
ABSENT = -1


def shown(name: str) -> str:
    """A name from a key as it can be shown and exported: bytes that are not
    UTF-8 (kept as surrogates to read the key back) become \\xNN, and a
    backslash of the name is doubled, so that the byte 0xff and the text
    "\\xff" never show alike (one label set per channel and pipe)."""
    if name.isascii() and "\\" not in name:
        return name
    return name.replace("\\", "\\\\").encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")


class Judged(NamedTuple):
    """A side's verdict and the inputs it was drawn from, kept for reuse."""
    live: bool | None
    raw: bytes | None
    verdict: Verdict
    preview: str | None


class Tracked:
    """Refresher-private memory of one pipe: where its values land in a
    read, what they were last time, and the view drawn from them."""
    __slots__ = ("id", "channel", "pipe", "source_key", "input_at", "output_at", "analysis_at", "seen", "judged",
                 "view", "row", "analysis", "hls_key", "keys", "names")

    def __init__(self, pipe_id: str, channel: str, pipe: str):
        self.id = pipe_id
        self.names = (channel, pipe)   # as in the key names: the thumbnails' keys are made of them
        self.source_key = source_key(channel, pipe)
        self.channel = shown(channel)
        self.pipe = shown(pipe)
        self.input_at = self.output_at = ABSENT   # index in the plan's status keys
        self.analysis_at = ABSENT                 # index in the plan's analysis keys
        self.analysis = Analysis()
        self.seen: tuple | None = None
        self.judged: list[Judged | None] = [None, None]
        self.view: PipeView | None = None
        self.row = 0   # in the history tables
        self.hls_key: str | None = None   # the HLS analyser's record, read apart (hls_records)
        self.keys = NO_KEYS   # every key name of the pipe, for its page (pipe_detail)


class ChannelState:
    __slots__ = ("channel", "shown", "raw", "judged", "live", "pipes", "view")

    def __init__(self, channel: str):
        self.channel = channel
        self.shown = shown(channel)
        self.raw: bytes | None = None
        self.judged = False   # whether `live` was drawn from `raw`
        self.live: bool | None = None
        self.pipes: list[Tracked] = []
        self.view: ChannelView | None = None


class Plan(NamedTuple):
    """What to read and where each value lands, for one set of key names."""
    names: list[bytes]             # as the SCAN returned them
    read_keys: list[bytes]         # the channel records, then the status records
    status_keys: list[str]
    analysis_keys: list[str]
    channels: list[ChannelState]   # in the order of read_keys
    pipes: list[Tracked]
    analysis_chunks: list[list[bytes]] = []   # analysis_keys as read, a chunk at a time
    analysis_owners: list[Tracked] = []       # the pipe of each of analysis_keys


class Planner:
    """Keeps the memory of every pipe and channel across refreshes and
    turns a set of key names into a Plan.  Pipes whose keys are gone stay
    in the plan (without records) for `forget_after` seconds."""

    def __init__(self, forget_after: float):
        self.forget_after = forget_after
        self.discover = Discoverer()
        self.tracked: dict[tuple[str, str], Tracked] = {}
        self.gone_since: dict[tuple[str, str], float] = {}
        self.channel_states: dict[str, ChannelState] = {}
        self.issued_ids = 0

    @property
    def lingering(self) -> bool:
        """Whether a gone pipe waits to be forgotten (the plan must be made again)."""
        return bool(self.gone_since)

    def make_plan(self, names: list[bytes], now: float) -> Plan:
        layout = self.discover(key_text(name) for name in names)
        pipes = {channel: dict(found) for channel, found in layout.channels.items()}
        present = {(channel, pipe) for channel, found in pipes.items() for pipe in found}
        for pair in self.tracked:
            if pair not in present:
                self.gone_since.setdefault(pair, now)
        # Gone pipes stay in view (without records) until forgotten.
        for pair, since in list(self.gone_since.items()):
            if pair in present:
                del self.gone_since[pair]
            elif now - since > self.forget_after:
                del self.gone_since[pair]
                del self.tracked[pair]
            else:
                pipes.setdefault(pair[0], {})[pair[1]] = NO_KEYS
        status_keys: list[str] = []
        analysis_keys: list[str] = []

        def slot(key: str | None) -> int:
            if key is None:
                return ABSENT
            status_keys.append(key)
            return len(status_keys) - 1

        channels, tracked_pipes = [], []
        for channel in sorted(pipes):
            state = self.channel_states.get(channel) or ChannelState(channel)
            channel_pipes = []
            for pipe, keys in sorted(pipes[channel].items()):
                tracked = self.tracked.get((channel, pipe))
                if tracked is None:
                    self.issued_ids += 1
                    tracked = self.tracked[(channel, pipe)] = Tracked(f"p{self.issued_ids}", channel, pipe)
                tracked.input_at, tracked.output_at = slot(keys.input), slot(keys.output)
                tracked.hls_key = keys.hls
                tracked.keys = keys
                tracked.analysis_at = ABSENT
                if keys.analysis is not None:
                    analysis_keys.append(keys.analysis)
                    tracked.analysis_at = len(analysis_keys) - 1
                channel_pipes.append(tracked)
            if channel_pipes != state.pipes:
                state.pipes, state.view = channel_pipes, None
            tracked_pipes.extend(channel_pipes)
            channels.append(state)
        self.channel_states = {state.channel: state for state in channels}
        read_keys = [key_bytes(PREFIX + state.channel) for state in channels]
        read_keys += [key_bytes(key) for key in status_keys]
        owners = [tracked for tracked in tracked_pipes if tracked.analysis_at >= 0]
        return Plan(names, read_keys, status_keys, analysis_keys, channels, tracked_pipes,
                    chunked([key_bytes(key) for key in analysis_keys]), owners)
