"""serve's orjson decoding of status records gives exactly the judge's own
answers (health.decode) whatever the bytes: it decides which records skip
the judge's checks, so any difference is a wrong state."""

import json

import pytest
from hypothesis import given, settings, strategies as st

from avwatch_cli.health import LIMIT, MAX_RECORD_BYTES, decode
from avwatch_cli.serve.decoding import fast_decode
from serve.harness import INITIAL, OUTPUT, STREAM


def same(raw) -> None:
    expected = decode(raw)
    assert fast_decode(raw) == expected, raw
    if expected[0] is not None:
        assert type(fast_decode(raw)[0]) is dict


@pytest.mark.parametrize("raw", [
    json.dumps(STREAM), json.dumps(OUTPUT).encode(), json.dumps(INITIAL), b"{}", b'{"bitrate": 0}',
    b'{"bitrate": true}', b'{"bitrate": 1.5}', b'{"bitrate": null}', b'{"bitrate": "1"}',
    f'{{"bitrate": {LIMIT - 1}}}'.encode(), f'{{"bitrate": {LIMIT}}}'.encode(),
    f'{{"bitrate": {-LIMIT}}}'.encode(), f'{{"bitrate": {-LIMIT - 1}}}'.encode(),
    f'{{"bitrate": 1, "vfps": {2**64 - 1}}}'.encode(), f'{{"bitrate": 1, "abitrate": {2**70}}}'.encode(),
    b'{"bitrate": 1, "vcodec": 5}', b'{"bitrate": 1, "lastts": null}', b'{"bitrate": 1, "vfps": 25.0}',
    b'{"bitrate": 1, "vbitrate": NaN}', b'{"bitrate": 1e400}', b'{"bitrate": 1, "sequence": 1e400}',
    b'{"bitrate": 1, "vcodec": "\\ud800"}', b'[1]', b'"text"', b"{not json", b"", b" {}",
    b'{"bitrate": 1, "bitrate": "x"}', b"{" + b" " * MAX_RECORD_BYTES + b"}",
])
def test_the_usual_and_the_unusual_record(raw):
    same(raw)


VALUES = st.one_of(st.none(), st.booleans(), st.integers(min_value=-2**65, max_value=2**65),
                   st.floats(allow_nan=False, allow_infinity=False), st.text(max_size=5))


@settings(max_examples=300, deadline=None)
@given(st.dictionaries(st.sampled_from(["acodec", "vcodec", "vresolution", "lastts", "vfps", "vbitrate",
                                        "abitrate", "bitrate", "name"]), VALUES))
def test_any_record_of_the_fields_checked(record):
    same(json.dumps(record).encode())
