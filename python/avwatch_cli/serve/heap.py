"""Cyclic garbage collection suited to a snapshot of thousands of pipes.

A refresh replaces a good part of a heap of a few hundred thousand small
objects (views, verdicts, records), none of which forms a reference cycle:
reference counting frees them.  With the default thresholds the collector
still walked the whole heap about once per refresh, costing more than the
judging.  What exists at start (modules, classes) is frozen out of every
collection, and full collections run a tenth as often; the young
generations, where the rare real cycles die, are collected as usual."""

from __future__ import annotations

import gc

FULL_COLLECTION_EVERY = 100   # collections of the middle generation (default 10)


def tune_collection() -> None:
    gc.freeze()
    young, middle, _ = gc.get_threshold()
    gc.set_threshold(young, middle, FULL_COLLECTION_EVERY)
