"""get_bitrate_from_playlist: the bandwidth advertised for the pipe's variant."""

import re
import warnings
from pathlib import Path

import pytest

import avwatch

# Copied into the repository with their provenance (tests/data/real/PROVENANCE.md).
REAL_PLAYLISTS = Path(__file__).resolve().parents[1] / "data/real/playlists"


def write_playlist(tmp_path, lines, newline="\n"):
    path = tmp_path / "playlist.m3u8"
    path.write_bytes("".join(line + newline for line in lines).encode())
    return path


def bitrate(tmp_path, lines, pipe_name, newline="\n"):
    return avwatch.get_bitrate_from_playlist(str(write_playlist(tmp_path, lines, newline)), pipe_name)


# ---- which line matches ----

@pytest.mark.parametrize("lines, pipe_name, expected", [
    pytest.param([], "chan", 0, id="empty-file"),
    pytest.param([], 5, 0, id="empty-file-any-pipe"),
    pytest.param(["chan.m3u8", "#EXT-X-STREAM-INF:BANDWIDTH=5"], "chan", 0, id="first-line-never-matches"),
    pytest.param(["chan.m3u8", "#EXT-X-STREAM-INF:BANDWIDTH=5", "chan.m3u8"], "chan", 5,
                 id="first-line-then-a-real-match"),
    pytest.param(["#EXTM3U", "#EXT-X-STREAM-INF:BANDWIDTH=1", "chan/a.m3u8", "#EXT-X-STREAM-INF:BANDWIDTH=2",
                  "chan/b.m3u8"], "chan", 1, id="earlier-variant-wins"),
    pytest.param(["#EXTM3U", "#EXT-X-STREAM-INF:BANDWIDTH=1", "chan_hd.m3u8", "#EXT-X-STREAM-INF:BANDWIDTH=2",
                  "chan.m3u8"], "chan", 1, id="pipe-inside-another-name"),
    pytest.param(["#EXTM3U", "#EXT-X-STREAM-INF:BANDWIDTH=1", "other.m3u8", "#EXT-X-STREAM-INF:BANDWIDTH=2",
                  "chan.m3u8"], "chan", 2, id="later-variant"),
    pytest.param(["#EXTM3U", "#EXT-X-STREAM-INF:BANDWIDTH=7", "a.m3u8"], "", 7, id="empty-pipe-matches-all"),
    pytest.param(["#EXTM3U", "#EXT-X-STREAM-INF:bandwidth=1", "chan.m3u8", "#EXT-X-STREAM-INF:BANDWIDTH=2",
                  "chan.m3u8"], "chan", 2, id="lower-case-attribute-passed-over"),
    pytest.param(["#EXT-X-STREAM-INF:BANDWIDTH=1", "", "chan.m3u8", "#EXT-X-STREAM-INF:BANDWIDTH=2",
                  "chan.m3u8"], "chan", 2, id="gap-after-tag-passed-over"),
    pytest.param(["#EXTM3U", "#EXT-X-STREAM-INF:BANDWIDTH=1", "other.m3u8"], "chan", 0, id="no-match"),
    pytest.param(["#EXTM3U", "#EXT-X-STREAM-INF:BANDWIDTH=1", "chan.m3u8"], "CHAN", 0, id="case-sensitive-pipe"),
])
def test_search_order(tmp_path, lines, pipe_name, expected):
    result = bitrate(tmp_path, lines, pipe_name)
    assert result == expected and type(result) is int


# ---- the number on the matched tag ----

@pytest.mark.parametrize("tag, expected", [
    ("#EXT-X-STREAM-INF:BANDWIDTH=2000000", 2000000),
    ("#EXT-X-STREAM-INF:BANDWIDTH= 2000000 ", 2000000),
    ("  #EXT-X-STREAM-INF:BANDWIDTH=2000000\t ", 2000000),
    ("#EXT-X-STREAM-INF:BANDWIDTH=2000000,RESOLUTION=1280x720", 2000000),
    ("#EXT-X-STREAM-INF:PROGRAM-ID=1,BANDWIDTH=300000", 300000),
    ("#EXT-X-STREAM-INF:PROGRAM-ID=1, BANDWIDTH=200000", 200000),
    ("#EXT-X-STREAM-INF: BANDWIDTH =9", 9),
    ('#EXT-X-STREAM-INF:CODECS="avc1.4d401f,BANDWIDTH=9",BANDWIDTH=5', 5),
    ('#EXT-X-STREAM-INF:CODECS="mp4a.40.2, avc1.4d401f",RESOLUTION=1x1,BANDWIDTH=5,AUDIO="a"', 5),
    ('#EXT-X-STREAM-INF:NAME="x:y",BANDWIDTH=6', 6),
    ("#EXT-X-STREAM-INF:AVERAGE-BANDWIDTH=3,BANDWIDTH=4", 4),
    ("#EXT-X-STREAM-INF:AVERAGE-BANDWIDTH=3,RESOLUTION=1x1", 3),
    ("#EXT-X-STREAM-INF:BANDWIDTH=4,BANDWIDTH=5", 4),
    ("#EXT-X-STREAM-INF:X-BANDWIDTH=9,BANDWIDTH=5", 5),
    ("#EXT-X-STREAM-INF:BANDWIDTH=1_000", 1000),
    ("#EXT-X-STREAM-INF:BANDWIDTH=+12", 12),
    ("#EXT-X-STREAM-INF:BANDWIDTH=0", 0),
    ("#EXT-X-STREAM-INF:BANDWIDTH=123456789012345678901234567890", 123456789012345678901234567890),
    # Without an attribute of either name: the text between the first two '='.
    ("BANDWIDTH=2000000", 2000000),
    ("## BANDWIDTH=77", 77),
    ("#EXT-X-STREAM-INF:MAX-BANDWIDTH=42", 42),
])
def test_bandwidth_of_the_tag(tmp_path, tag, expected):
    assert bitrate(tmp_path, ["#EXTM3U", tag, "chan.m3u8"], "chan") == expected


