"""State-change lines for `avwatch monitor`.  The monitors run inside the
extension module and only write Redis, so the command reads their status
records back about once a second, judges them as `avwatch serve` does and
logs one line per change of a side's state."""

import logging
import math
from collections.abc import Callable

from avwatch_cli.broker import REDIS_ERRORS
from avwatch_cli.fault_log import FaultLog
from avwatch_cli.health import (CHANNEL_STOPPED, Side, State, Verdict, channel_live, essentials, is_initial_record,
                                json_object, judge)

log = logging.getLogger("avwatch.cli")

# The command sees values, not writes: a record rewritten with the same
# values looks unchanged, so it cannot tell a silent monitor apart and
# passes no age (and so no staleness bound) to the judge.
UNKNOWN_AGE = None
NEVER_STALE = math.inf


class StateLog:
    def __init__(self, broker, ch_uid: str, pipe_name: str, sides: list[Side],
                 output_published: Callable[[], None] | None = None):
        self.broker = broker
        # Told when the output record changes to an ok one: a pass succeeded.
        self.output_published = output_published
        self.last_output: bytes | None = None
        self.channel_key = f"ch:{ch_uid}"
        self.keys = {side: f"ch:{ch_uid}:{'in' if side == 'input' else 'out'}:{pipe_name}" for side in sides}
        # The analysers' records beside them: the input analysis, the HLS check.
        self.analysis_keys = {side: f"ch:{ch_uid}:{'ts' if side == 'input' else 'hls'}:{pipe_name}"
                              for side in sides}
        self.fault_log = FaultLog()
        self.states: dict[Side, State] = {}
        self.been_ok: set[Side] = set()
        self.channel_present = True   # checked before the monitors started
        self.read_error: str | None = None

    def poll(self) -> None:
        try:
            # Separate GETs: the keys may live on different nodes of a cluster.
            values = [self.broker.get(key) for key in self.read_keys()]
        except REDIS_ERRORS as error:
            # The monitors report the same faults themselves: only noted here.
            self.note_read_error(str(error))
            return
        self.apply(values)

    def read_keys(self) -> list[str]:
        """The keys a poll reads, in the order apply() takes their values."""
        return [self.channel_key, *self.keys.values(), *self.analysis_keys.values()]

    def apply(self, values: list) -> None:
        """Judges the values of read_keys() and logs what changed."""
        if self.read_error is not None:
            log.info("reading the status records again")
            self.read_error = None
        channel = values[0]
        records = dict(zip(self.keys, values[1:1 + len(self.keys)]))
        analyses = dict(zip(self.analysis_keys, values[1 + len(self.keys):]))
        self.channel_present = channel is not None
        live = channel_live(channel)
        for side, raw in records.items():
            verdict = judge(side, raw, live, UNKNOWN_AGE, NEVER_STALE)
            self.report(side, verdict)
            if side == "output" and raw != self.last_output:
                self.last_output = raw
                if verdict.state is State.OK and self.output_published is not None:
                    self.output_published()
        for side, raw in analyses.items():
            self.fault_log.note(side, json_object(raw))

    def report(self, side: Side, verdict: Verdict) -> None:
        if self.states.get(side) is verdict.state:
            return
        self.states[side] = verdict.state
        if verdict.state is State.OK:
            again = " again" if side in self.been_ok else ""
            self.been_ok.add(side)
            log.info("%s: ok%s: %s", side, again, essentials(side, verdict.record or {}))
        elif expected(side, verdict):
            log.info("%s: %s (%s)", side, verdict.state.value, verdict.reason)
        else:
            log.warning("%s: %s (%s)", side, verdict.state.value, verdict.reason)

    def note_read_error(self, error: str) -> None:
        if self.read_error is None:
            log.warning("cannot read the status records back from Redis: %s", error)
        self.read_error = error




def expected(side: Side, verdict: Verdict) -> bool:
    """States that are part of a normal run, not faults: a stopped channel,
    and the output monitor's initial record before the first probe."""
    if verdict.state is State.STOPPED:
        return verdict.reason == CHANNEL_STOPPED
    return (side == "input" and verdict.state is State.NO_SIGNAL and verdict.record is not None
            and is_initial_record(verdict.record))
