"""Per pipe, per minute counts of its faults over the last hour, for the
pipe's page: continuity errors, lost packets and the rises of the other
transport-stream indicators (from the input analyser's totals), and the
seconds its HLS check found problems, it was degraded, it had no signal and
an analyser found its picture or sound at fault (black, frozen, silent,
loudness off target).

Memory is spent only on pipes that had a fault within the hour: a fixed
array of 60 minutes per such pipe (counts saturate at 65535), and for each
analysed pipe the totals last seen.  A refresh touches the analysed pipes,
those with an HLS record and those in a faulty state, nothing else."""

from __future__ import annotations

import array
import threading
from collections.abc import Iterable, Mapping
from typing import Any

from avwatch_cli.evidence import fresh, hls_faults, number
from avwatch_cli.health import State

MINUTES = 60
KINDS = ("continuity_errors", "lost_packets", "indicator_rises", "hls_problem_seconds", "degraded_seconds",
         "no_signal_seconds", "content_seconds")
CONTINUITY, LOST, INDICATORS, HLS, DEGRADED, NO_SIGNAL, CONTENT = range(len(KINDS))
# The seconds kinds are kept in tenths, to fit the 16-bit counts.
TENTHS = frozenset({HLS, DEGRADED, NO_SIGNAL, CONTENT})
MAX_COUNT = 65535
# The transport-stream indicators whose rises are counted together (the
# first and second priority ones besides continuity).
INDICATOR_FIELDS = ("sync_losses", "sync_byte_errors", "pat_errors", "pmt_errors", "pid_errors", "transport_errors",
                    "crc_errors", "pcr_repetition_errors", "pcr_discontinuity_errors", "pts_errors", "cat_errors",
                    "pcr_accuracy_errors")
TROUBLED = frozenset({State.DEGRADED, State.NO_SIGNAL})


class Row:
    """One pipe's last hour: slot (minute % 60) of each kind, valid for the
    minutes up to `last` (older slots are cleared as the row moves on)."""
    __slots__ = ("last", "counts")

    def __init__(self, minute: int):
        self.last = minute
        self.counts = array.array("H", bytes(2 * MINUTES * len(KINDS)))

    def add(self, minute: int, kind: int, amount: int) -> None:
        if minute > self.last:
            for passed in range(max(self.last + 1, minute - MINUTES + 1), minute + 1):
                start = (passed % MINUTES) * len(KINDS)
                self.counts[start:start + len(KINDS)] = array.array("H", bytes(2 * len(KINDS)))
            self.last = minute
        elif minute <= self.last - MINUTES:
            return
        at = (minute % MINUTES) * len(KINDS) + kind
        self.counts[at] = min(MAX_COUNT, self.counts[at] + amount)


def count(record: Mapping[str, Any], name: str) -> int:
    value = number(record.get(name))
    return 0 if value is None or value < 0 else int(value)


def rise(total: int, before: int) -> int:
    """What a total rose by; one that went down was counted afresh."""
    return total - before if total >= before else total


def totals_of(record: Mapping[str, Any]) -> tuple[int, int, int]:
    return (count(record, "continuity_errors"), count(record, "lost_packets"),
            sum(count(record, name) for name in INDICATOR_FIELDS))