@pytest.mark.parametrize("tag, error, message", [
    ("#EXT-X-STREAM-INF:BANDWIDTH=1.5", ValueError, "invalid literal for int() with base 10: '1.5'"),
    ("#EXT-X-STREAM-INF:BANDWIDTH=1.5,RESOLUTION=1x1", ValueError, "invalid literal for int() with base 10: '1.5'"),
    ('#EXT-X-STREAM-INF:BANDWIDTH="INVALIDBW"', ValueError, "invalid literal for int() with base 10: '\"INVALIDBW\"'"),
    ("#EXT-X-STREAM-INF:BANDWIDTH=", ValueError, "invalid literal for int() with base 10: ''"),
    ("#EXT-X-STREAM-INF:BANDWIDTH=2 000", ValueError, "invalid literal for int() with base 10: '2 000'"),
    ('#EXT-X-MEDIA:NAME="BANDWIDTH"', ValueError, "invalid literal for int() with base 10: '\"BANDWIDTH\"'"),
    ("#EXT-X-STREAM-INF:RESOLUTION=1x1,MAX-BANDWIDTH", ValueError,
     "invalid literal for int() with base 10: '1x1,MAX-BANDWIDTH'"),
    ("#EXT-X-STREAM-INF:BANDWIDTH", IndexError, "list index out of range"),
    ("BANDWIDTH", IndexError, "list index out of range"),
])
def test_unreadable_number_raises(tmp_path, tag, error, message):
    with pytest.raises(error) as raised:
        bitrate(tmp_path, ["#EXTM3U", tag, "chan.m3u8"], "chan")
    assert type(raised.value) is error and str(raised.value) == message


@pytest.mark.parametrize("pipe_name, message", [
    (7, "'in <string>' requires string as left operand, not int"),
    (None, "'in <string>' requires string as left operand, not NoneType"),
    (b"chan", "'in <string>' requires string as left operand, not bytes"),
])
def test_pipe_name_that_is_not_a_string_raises(tmp_path, pipe_name, message):
    with pytest.raises(TypeError) as raised:
        bitrate(tmp_path, ["#EXTM3U"], pipe_name)
    assert str(raised.value) == message


# ---- reading the file ----

@pytest.mark.parametrize("newline", ["\n", "\r\n", "\r"])
def test_universal_newlines(tmp_path, newline):
    lines = ["#EXTM3U", '#EXT-X-STREAM-INF:BANDWIDTH=5,CODECS="a"', "chan.m3u8", "#EXT-X-STREAM-INF:BANDWIDTH=6",
             "next.m3u8"]
    assert bitrate(tmp_path, lines, "chan.m3u8", newline) == 5
    # Each line as read ends in a single "\n", whatever the file used.
    assert bitrate(tmp_path, lines, "chan.m3u8\n", newline) == 5
    assert bitrate(tmp_path, lines, "\n#EXT-X-STREAM-INF:BANDWIDTH=6", newline) == 0
    assert bitrate(tmp_path, lines, "\r", newline) == 0


def test_text_in_the_locale_encoding(tmp_path):
    path = tmp_path / "playlist.m3u8"
    path.write_text('#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=9,NAME="Français"\ncanal-é/index.m3u8\n')
    assert avwatch.get_bitrate_from_playlist(str(path), "canal-é") == 9


def test_undecodable_bytes_raise(tmp_path):
    path = tmp_path / "playlist.m3u8"
    path.write_bytes(b"#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=9\nchan\xff.m3u8\n")
    with pytest.raises(UnicodeDecodeError):
        avwatch.get_bitrate_from_playlist(str(path), "chan")


