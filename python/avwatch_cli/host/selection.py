"""Which channels a host watches: the operator's choice of channel ids, a
glob over them and a share of a hash split, all of which a channel must
pass.  The hash is CRC-32 of the id, the same on every host and Python, so
hosts given 1/N ... N/N of the same N split every channel between them
without talking to each other."""

from __future__ import annotations

import fnmatch
import re
import zlib
from dataclasses import dataclass

from avwatch_cli.failures import USAGE, Failure


@dataclass(frozen=True)
class Selection:
    channels: frozenset[str] | None = None
    pattern: str | None = None
    shard: tuple[int, int] | None = None   # (K, N): the K-th of N shares, 1 <= K <= N

    def __contains__(self, ch_uid: object) -> bool:
        if not isinstance(ch_uid, str):
            return False
        if self.channels is not None and ch_uid not in self.channels:
            return False
        if self.pattern is not None and not fnmatch.fnmatchcase(ch_uid, self.pattern):
            return False
        return self.shard is None or shard_of(ch_uid, self.shard[1]) == self.shard[0]

    def describe(self) -> str:
        parts = []
        if self.channels is not None:
            parts.append(f"channels {', '.join(sorted(self.channels))}")
        if self.pattern is not None:
            parts.append(f"ids matching {self.pattern!r}")
        if self.shard is not None:
            parts.append(f"share {self.shard[0]} of {self.shard[1]}")
        return " and ".join(parts) or "every channel"


def shard_of(ch_uid: str, shares: int) -> int:
    """The share (1..shares) a channel id falls in."""
    return zlib.crc32(ch_uid.encode("utf-8", "surrogateescape")) % shares + 1


def parse_shard(text: str) -> tuple[int, int]:
    found = re.fullmatch(r"\s*(\d+)\s*/\s*(\d+)\s*", text)
    if found is None:
        raise Failure(f"--shard wants K/N, for example 1/3 (the first of three hosts): got {text!r}", USAGE)
    share, shares = int(found[1]), int(found[2])
    if not 1 <= share <= shares:
        raise Failure(f"--shard {text}: K counts from 1 to N", USAGE)
    return share, shares


def parse_channels(values: list[str] | None) -> frozenset[str] | None:
    """--channels given once or more, each a comma-separated list."""
    if not values:
        return None
    ids = frozenset(part.strip() for value in values for part in value.split(",") if part.strip())
    if not ids:
        raise Failure("--channels names no channel id", USAGE)
    return ids
