"""The fields serve keeps of an input analyser's record, picked in C
(avwatch_serve_accel.pick) against the Python reference, over any JSON."""

import json
import os

import pytest
from hypothesis import given, settings, strategies as st

from avwatch_cli.serve.accelerator import module
from avwatch_cli.serve.analysis import SHOWN_FIELDS, pick_fields

pytestmark = pytest.mark.skipif(os.environ.get("AVWATCH_SERVE_PURE") == "1", reason="the C module is disabled")

NAMES = st.sampled_from([*SHOWN_FIELDS[:6], "window", "pids", "uri", ""])
SCALARS = st.one_of(st.none(), st.booleans(), st.integers(-2**70, 2**70), st.floats(allow_nan=True), st.text(max_size=4))
JSON = st.recursive(SCALARS, lambda inner: st.lists(inner, max_size=3) | st.dictionaries(NAMES, inner, max_size=4),
                    max_leaves=12)


@settings(max_examples=400, deadline=None)
@given(st.dictionaries(NAMES, JSON, max_size=8))
def test_the_c_pick_matches_the_python_one(record):
    assert module is not None, "avwatch_serve_accel is not installed"
    expected = pick_fields(record, SHOWN_FIELDS, "window")
    got = module.pick(record, SHOWN_FIELDS, "window")
    # Same entries in the same order (NaN compared by its text).
    assert json.dumps(got) == json.dumps(expected)


@pytest.mark.parametrize("record, names", [
    ([], ("a",)), ({"a": 1}, ["a"]), ({"a": 1}, "a"),
])
def test_anything_but_a_dict_and_a_tuple_is_refused(record, names):
    with pytest.raises(TypeError):
        module.pick(record, names, "window")
