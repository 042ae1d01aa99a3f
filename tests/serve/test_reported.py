"""The output monitors' own reasons as serve decodes and keeps them."""

import json

import pytest

from avwatch_cli.health import State
from avwatch_cli.serve.reported import Reported, decode
from avwatch_cli.serve.snapshot import PipeView, SideView, pipe_json

NOW = 1_700_000_000.0


def record(**fields) -> bytes:
    return json.dumps({"reason": "playlist gone", "since": NOW - 60, "seen": NOW, "passes": 9, **fields}).encode()


@pytest.mark.parametrize("raw, decoded", [
    (None, None),
    (record(), ("playlist gone", NOW)),
    (record(seen=int(NOW)), ("playlist gone", NOW)),
    # ffprobe's message over several lines: one line; a lone surrogate is no text to show.
    (record(reason="bind failed:\n  Cannot assign\trequested address\r\n"),
     ("bind failed: Cannot assign requested address", NOW)),
    (record(reason="a\ud800b"), ("a\ufffdb", NOW)),
    (b"[1, 2]", None),
    (b"[" * 30_000 + b"]" * 30_000, None),       # too deep within the size limit
    (record(reason=""), None),
    (record(reason="   \n"), None),
    (record(reason=5), None),
    (record(seen="1700000000"), None),
    (record(seen=True), None),
    (json.dumps({"reason": "x"}).encode(), None),
    (b'{"reason": "x", "seen": 1e400}', None),
    (b'{"reason": "x", "seen": NaN}', None),
])
def test_decode(raw, decoded):
    assert decode(raw) == decoded


@pytest.mark.parametrize("seen, kept", [
    (NOW, True),
    (NOW - 30, True),      # as old as --stale-after
    (NOW - 31, False),     # a monitor that died: its last word no longer counts
    (NOW + 30, True),      # a monitor's clock a little ahead
    (NOW + 10_000, False),  # far ahead would keep it for ever
])
def test_only_a_recent_reason_counts(seen, kept):
    reported = Reported(stale_after=30)
    reported.refresh(lambda keys: [record(seen=seen)], [("p1", b"k1")], NOW)
    assert reported.by_id == ({"p1": "playlist gone"} if kept else {})


def test_reasons_are_read_again_only_when_due():
    reads = []
    values = {b"k1": record()}

    def read(keys):
        reads.append(keys)
        return [values.get(key) for key in keys]

    reported, pipes = Reported(stale_after=30), [("p1", b"k1"), ("p2", b"k2")]
    reported.refresh(read, pipes, NOW)
    first = reported.by_id
    reported.refresh(read, pipes, NOW + 9)                 # same pipes, too soon
    assert len(reads) == 1
    values[b"k1"] = record(seen=NOW + 10)
    reported.refresh(read, pipes, NOW + 10)                # due: the same text keeps the mapping
    assert len(reads) == 2 and reported.by_id is first
    values[b"k2"] = record(reason="no playlist yet", seen=NOW + 11)
    reported.refresh(read, list(pipes), NOW + 11)          # a new pipe list is read at once
    assert reported.by_id == {"p1": "playlist gone", "p2": "no playlist yet"}
    assert first == {"p1": "playlist gone"}                # a snapshot's mapping never changes
    # A short --stale-after is read more often, or a live monitor's reason would look old.
    assert Reported(stale_after=4).every == 2


def test_the_reason_joins_the_output_side_only():
    side = SideView(State.SILENT, "no write for 40 s", None, None, None)
    document = pipe_json(PipeView("p1", "7", "main", side, side), {"uri": "udp://x"}, None, NOW, "playlist gone")
    assert document["output"]["reason"] == "playlist gone; no write for 40 s"
    assert document["input"]["reason"] == "no write for 40 s"
