"""Random prober answers never crash the probe: it returns a seven-key record
or raises one of the errors its rules allow."""

import json
import math

from hypothesis import given, settings, strategies as st

import avwatch
from probe_fakes import DEFAULT_RECORD, RECORD_KEYS, FakeProber

# What values of the wrong type or form make the conversions and lookups
# raise; a zero frame-rate denominator counts as no frame rate.
ALLOWED = (AttributeError, TypeError, ValueError, KeyError, IndexError, OverflowError)

scalars = st.one_of(
    st.none(), st.booleans(), st.integers(-10**20, 10**20), st.floats(allow_nan=False),
    st.text(max_size=8), st.sampled_from(["", "0", "25/1", "30000/1001", "0/0", "1/0", "25", "a/b", "1/2/3", "N/A",
                                          "s16", "fltp", "audio", "video", "0x100", "0x101", "256", "1e400", "nan",
                                          "inf"]),
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
# What the wrapper may print after the document, and what a broken prober
# prints instead of one.
trailers = st.sampled_from(["", "\n", "\nProcess 1 detected\n", " {", "]", "\n\"", "\nnull"])
raw_output = st.one_of(st.text(max_size=30), st.builds(lambda document, cut: json.dumps(document)[:cut],
                                                       answer, st.integers(0, 40)))
sources = st.sampled_from(["/seg.ts", "udp://239.0.0.1:1234?localaddr=", "UDP://x", "udp"])
id_texts = st.sampled_from(["", "1", "256", "257", "0x100", "abc", " 256", "-1"])


def assert_is_a_record(record):
    assert list(record) == RECORD_KEYS
    if record == DEFAULT_RECORD:
        return
    assert type(record["vresolution"]) is str and "x" in record["vresolution"]
    for key in ("vfps", "vbitrate", "abitrate", "bitrate"):
        assert type(record[key]) is int, (key, record)
    # The total goes through to_int, as every rate does.
    assert record["bitrate"] == int(float(record["abitrate"] + record["vbitrate"]))


def probe_with(prober, uri, ids):
    real = avwatch.subprocess
    avwatch.subprocess = prober
    try:
        return avwatch.get_ffprobe_info(uri, *ids)
    finally:
        avwatch.subprocess = real


@settings(max_examples=400, deadline=None)
@given(document=answer, trailer=trailers, uri=sources, ids=st.tuples(id_texts, id_texts, id_texts))
def test_random_answers_give_a_record_or_an_allowed_error(document, trailer, uri, ids):
    prober = FakeProber()
    prober.stdout = json.dumps(document) + trailer
    try:
        record = probe_with(prober, uri, ids)
    except ALLOWED:
        return
    assert_is_a_record(record)


@settings(max_examples=300, deadline=None)
@given(stdout=raw_output, returncode=st.sampled_from([0, 0, 1, -9]), uri=sources)
def test_random_output_gives_a_record_or_an_allowed_error(stdout, returncode, uri):
    prober = FakeProber()
    prober.stdout, prober.returncode = stdout, returncode
    try:
        record = probe_with(prober, uri, ("1", "256", "257"))
    except ALLOWED:
        return
    assert_is_a_record(record)
    if returncode != 0 or not stdout.strip():
        assert record == DEFAULT_RECORD


@settings(max_examples=200, deadline=None)
@given(rate=st.one_of(st.text(max_size=12), st.builds("{}/{}".format, st.integers(-10**6, 10**6),
                                                        st.integers(-10**6, 10**6)),
                      st.builds("{}/{}".format, st.floats(), st.floats())))
def test_frame_rates_truncate_or_raise(rate):
    prober = FakeProber()
    prober.answer([{"codec_type": "video", "r_frame_rate": rate, "bit_rate": 1}])
    try:
        record = probe_with(prober, "/seg.ts", ())
    except ALLOWED:
        return
    numerator, denominator = (float(part) for part in rate.split("/")[:2])
    expected = 0 if denominator == 0 else math.trunc(numerator / denominator)
    assert record["vfps"] == expected
