"""What the analysers measured, weighed against the module's records.

The probe answers every 5-6 s and a loaded host makes it miss; the input
analyser sees every datagram and the HLS check reads what a player reads.
So a side's verdict from its status record (health.judge) is revised with
their fresh records: faults they measured make an answering side
`degraded`, an analyser that got no data makes the input `no_signal`, and
an analyser that sees data flowing keeps one failed probe from doing so.

Pure and standard-library only, like health: `avwatch monitor` logs the
same faults.  The README's table of states describes these rules."""

from __future__ import annotations

import math
from typing import Any

from avwatch_cli.content_evidence import DEFAULT_TARGET, DEFAULT_TOLERANCE, content_faults
from avwatch_cli.health import State, Verdict

# Seconds without a datagram after which the input has no data: the analyser
# publishes every second, so this is seen within about 2.5 s of the input
# stopping, and a healthy stream's gaps are milliseconds.
NO_DATA_AFTER = 1.5
PROBE_NO_ANSWER = "the probe got no answer"
# A counter that rose within this many seconds of the record (its
# "error_times") still counts: faults that recur every few seconds keep the
# side degraded rather than flapping with each window (and an alert's `for:`
# can see them).
HOLD_SECONDS = 10.0
# The window's counters that make an answering input degraded when they rise:
# delivery losses and the first-priority indicators.
INPUT_COUNTERS = (
    ("continuity_errors", "continuity errors"), ("lost_packets", "lost packets"), ("sync_losses", "sync losses"),
    ("sync_byte_errors", "sync byte errors"), ("pat_errors", "PAT errors"), ("pmt_errors", "PMT errors"),
    ("pid_errors", "PID errors"),
)
# The HLS checks that are faults a player meets, in the record's order; the
# folder's housekeeping (stray files, no master playlist) is not.
HLS_CHECKS = {
    "unreadable": "playlist unreadable", "malformed": "playlist malformed", "stale": "stale playlist",
    "ended": "playlist ended", "sequence": "media sequence broken", "discontinuity": "discontinuity sequence broken",
    "over_target": "EXTINF over target", "segment_missing": "segments missing", "segment_empty": "empty segments",
    "sync": "segments not TS", "pat_pmt": "no PAT/PMT first", "key_frame": "no key frame first",
    "continuity": "continuity errors in segments", "lag": "lag", "over_bandwidth": "over declared bandwidth",
}
# At most this many checks named in a reason (a record lists at most 16).
SHOWN_CHECKS = 4


def number(value: Any) -> float | None:
    """A finite JSON number as float (never a boolean); None otherwise."""
    if type(value) is int:
        return float(value) if -2**63 <= value < 2**63 else None
    if type(value) is float and math.isfinite(value):
        return value
    return None


def fresh(record: dict | None, now: float, stale_after: float) -> bool:
    """Whether an analyser's record was written recently enough to count:
    one its monitor stopped rewriting describes a stream long gone."""
    if record is None or "analysis_failed" in record:   # no figures: only why there are none
        return False
    written = number(record.get("time"))
    return written is not None and now - written <= stale_after


def rate(bits_per_second: float) -> str:
    if bits_per_second >= 1e6:
        return f"{bits_per_second / 1e6:.2f} Mb/s"
    if bits_per_second >= 1e3:
        return f"{bits_per_second / 1e3:.0f} kb/s"
    return f"{bits_per_second:.0f} b/s"


def data_age(analysis: dict) -> float | None:
    """Seconds without a datagram at the record's window end; None before any."""
    return number(analysis.get("data_age"))


def no_data(analysis: dict) -> bool:
    age = data_age(analysis)
    return age is None or age > NO_DATA_AFTER


def input_faults(analysis: dict) -> list[tuple[str, str]]:
    """(key, text) of each fault of a record that shows data flowing: in its
    latest window, or risen within HOLD_SECONDS of it."""
    found = []
    if analysis.get("in_sync") is False:
        found.append(("in_sync", "out of sync"))
    window = analysis.get("window")
    counts = window if type(window) is dict else {}
    times = analysis.get("error_times")
    rises = times if type(times) is dict else {}
    written = number(analysis.get("time"))
    for field, name in INPUT_COUNTERS:
        count = number(counts.get(field))
        if count is not None and count > 0:
            found.append((field, f"{name} +{count:.0f}"))
            continue
        rose = number(rises.get(field))
        if rose is not None and written is not None and written - rose <= HOLD_SECONDS:
            found.append((field, f"{name} {max(0.0, written - rose):.0f} s ago"))
    return found


