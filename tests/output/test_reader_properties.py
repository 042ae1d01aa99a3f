"""Random playlists and env files never crash their readers."""

import json

from hypothesis import HealthCheck, given, settings, strategies as st

import avwatch

ENV_FILE = "/usr/local/kestrel-srs/env.json"

line = st.one_of(
    st.text(max_size=40),
    st.builds(lambda attrs: "#EXT-X-STREAM-INF:" + ",".join(attrs),
              st.lists(st.one_of(
                  st.builds("BANDWIDTH={}".format, st.one_of(st.integers(-5, 10**9), st.text(max_size=5))),
                  st.builds("AVERAGE-BANDWIDTH={}".format, st.integers(0, 10**9)),
                  st.just('CODECS="avc1.4d401f,mp4a.40.2"'), st.just("RESOLUTION=640x360"),
                  st.text(max_size=10)), max_size=4)),
    st.sampled_from(["pipe", "pipe/index.m3u8", "other", "", "BANDWIDTH", "BANDWIDTH=", "=="]),
)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(lines=st.lists(line, max_size=8), newline=st.sampled_from(["\n", "\r\n", "\r"]),
       pipe=st.sampled_from(["pipe", "", "BANDWIDTH", "x"]))
def test_random_playlists_give_an_int_or_a_parse_error(tmp_path, lines, newline, pipe):
    playlist = tmp_path / "playlist.m3u8"
    playlist.write_bytes(newline.join(lines).encode("utf-8", "surrogatepass"))
    try:
        result = avwatch.get_bitrate_from_playlist(str(playlist), pipe)
    except (ValueError, IndexError):  # UnicodeDecodeError is a ValueError
        return
    assert type(result) is int


member = st.one_of(st.none(), st.booleans(), st.integers(-10**30, 10**30), st.floats(),
                   st.text(max_size=6), st.lists(st.integers(), max_size=2), st.dictionaries(st.text(max_size=2), st.integers(), max_size=2))
content = st.one_of(
    st.binary(max_size=60),
    st.builds(lambda value: json.dumps({"SRS_VHOST_HLS_HLS_FRAGMENT": value}, allow_nan=True), member),
    st.builds(json.dumps, st.one_of(member, st.dictionaries(st.text(max_size=4), member, max_size=3))),
)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=content)
def test_random_env_files_give_an_int(kestrel_root, data):
    with open(ENV_FILE, "wb") as env:
        env.write(data if isinstance(data, bytes) else data.encode())
    assert type(avwatch.get_srs_fragment_time()) is int
