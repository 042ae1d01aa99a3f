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

import gc
import time

FULL_COLLECTION_SECONDS = 300.0
# Collections of the middle generation after which the interpreter would
# walk the whole heap by itself: never, in effect.
NO_AUTOMATIC_FULL_COLLECTION = 1 << 30


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
