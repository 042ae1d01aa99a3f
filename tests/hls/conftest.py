"""Real HLS from ffmpeg's HLS muxer (the media server's stand-in), written
in real time into a temporary folder."""

import re
import shutil
import time

import pytest

from hls_standin import MEDIA_PLAYLIST, HlsStandIn


@pytest.fixture(scope="module")
def live_output(tmp_path_factory):
    """A running stand-in with 1-s segments, at least four already listed."""
    root = tmp_path_factory.mktemp("hls")
    server = HlsStandIn(root / "html", "42", "p1", fragment=1, bandwidth=2_000_000, env_file=root / "env.json")
    server.start()
    # Until the list has rolled a few times: a media sequence of 3 or more.
    deadline = time.monotonic() + 30
    while not re.search(r"^#EXT-X-MEDIA-SEQUENCE:([3-9]|\d\d)", read(server.segment_folder / MEDIA_PLAYLIST), re.M):
        assert time.monotonic() < deadline, "the stand-in's playlist never rolled"
        time.sleep(0.1)
    yield server
    server.stop()


@pytest.fixture
def frozen_copy(live_output, tmp_path):
    """The live output's segment folder and master playlist as they are
    now, copied: a still picture to break on purpose."""
    folder = tmp_path / "p1"
    shutil.copytree(live_output.segment_folder, folder,
                    ignore=shutil.ignore_patterns("*.tmp"))
    master = tmp_path / "a" / "playlist.m3u8"
    master.parent.mkdir()
    master.write_text(live_output.master_playlist())
    return folder / MEDIA_PLAYLIST, master


def read(path):
    try:
        return path.read_text()
    except FileNotFoundError:
        return ""
