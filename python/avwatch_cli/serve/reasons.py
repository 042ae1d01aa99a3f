"""The reason the page and /api/status give for a side's state.

The judge's reason says what serve saw in the status record; this adds what
other records tell about why.  It is the one place where a further source
of reasons (a monitor's own account of its last failure, say) joins in:
give `reason` that source's text and it is put first."""

from __future__ import annotations

from typing import Any, Mapping

from avwatch_cli.health import State

# States whose cause may lie in the input source record: without a usable
# "uri" the input monitor never writes, or stops writing, its status record.
SOURCE_EXPLAINS = frozenset({State.MISSING, State.SILENT, State.NO_SIGNAL})


def reason(side: str, state: State, judged: str, source: Mapping[str, Any] | None,
           reported: str | None = None) -> str:
    """`judged` is the judge's reason, `source` the summary of the pipe's
    input source record (None when it has none), `reported` what the
    side's monitor said of its own failure, when it says anything."""
    added = None
    if side == "input" and state in SOURCE_EXPLAINS:
        if source is None:
            added = "there is no input source record"
        elif problem := source.get("problem"):
            added = f"input source record: {problem}"
    if added is None and not reported:
        return judged   # the common case, once per side and snapshot: nothing to join
    return "; ".join(part for part in (reported, judged, added) if part)
