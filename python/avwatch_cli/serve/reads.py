"""The refresher's reads side by side.  Redis answers each client in turn,
a slice of a reply per client per pass of its event loop; while monitors
keep it busy, one connection reading a refresh's hundreds of MB waits a
pass per slice.  So the records that do not depend on one another (the
status records, the analysers' records a chunk ahead, the source records
and the output reasons) are read on connections of their own, at once."""

from __future__ import annotations

from concurrent.futures import Future, wait
from typing import Iterable

# Threads reading for the refresher: the status records, the HLS analyser's
# records, the source records and the reasons, and the input analyser's
# chunks read ahead (chunks.AHEAD + 1 at most).
READERS = 7
# Keys (status and channel records, and the input analyser's) from which a
# plan is read side by side: below, the hand-offs between threads cost more
# than the reads' waits (at 10,000 pipes a refresh took 191 ms side by side,
# against 133 ms one read after another).
SIDE_BY_SIDE_FROM = 100_000
# Reads end by the client's socket timeout; this only paces the check.
SETTLE_SECONDS = 1.0


def settle(futures: Iterable[Future]) -> None:
    """Waits for every read to end, whatever it ends with (each ends within
    the client's socket timeout), so that no reader outlives its refresh."""
    remaining = set(futures)
    while remaining:
        _, remaining = wait(remaining, timeout=SETTLE_SECONDS)


def results(futures: list[Future]) -> None:
    """Waits for every read, then raises the first one's error, if any."""
    settle(futures)
    for future in futures:
        future.result()
