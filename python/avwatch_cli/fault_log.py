"""Fault lines for `avwatch monitor`: the onsets and clears of the faults
its analysers measure (those that make `avwatch serve` call a side
`degraded`, or `no_signal` for no data), read back with the status
records.  A fault that comes and goes with every glitch would flood the
log, so each fault gets at most one line a minute: a change within the
minute after its last line is logged once the minute is up, if it still
holds."""

from __future__ import annotations

import logging
import time
from collections.abc import Callable

from avwatch_cli.evidence import faults
from avwatch_cli.health import Side

log = logging.getLogger("avwatch.cli")

LOG_EVERY_SECONDS = 60.0
# An analyser's record older than this is no evidence: it is rewritten
# every second, and expires 10 s after its analyser stops.
FRESH_SECONDS = 10.0


class Fault:
    __slots__ = ("logged_on", "logged_at", "text", "logged_text")

    def __init__(self) -> None:
        self.logged_on = False            # what the log last said
        self.logged_at = float("-inf")
        self.text = ""                    # as last measured, e.g. "continuity errors +12"
        self.logged_text = ""             # as its onset was logged: its clear names it so


class FaultLog:
    """Kept per fault kind (a few dozen at most), so bounded."""

    def __init__(self, clock: Callable[[], float] = time.time):
        self.clock = clock
        self.faults: dict[tuple[Side, str], Fault] = {}

    def note(self, side: Side, record: dict | None) -> None:
        """The side's analyser record as read now (None when absent or unreadable)."""
        now = self.clock()
        found = dict(faults(side, record, now, FRESH_SECONDS))
        for key, text in found.items():
            self.faults.setdefault((side, key), Fault()).text = text
        for (fault_side, key), fault in self.faults.items():
            on = key in found
            if fault_side != side or on == fault.logged_on or now - fault.logged_at < LOG_EVERY_SECONDS:
                continue
            fault.logged_on, fault.logged_at = on, now
            if on:
                fault.logged_text = fault.text
                log.warning("%s fault: %s", side, fault.text)
            else:
                log.info("%s fault cleared: %s", side, fault.logged_text)