class FaultHistory:
    def __init__(self) -> None:
        self.rows: dict[str, Row] = {}
        # Per analysed pipe: [the record last read, its start, its totals, its
        # "error_times" and "lost_packets" as read] (while the last two and
        # the start are unchanged nothing rose: the common case).
        self.seen: dict[str, list[Any]] = {}
        self.last_refresh: float | None = None
        self.started: float | None = None   # the first refresh counted
        self.swept = 0
        self.lock = threading.Lock()

    def add(self, pipe_id: str, minute: int, kind: int, amount: int) -> None:
        if amount <= 0:
            return
        row = self.rows.get(pipe_id)
        if row is None:
            row = self.rows[pipe_id] = Row(minute)
        row.add(minute, kind, amount)

    def note(self, now: float, analysed: Iterable[tuple[str, dict | None]], hls: Mapping[str, dict],
             troubled: Iterable[tuple[str, State, State]], refresh_seconds: float, stale_after: float,
             content: Iterable[str] = ()) -> None:
        """One refresh: the analysis records (pipe id, parsed record), the
        HLS records by pipe id, the pipes whose sides may be faulty, and
        those whose picture or sound is at fault."""
        minute = int(now // 60)
        elapsed = refresh_seconds if self.last_refresh is None else now - self.last_refresh
        if self.started is None:
            self.started = now
        self.last_refresh = now
        tenths = int(max(0.0, min(elapsed, 2 * refresh_seconds)) * 10 + 0.5)
        with self.lock:
            seen = self.seen
            for pipe_id, record in analysed:
                if record is None:
                    continue
                before = seen.get(pipe_id)
                started = record.get("started")
                rises = record.get("error_times")
                lost_raw = record.get("lost_packets")
                if before is not None:
                    if before[0] is record:
                        continue
                    if before[1] == started and before[3] == rises and before[4] == lost_raw:
                        before[0] = record   # nothing rose: the common case, kept cheap
                        continue
                lost = count(record, "lost_packets")
                if before is not None and before[1] == started:
                    continuity, was_lost, indicators = before[2]
                    if rises != before[3]:
                        # Some indicator rose since (each rise is timed): count them all again.
                        new_continuity, _, new_indicators = totals_of(record)
                        self.add(pipe_id, minute, CONTINUITY, rise(new_continuity, continuity))
                        self.add(pipe_id, minute, INDICATORS, rise(new_indicators, indicators))
                        continuity, indicators = new_continuity, new_indicators
                    self.add(pipe_id, minute, LOST, rise(lost, was_lost))
                    totals = (continuity, lost, indicators)
                else:
                    totals = totals_of(record)
                    if before is not None:   # an analyser that started again counts from zero
                        for kind, total in enumerate(totals):
                            self.add(pipe_id, minute, kind, total)
                seen[pipe_id] = [record, started, totals, rises, lost_raw]
            for pipe_id, record in hls.items():
                # Most records have no failed check: those are passed over first.
                if (record.get("checks_failed") or record.get("stale") is True) and fresh(record, now, stale_after) \
                        and hls_faults(record):
                    self.add(pipe_id, minute, HLS, tenths)
            for pipe_id, input_state, output_state in troubled:
                if State.DEGRADED in (input_state, output_state):
                    self.add(pipe_id, minute, DEGRADED, tenths)
                if State.NO_SIGNAL in (input_state, output_state):
                    self.add(pipe_id, minute, NO_SIGNAL, tenths)
            for pipe_id in content:
                self.add(pipe_id, minute, CONTENT, tenths)
            if minute != self.swept:
                self.swept = minute
                for pipe_id in [pipe_id for pipe_id, row in self.rows.items() if row.last <= minute - MINUTES]:
                    del self.rows[pipe_id]

    def keep(self, pipe_ids: set[str]) -> None:
        """Forgets the pipes no longer tracked."""
        with self.lock:
            for table in (self.rows, self.seen):
                for pipe_id in [pipe_id for pipe_id in table if pipe_id not in pipe_ids]:
                    del table[pipe_id]

    def get(self, pipe_id: str, now: float) -> dict[str, Any]:
        """The last hour by minute, oldest first: each minute's start and, per
        kind, its count (seconds for the seconds kinds)."""
        minute = int(now // 60)
        minutes = range(minute - MINUTES + 1, minute + 1)
        series: dict[str, list[float]] = {kind: [0] * MINUTES for kind in KINDS}
        with self.lock:
            row = self.rows.get(pipe_id)
            if row is not None:
                for at, past in enumerate(minutes):
                    if past > row.last or past <= row.last - MINUTES:
                        continue
                    start = (past % MINUTES) * len(KINDS)
                    for kind, name in enumerate(KINDS):
                        value = row.counts[start + kind]
                        series[name][at] = min(60.0, value / 10) if kind in TENTHS else value
        # Minutes before serve began counting hold nothing known.
        return {"minutes": [past * 60 for past in minutes], "kinds": list(KINDS), "counts": series,
                "counting_since": self.started}
