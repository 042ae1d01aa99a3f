"""Random prober answers never crash the probe: it returns a seven-key record
or raises one of the errors its rules allow."""

import json
import types

from hypothesis import given, settings, strategies as st

import avwatch

RECORD_KEYS = ["acodec", "vcodec", "vresolution", "vfps", "vbitrate", "abitrate", "bitrate"]
ALLOWED = (AttributeError, TypeError, ValueError, KeyError, IndexError, OverflowError)

scalars = st.one_of(
    st.none(), st.booleans(), st.integers(-10**20, 10**20), st.floats(allow_nan=False),
    st.text(max_size=8), st.sampled_from(["", "0", "25/1", "30000/1001", "0/0", "1/0", "N/A", "s16", "fltp",
                                          "audio", "video", "0x100", "0x101", "1e400", "nan", "inf"]),
)
values = st.recursive(scalars, lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=4), inner, max_size=3),
                      max_leaves=6)
MEMBERS = ["codec_type", "codec_name", "sample_fmt", "sample_rate", "channels", "bit_rate", "width", "height",
           "bits_per_raw_sample", "r_frame_rate", "id"]
stream = st.fixed_dictionaries({}, optional={
    "codec_type": st.one_of(st.sampled_from(["audio", "video", "data", ""]), values),
    **{member: values for member in MEMBERS[1:]},
})
answer = st.one_of(
    st.fixed_dictionaries({"streams": st.one_of(st.lists(stream, max_size=4), values)}),
    values,
)


class Completed:
    def __init__(self, stdout):
        self.returncode = 0
        self.stdout = stdout


def _seam(stdout):
    real = avwatch.subprocess
    fake = types.SimpleNamespace(run=lambda *args, **kwargs: Completed(stdout),
                                 TimeoutExpired=real.TimeoutExpired)
    return fake


@settings(max_examples=400, deadline=None)
@given(document=answer, uri=st.sampled_from(["/seg.ts", "udp://239.0.0.1:1234?localaddr="]),
       ids=st.tuples(*[st.sampled_from(["", "1", "256", "257", "0x100", "abc"])] * 3))
def test_random_answers_give_a_record_or_an_allowed_error(document, uri, ids):
    real = avwatch.subprocess
    avwatch.subprocess = _seam(json.dumps(document) + "\nProcess 1 detected\n")
    try:
        record = avwatch.get_ffprobe_info(uri, *ids)
    except ALLOWED:
        return
    finally:
        avwatch.subprocess = real
    assert list(record) == RECORD_KEYS
    assert isinstance(record["vfps"], int) or record["vfps"] == 0