def hls_faults(hls: dict) -> list[tuple[str, str]]:
    """(key, text) of each fault the HLS check found."""
    checks = hls.get("checks_failed")
    codes = [code for code in checks if type(code) is str and code in HLS_CHECKS] if type(checks) is list else []
    if hls.get("stale") is True and "stale" not in codes:
        codes.insert(0, "stale")
    found = []
    for code in dict.fromkeys(codes):   # once each, in order
        text = HLS_CHECKS[code]
        if code == "lag" and (lag := number(hls.get("lag"))) is not None:
            text = f"lag {lag:.1f} s"
        elif code == "continuity" and (count := number(hls.get("continuity_errors"))) is not None:
            text = f"{text} {count:.0f}"
        found.append((code, text))
    return found


def faults(side: str, record: dict | None, now: float, stale_after: float) -> list[tuple[str, str]]:
    """The faults a fresh analyser record shows for a side, no data
    included for the input; [] for a record that is absent or old."""
    if not fresh(record, now, stale_after):
        return []
    assert record is not None
    if side == "output":
        return hls_faults(record) + content_faults(record)
    if no_data(record):
        return [("no_data", "no data")]
    return input_faults(record) + content_faults(record)


def measured(side: str, record: dict | None, now: float, stale_after: float) -> float | None:
    """The analyser's measured rate for the side (b/s), or None without a fresh measurement."""
    if not fresh(record, now, stale_after):
        return None
    assert record is not None
    value = number(record.get("bitrate"))
    if value is None or value < 0 or (side == "output" and value == 0):   # the HLS check's 0: nothing measurable
        return None
    return value


def weigh(side: str, verdict: Verdict, record: dict | None, now: float, stale_after: float,
          loudness_target: float = DEFAULT_TARGET, loudness_tolerance: float = DEFAULT_TOLERANCE) -> Verdict:
    """The side's verdict revised with its analyser's record (the input
    analysis for the input, the HLS check for the output).  Only an `ok` or
    `no_signal` verdict is revised: the others say the monitor or its record
    failed, which the analysers cannot tell about."""
    state = verdict.state
    if (state is not State.OK and state is not State.NO_SIGNAL) or not fresh(record, now, stale_after):
        return verdict
    assert record is not None
    if side == "output":
        if state is State.NO_SIGNAL:
            return verdict
        checks = hls_faults(record)
        seen = content_faults(record, loudness_target, loudness_tolerance)
        if not checks and not seen:
            return verdict
        reasons = (["HLS: " + ", ".join(text for _, text in checks[:SHOWN_CHECKS])] if checks else []) + \
            ([", ".join(text for _, text in seen)] if seen else [])
        return Verdict(State.DEGRADED, verdict.record, "; ".join(reasons))
    if no_data(record):
        age = data_age(record)
        reason = "the analyser got no data" + ("" if age is None else f" for {age:.1f} s")
        reason += " (the probe still answers)" if state is State.OK else f"; {verdict.reason}"
        return Verdict(State.NO_SIGNAL, verdict.record, reason)
    found = ", ".join(text for _, text in
                      input_faults(record) + content_faults(record, loudness_target, loudness_tolerance))
    if state is State.NO_SIGNAL:
        # The probe's silence against every datagram the analyser saw: a fault
        # of the probe's (a loaded host), or of what it reads, not a dead input.
        failed = "the probe failed" if verdict.reason == PROBE_NO_ANSWER else verdict.reason
        flowing = measured("input", record, now, stale_after)
        reason = f"{failed}; data flowing" + ("" if flowing is None else f" at {rate(flowing)} measured")
        return Verdict(State.DEGRADED, verdict.record, reason + (f"; {found}" if found else ""))
    if found:
        return Verdict(State.DEGRADED, verdict.record, found)
    return verdict
