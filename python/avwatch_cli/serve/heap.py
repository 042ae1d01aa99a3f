"""Cyclic garbage collection suited to a snapshot of thousands of pipes.

A refresh replaces a good part of a heap of a few hundred thousand small
objects (views, verdicts, records), none of which forms a reference cycle:
reference counting frees them.  With the default thresholds the collector
still walked the whole heap about once per refresh, costing more than the
judging.  What exists at start (modules, classes) is frozen out of every
collection; the young generations, where the rare real cycles die, are
collected as usual.

The whole heap is walked only between refreshes, at most once every
FULL_COLLECTION_SECONDS (FullCollections): left to the thresholds, a full
collection came whenever enough objects had survived, which the rows of a
/metrics body of 100,000 pipes (millions) did at every scrape, and stopped
every thread, the refresh included, for 2 to 4 s each time."""

from __future__ import annotations

import ctypes
import gc
import time

FULL_COLLECTION_SECONDS = 300.0
# Collections of the middle generation after which the interpreter would
# walk the whole heap by itself: never, in effect.
NO_AUTOMATIC_FULL_COLLECTION = 1 << 30


# glibc's mallopt parameter for the number of malloc arenas, and the arenas kept.
M_ARENA_MAX = -8
MALLOC_ARENAS = 2


def share_malloc_arenas() -> None:
    """At most MALLOC_ARENAS malloc arenas for the whole process.  The
    refresher's reads run on threads of their own, each of which glibc would
    give an arena of its own (up to 8 a core), keeping what it frees for
    that arena alone: the memory of the values read, hundreds of MB a
    refresh at 100,000 pipes, would stay spread over them.  Elsewhere than
    glibc, nothing is done."""
    try:
        ctypes.CDLL(None).mallopt(M_ARENA_MAX, MALLOC_ARENAS)
    except (AttributeError, OSError):
        pass


def give_back_free_memory() -> None:
    """Returns the pages malloc holds free to the system (glibc's
    malloc_trim; elsewhere nothing).  A refresh frees hundreds of MB of
    values read, most in blocks of a few kB between ones that live on, which
    malloc would otherwise keep for good."""
    try:
        ctypes.CDLL(None).malloc_trim(0)
    except (AttributeError, OSError):
        pass


def tune_collection() -> None:
    gc.freeze()
    young, middle, _ = gc.get_threshold()
    gc.set_threshold(young, middle, NO_AUTOMATIC_FULL_COLLECTION)


class FullCollections:
    """The whole heap collected when due; called after each refresh."""

    def __init__(self, every: float = FULL_COLLECTION_SECONDS):
        self.every = every
        self.due = time.monotonic() + every

    def maybe(self) -> bool:
        if time.monotonic() < self.due:
            return False
        gc.collect()
        self.due = time.monotonic() + self.every
        return True
