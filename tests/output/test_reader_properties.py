"""Random playlists and env files never crash their readers, and each reader
answers as the rule it follows, written out plainly here, answers."""

import contextlib
import json
import os

from hypothesis import HealthCheck, given, settings, strategies as st

import avwatch

ENV_FILE = "/usr/local/kestrel-srs/env.json"


# ---- the playlist reader ----

def attribute_value(tag, name):
    """The raw value of attribute `name` in the list after the tag's first
    ':' (commas inside double quotes do not separate), or None."""
    colon = tag.find(":")
    if colon < 0:
        return None
    attributes, start, quoted = tag[colon + 1:], 0, False
    for end in range(len(attributes) + 1):
        if end < len(attributes):
            if attributes[end] == '"':
                quoted = not quoted
            if attributes[end] != "," or quoted:
                continue
        attribute = attributes[start:end]
        key, equals, value = attribute.partition("=")
        if equals and key.strip() == name:
            return value
        start = end + 1
    return None


def expected_bandwidth(path, pipe_name):
    """The variant line naming the pipe, right after a line carrying
    BANDWIDTH: that tag's BANDWIDTH, else AVERAGE-BANDWIDTH, else the text
    between its first and second '='."""
    with open(path) as playlist:
        lines = playlist.readlines()
    for number, line in enumerate(lines):
        if pipe_name in line and number > 0 and "BANDWIDTH" in lines[number - 1]:
            tag = lines[number - 1].strip()
            value = attribute_value(tag, "BANDWIDTH")
            if value is None:
                value = attribute_value(tag, "AVERAGE-BANDWIDTH")
            if value is None:
                value = tag.split("=")[1]
            return int(value)
    return 0


def outcome(function, *args):
    try:
        return "value", function(*args)
    except Exception as error:  # the kind of error is what is compared
        return "error", type(error)


numbers = st.one_of(st.integers(-5, 10**12), st.sampled_from([" 7 ", "1_000", "0x10", "", "1.5", "\u0661"]),
                    st.text(max_size=5))
attribute = st.one_of(
    st.builds("BANDWIDTH={}".format, numbers),
    st.builds("AVERAGE-BANDWIDTH={}".format, numbers),
    st.builds(" BANDWIDTH ={}".format, numbers),
    st.just('CODECS="avc1.4d401f,mp4a.40.2"'), st.just('CODECS="a,BANDWIDTH=5"'), st.just("RESOLUTION=640x360"),
    st.just("bandwidth=9"), st.text(alphabet='=,":AB ', max_size=8), st.text(max_size=10),
)
line = st.one_of(
    st.text(max_size=40),
    st.builds(lambda attributes: "#EXT-X-STREAM-INF:" + ",".join(attributes), st.lists(attribute, max_size=4)),
    st.sampled_from(["pipe", "pipe/index.m3u8", "../pipe/chunks.m3u8", "other", "", "BANDWIDTH", "BANDWIDTH=",
                     "==", "#EXT-X-STREAM-INF", "\x00"]),
)


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(lines=st.lists(line, max_size=8), newline=st.sampled_from(["\n", "\r\n", "\r"]),
       pipe=st.sampled_from(["pipe", "", "BANDWIDTH", "x", "=", "\u00e9"]), trailing_newline=st.booleans())
def test_random_playlists_read_as_the_rule_reads_them(tmp_path, lines, newline, pipe, trailing_newline):
    playlist = tmp_path / "playlist.m3u8"
    playlist.write_bytes((newline.join(lines) + (newline if trailing_newline else "")).encode("utf-8", "surrogatepass"))
    got = outcome(avwatch.get_bitrate_from_playlist, str(playlist), pipe)
    # Only parse errors: a bad number, a tag without '=', undecodable text.
    assert got[0] == "value" or issubclass(got[1], (ValueError, IndexError)), got
    assert got == outcome(expected_bandwidth, str(playlist), pipe)
    if got[0] == "value":
        assert type(got[1]) is int


# ---- the fragment duration lookup ----

def expected_fragment_time():
    if not os.path.isfile(ENV_FILE):
        return 6
    with open(ENV_FILE) as env, contextlib.suppress(Exception):
        return int(json.loads(env.read())["SRS_VHOST_HLS_HLS_FRAGMENT"])
    return 6


member = st.one_of(st.none(), st.booleans(), st.integers(-10**30, 10**30), st.floats(),
                   st.text(max_size=6), st.sampled_from([" 4 ", "1_0", "2.5", "0x10", "\u0661\u0662", "-3"]),
                   st.lists(st.integers(), max_size=2), st.dictionaries(st.text(max_size=2), st.integers(), max_size=2))
content = st.one_of(
    st.binary(max_size=60),
    st.builds(lambda value: json.dumps({"SRS_VHOST_HLS_HLS_FRAGMENT": value}, allow_nan=True), member),
    st.builds(lambda value, other: json.dumps({"other": other, "SRS_VHOST_HLS_HLS_FRAGMENT": value}), member, member),
    st.builds(json.dumps, st.one_of(member, st.dictionaries(st.text(max_size=4), member, max_size=3))),
    st.builds(lambda value, cut: json.dumps({"SRS_VHOST_HLS_HLS_FRAGMENT": value})[:cut], member, st.integers(0, 40)),
)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=content)
def test_random_env_files_give_the_rules_int(kestrel_root, data):
    with open(ENV_FILE, "wb") as env:
        env.write(data if isinstance(data, bytes) else data.encode())
    got = avwatch.get_srs_fragment_time()
    assert type(got) is int
    assert got == expected_fragment_time()
