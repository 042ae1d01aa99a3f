"""Write times in C (avwatch_serve_accel.note_writes) against the Python
reference, round after round over the same lists."""

import os

import pytest
from hypothesis import given, settings, strategies as st

from avwatch_cli.serve import native
from avwatch_cli.serve.freshness import note_writes

pytestmark = pytest.mark.skipif(os.environ.get("AVWATCH_SERVE_PURE") == "1", reason="the C module is disabled")

KEYS = 6
CHANNELS = [f"__keyspace@0__:ch:{n}:in:p".encode() for n in range(KEYS)]
VALUES = st.lists(st.one_of(st.none(), st.sampled_from([b"a", b"b", b"{}"])), min_size=KEYS, max_size=KEYS)
NOTIFIED = st.dictionaries(st.sampled_from(CHANNELS), st.floats(0.0, 2000.0), max_size=KEYS)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.tuples(VALUES, NOTIFIED, st.floats(0.0, 100.0)), min_size=1, max_size=5),
       st.lists(st.floats(0.0, 1500.0), min_size=KEYS, max_size=KEYS))
def test_the_c_pass_matches_the_python_one(rounds, floors):
    assert native.note_writes is not None, "avwatch_serve_accel is not installed"
    tables = {which: ([None] * KEYS, [0.0] * KEYS) for which in ("python", "c")}
    now = 1000.0
    for values, notified, step in rounds:
        now += step
        got = {which: note(values, *tables[which], CHANNELS, notified, floors, now)
               for which, note in (("python", note_writes), ("c", native.note_writes))}
        assert got["c"] == got["python"]
        assert tables["c"] == tables["python"]


def test_lists_of_another_length_are_refused():
    with pytest.raises(TypeError, match="as long as"):
        native.note_writes([b"a"], [], [], [], {}, [], 1.0)
