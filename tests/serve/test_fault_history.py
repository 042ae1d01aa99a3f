"""The per-minute fault counts behind the pipe page: an hour kept, older
minutes gone with the memory they held, and the analyser's totals turned
into rises whatever the order of restarts and rewrites."""

from __future__ import annotations

import pytest

from avwatch_cli.health import State
from avwatch_cli.serve.faults import FaultHistory

HOUR_START = 1_800_000_000 - 1_800_000_000 % 3600


def analysis(started: float, continuity: int, lost: int = 0, pat: int = 0) -> dict:
    """A record as the analyser writes it: each counter's rise is timed (here
    by a stand-in that changes whenever the counter does)."""
    rises = {name: float(value) for name, value in (("continuity_errors", continuity), ("pat_errors", pat)) if value}
    return {"started": started, "continuity_errors": continuity, "lost_packets": lost, "pat_errors": pat,
            "time": 0.0, "error_times": rises}


def note(history: FaultHistory, at: float, records=(), troubled=()) -> None:
    history.note(at, list(records), {}, list(troubled), refresh_seconds=2.0, stale_after=30.0)


@pytest.mark.parametrize("later_minutes, kept", [(0, True), (1, True), (59, True), (60, False), (500, False)])
def test_an_hour_is_kept_and_an_older_fault_frees_its_row(later_minutes, kept):
    history = FaultHistory()
    at = HOUR_START + 30
    note(history, at, troubled=[("p1", State.DEGRADED, State.OK)])
    # The pipe gets well; time passes with other pipes' refreshes only.
    later = at + 60 * later_minutes
    note(history, later, troubled=[("p2", State.NO_SIGNAL, State.OK)])
    counts = history.get("p1", later)["counts"]
    seconds = counts["degraded_seconds"]
    assert sum(seconds) == (2.0 if kept else 0)
    if kept:
        assert seconds[59 - later_minutes] == 2.0 and counts["no_signal_seconds"] == [0] * 60
    assert ("p1" in history.rows) is kept


def test_a_row_reused_after_a_quiet_spell_shows_no_stale_minutes():
    history = FaultHistory()
    at = HOUR_START + 5
    note(history, at, troubled=[("p1", State.DEGRADED, State.OK)])
    note(history, at + 70 * 60, troubled=[("p1", State.DEGRADED, State.OK), ("p2", State.OK, State.NO_SIGNAL)])
    seconds = history.get("p1", at + 70 * 60)["counts"]["degraded_seconds"]
    assert seconds[-1] > 0 and sum(1 for value in seconds if value) == 1


@pytest.mark.parametrize("records, expected", [
    # The first record is the baseline: what came before serve cannot be placed in a minute.
    ([analysis(1.0, 100)], (0, 0, 0)),
    ([analysis(1.0, 100), analysis(1.0, 103, lost=4, pat=1)], (3, 4, 1)),
    # Packets counted lost in a later window than the continuity error that showed the jump.
    ([analysis(1.0, 100), analysis(1.0, 103), analysis(1.0, 103, lost=4)], (3, 4, 0)),
    # A restarted analyser counts from zero again.
    ([analysis(1.0, 100), analysis(2.0, 5)], (5, 0, 0)),
    # Totals that went down without a restart (a record of another analyser): taken as new.
    ([analysis(1.0, 100), analysis(1.0, 7)], (7, 0, 0)),
])
def test_rises_come_from_the_analysers_totals(records, expected):
    history = FaultHistory()
    at = HOUR_START + 10
    for step, record in enumerate(records):
        note(history, at + step, records=[("p1", record)])
        note(history, at + step + 0.5, records=[("p1", record)])   # the same record again adds nothing
    counts = history.get("p1", at + 5)["counts"]
    assert (counts["continuity_errors"][-1], counts["lost_packets"][-1], counts["indicator_rises"][-1]) == expected


def test_counts_saturate_instead_of_wrapping():
    history = FaultHistory()
    at = HOUR_START + 10
    note(history, at, records=[("p1", analysis(1.0, 0))])
    note(history, at + 1, records=[("p1", analysis(1.0, 70_000))])
    note(history, at + 2, records=[("p1", analysis(1.0, 70_010))])
    assert history.get("p1", at + 2)["counts"]["continuity_errors"][-1] == 65535