@pytest.mark.parametrize("make, error", [
    (lambda path: None, FileNotFoundError),
    (lambda path: path.mkdir(), IsADirectoryError),
    (lambda path: path.symlink_to(path.parent / "gone"), FileNotFoundError),
])
def test_open_errors_are_the_interpreters(tmp_path, make, error):
    path = tmp_path / "playlist.m3u8"
    make(path)
    with pytest.raises(error) as raised:
        avwatch.get_bitrate_from_playlist(str(path), "chan")
    with pytest.raises(error) as expected:
        open(str(path))
    assert type(raised.value) is type(expected.value)
    assert (raised.value.errno, raised.value.filename, str(raised.value)) == (
        expected.value.errno, expected.value.filename, str(expected.value))


@pytest.mark.parametrize("as_path", [Path, lambda path: str(path).encode()])
def test_path_forms_of_open(tmp_path, as_path):
    path = write_playlist(tmp_path, ["#EXTM3U", "#EXT-X-STREAM-INF:BANDWIDTH=3", "chan.m3u8"])
    assert avwatch.get_bitrate_from_playlist(as_path(path), "chan") == 3


def test_every_call_reads_the_file_afresh(tmp_path):
    path = write_playlist(tmp_path, ["#EXTM3U", "#EXT-X-STREAM-INF:BANDWIDTH=3", "chan.m3u8"])
    assert avwatch.get_bitrate_from_playlist(str(path), "chan") == 3
    write_playlist(tmp_path, ["#EXTM3U", "#EXT-X-STREAM-INF:BANDWIDTH=4,CODECS=\"x\"", "chan.m3u8"])
    assert avwatch.get_bitrate_from_playlist(str(path), "chan") == 4


@pytest.mark.parametrize("content, pipe_name", [
    (b"#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=3\nchan\n", "chan"),
    (b"#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=x\nchan\n", "chan"),
    (b"#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH\nchan\n", "chan"),
    (b"#EXTM3U\nchan\n", 3),
    (b"#EXTM3U\n\xff\n", "chan"),
    (b"#EXTM3U\n", "chan"),
])
def test_file_is_closed_on_every_path(tmp_path, content, pipe_name):
    path = tmp_path / "playlist.m3u8"
    path.write_bytes(content)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ResourceWarning)
        try:
            avwatch.get_bitrate_from_playlist(str(path), pipe_name)
        except Exception:
            pass
    assert [w for w in caught if issubclass(w.category, ResourceWarning)] == []


# ---- real playlists written by other projects ----

def real_playlists():
    return sorted(REAL_PLAYLISTS.glob("*.m3u8"))


# An attribute: an upper-case name, then a quoted string or text up to a comma.
ATTRIBUTE = re.compile(r'([A-Z0-9-]+)=("[^"]*"|[^,]*)')


def advertised(tag):
    listing = tag.split(":", 1)[1]
    attributes = {}
    for name, value in ATTRIBUTE.findall(listing):
        attributes.setdefault(name, value)
    return int(attributes["BANDWIDTH"] if "BANDWIDTH" in attributes else attributes["AVERAGE-BANDWIDTH"])


def variant_uris(lines):
    """The URI line of every variant: the first line after a
    stream-information tag that is neither blank nor a tag or comment."""
    uris = []
    for index, line in enumerate(lines):
        if line.startswith("#EXT-X-STREAM-INF"):
            rest = [later for later in lines[index + 1:] if later.strip() and not later.startswith("#")]
            if rest:
                uris.append(rest[0])
    return uris


def expected_bandwidth(lines, pipe_name):
    """The tag before the first line naming the pipe, among lines whose
    predecessor mentions BANDWIDTH."""
    for index in range(1, len(lines)):
        if pipe_name in lines[index] and "BANDWIDTH" in lines[index - 1]:
            return advertised(lines[index - 1])
    return 0


def test_real_playlists_are_present():
    names = [path.name for path in real_playlists()]
    assert sum(name.startswith("master_") for name in names) >= 30, REAL_PLAYLISTS


@pytest.mark.parametrize("path", real_playlists(), ids=lambda path: path.stem)
def test_real_playlist_variants(path):
    with open(path, encoding="utf-8") as playlist:
        lines = playlist.read().split("\n")
    uris = variant_uris(lines)
    if path.name.startswith("master_"):
        assert uris, "a master playlist without variants"
    found = []
    for uri in uris:
        expected = expected_bandwidth(lines, uri)
        assert avwatch.get_bitrate_from_playlist(str(path), uri) == expected, uri
        found.append(expected)
    if uris and "without-bandwidth" not in path.name:
        assert all(found), "every variant of a valid master playlist advertises a bandwidth"
    # Segment names of a media playlist follow #EXTINF lines: nothing advertised.
    for line in lines:
        if path.name.startswith("media_") and line and not line.startswith("#"):
            assert avwatch.get_bitrate_from_playlist(str(path), line) == 0
