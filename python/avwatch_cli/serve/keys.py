"""Channels and pipes found in the key names.

A channel's keys are "ch:ID" (channel record), "ch:ID:input:PIPE" (input
source), "ch:ID:in:PIPE" and "ch:ID:out:PIPE" (status records).  IDs and pipe
names are inserted without escaping, so "ch:a:in:b:out:c" is both pipe
"b:out:c" of channel "a" and pipe "c" of channel "a:in:b".  The rule:

1. a key whose ID part names an existing channel record belongs to that
   channel; among several such readings the longest ID wins;
2. a key with no such reading but a marker is read at the last marker (the
   longest ID): pipe names are short words, composite IDs are likelier;
3. a key with no marker at all is a channel record.
"""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Literal

PREFIX = "ch:"
Kind = Literal["input", "in", "out"]
MARKERS: tuple[tuple[str, Kind], ...] = ((":input:", "input"), (":in:", "in"), (":out:", "out"))


@dataclass
class PipeKeys:
    """Key names of one channel pipe; a side without its key is None."""
    source: str | None = None
    input: str | None = None
    output: str | None = None


@dataclass
class Layout:
    """Every channel found, with its pipes."""
    channels: dict[str, dict[str, PipeKeys]] = field(default_factory=dict)

    def pipes(self) -> Iterable[tuple[str, str, PipeKeys]]:
        for channel, pipes in self.channels.items():
            for pipe, keys in pipes.items():
                yield channel, pipe, keys


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


def parse_key(key: str, channel_keys: set[str] | frozenset[str]) -> tuple[str, Kind | None, str | None] | None:
    """(ID, kind, PIPE) of one key, kind None for a channel record; None for
    a key outside the layout.  `channel_keys` are the key names present."""
    if not key.startswith(PREFIX):
        return None
    rest = key[len(PREFIX):]
    if ":" not in rest:  # the common case, without the search below
        return (rest, None, None) if rest else None
    splits = readings(rest)
    if not splits:
        return rest, None, None
    for channel, kind, pipe in splits:
        if PREFIX + channel in channel_keys:
            return channel, kind, pipe
    return splits[0]


class Discoverer:
    """`discover` for a key set that changes a little at a time: a key with
    at most one reading parses the same whatever else exists, so its parse
    is kept between calls (for the keys still present)."""

    def __init__(self) -> None:
        self.known: dict[str, tuple[str, Kind | None, str | None] | None] = {}

    def __call__(self, keys: Iterable[str]) -> Layout:
        names = frozenset(keys)
        known = self.known
        kept = {}
        layout = Layout()
        for key in names:
            if key in known:
                parsed = kept[key] = known[key]
            else:
                parsed = parse_key(key, names)
                if len(readings(key[len(PREFIX):])) < 2:
                    kept[key] = parsed
            if parsed is not None:
                add(layout, key, *parsed)
        self.known = kept
        return layout


def discover(keys: Iterable[str]) -> Layout:
    """The channels and pipes that these key names describe."""
    return Discoverer()(keys)


def add(layout: Layout, key: str, channel: str, kind: Kind | None, pipe: str | None) -> None:
    pipes = layout.channels.setdefault(channel, {})
    if kind is None or pipe is None:
        return
    slot = pipes.setdefault(pipe, PipeKeys())
    if kind == "input":
        slot.source = key
    elif kind == "in":
        slot.input = key
    else:
        slot.output = key
