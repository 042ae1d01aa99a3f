"""Channels and pipes found in the key names.

A channel's keys are "ch:ID" (channel record), "ch:ID:input:PIPE" (input
source), "ch:ID:in:PIPE" and "ch:ID:out:PIPE" (status records), "ch:ID:ts:PIPE"
(the input analyser's record) and "ch:ID:hls:PIPE" (the HLS output analyser's).  IDs and pipe
names are inserted without escaping, so "ch:a:in:b:out:c" is both pipe
"b:out:c" of channel "a" and pipe "c" of channel "a:in:b".  The rule:

1. a key that can be read as belonging to an ID whose channel record exists
   belongs to it; among several such readings the longest ID wins;
2. otherwise a key that other keys belong to by rule 1 is a channel record;
3. otherwise a key holding a marker belongs to the ID before its last
   marker (pipe names are short words, composite IDs are likelier), and
   shows as a pipe of a channel without a record;
4. a key with no marker is a channel record.

What stays ambiguous: a key that is both a status record by rule 1 and the
channel record of other keys (rule 1 wins, those keys show a channel
without a record); and the channel record of an ID holding a marker, before
any key refers to it (rule 3 reads it as a status record).

Thumbnails ("ch:ID:thumb:PIPE:input" and ":output", JPEG bytes) are no
record of the layout: they are read one at a time for the page, never at a
refresh, so they must not read as channel records (rule 4).
"""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Literal

PREFIX = "ch:"
Kind = Literal["input", "in", "out", "ts", "hls"]
MARKERS: tuple[tuple[str, Kind], ...] = ((":input:", "input"), (":in:", "in"), (":out:", "out"), (":ts:", "ts"),
                                         (":hls:", "hls"))
FIELDS = {"input": "source", "in": "input", "out": "output", "ts": "analysis", "hls": "hls"}   # of PipeKeys, by kind
THUMBNAIL_MARKER = ":thumb:"
THUMBNAIL_SIDES = (":input", ":output")


def thumbnail_key(channel: str, pipe: str, side: str) -> str:
    """The key of a pipe side's newest thumbnail (side: input or output)."""
    return f"{PREFIX}{channel}{THUMBNAIL_MARKER}{pipe}:{side}"


def is_thumbnail(key: str) -> bool:
    return THUMBNAIL_MARKER in key and key.endswith(THUMBNAIL_SIDES)


@dataclass
class PipeKeys:
    """Key names of one channel pipe; a side without its key is None."""
    source: str | None = None
    input: str | None = None
    output: str | None = None
    analysis: str | None = None
    hls: str | None = None


@dataclass
class Layout:
    """Every channel found, with its pipes."""
    channels: dict[str, dict[str, PipeKeys]] = field(default_factory=dict)


def readings(rest: str) -> list[tuple[str, Kind, str]]:
    """Every (ID, kind, PIPE) split of a key without its prefix, longest ID first."""
    found = []
    for marker, kind in MARKERS:
        at = rest.rfind(marker)
        while at > 0:
            found.append((rest[:at], kind, rest[at + len(marker):]))
            at = rest.rfind(marker, 0, at)
    found.sort(key=lambda reading: len(reading[0]), reverse=True)
    return found


def resolve(key: str, rest: str, splits: list[tuple[str, Kind, str]], channel_keys,
            referenced) -> tuple[str, Kind | None, str | None] | None:
    """(ID, kind, PIPE) of one key from its readings, kind None for a channel
    record; None for a key outside the layout.  `channel_keys` are the key
    names present, `referenced` those that other keys belong to."""
    if not splits:
        return (rest, None, None) if rest else None
    for channel, kind, pipe in splits:
        if PREFIX + channel in channel_keys:
            return channel, kind, pipe
    if key in referenced:
        return rest, None, None
    return splits[0]


class Discoverer:
    """`discover` for a key set that changes a little at a time: the
    readings of each key (a pure function of its name) are kept between
    calls for the keys still present; only the choice among them is made
    again."""

    def __init__(self) -> None:
        self.known: dict[str, list[tuple[str, Kind, str]]] = {}

    def __call__(self, keys: Iterable[str]) -> Layout:
        names = frozenset(key for key in keys if key.startswith(PREFIX) and not is_thumbnail(key))
        known = self.known
        splits_of = {}
        # One object per distinct ID and PIPE text: a pipe's five keys hold
        # the same, and 100,000 pipes' copies took most of a kilobyte a pipe.
        texts: dict[str, str] = {}
        text = texts.setdefault
        for key in names:
            splits = known.get(key)
            if splits is None:
                rest = key[len(PREFIX):]
                splits = [(text(channel, channel), kind, text(pipe, pipe))
                          for channel, kind, pipe in readings(rest)] if ":" in rest else []
            splits_of[key] = splits
        self.known = splits_of
        referenced = {PREFIX + channel for splits in splits_of.values() for channel, _, _ in splits
                      if PREFIX + channel in names}
        layout = Layout()
        for key, splits in splits_of.items():
            parsed = resolve(key, key[len(PREFIX):], splits, names, referenced)
            if parsed is not None:
                add(layout, key, *parsed)
        return layout


def discover(keys: Iterable[str]) -> Layout:
    """The channels and pipes that these key names describe."""
    return Discoverer()(keys)


def add(layout: Layout, key: str, channel: str, kind: Kind | None, pipe: str | None) -> None:
    pipes = layout.channels.get(channel)
    if pipes is None:
        pipes = layout.channels[channel] = {}
    if kind is None or pipe is None:
        return
    slot = pipes.get(pipe)
    if slot is None:
        slot = pipes[pipe] = PipeKeys()
    setattr(slot, FIELDS[kind], key)
