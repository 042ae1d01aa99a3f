"""The media and master playlist parsers under their fuzz target, built with
the sanitizers, for a few seconds from a playlist ffmpeg's HLS muxer writes
and a master playlist."""

from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SOURCES = [ROOT / "src" / "analysis" / "hls" / name
           for name in ("playlist_text.cpp", "media_playlist.cpp", "master_playlist.cpp")]

pytestmark = pytest.mark.skipif(shutil.which("g++") is None or shutil.which("ffmpeg") is None,
                                reason="needs g++ and ffmpeg")

MASTER = ("#EXTM3U\n#EXT-X-VERSION:3\n"
          "#EXT-X-STREAM-INF:BANDWIDTH=2000000,AVERAGE-BANDWIDTH=1800000,CODECS=\"avc1.64001f,mp4a.40.2\"\n"
          "../p1/chunks.m3u8\n"
          "#EXT-X-STREAM-INF:BANDWIDTH=800000,RESOLUTION=640x360\nhttp://elsewhere/p2/chunks.m3u8?token=1\n")


@pytest.fixture(scope="module")
def fuzzer(tmp_path_factory) -> Path:
    out = tmp_path_factory.mktemp("fuzz") / "playlist_fuzz"
    subprocess.run(["g++", "-std=c++20", "-O1", "-g", "-fsanitize=address,undefined", "-fno-sanitize-recover=all",
                    "-DAVWATCH_STANDALONE_FUZZ", f"-I{ROOT / 'src'}",
                    str(Path(__file__).with_name("playlist_fuzz.cpp")), *map(str, SOURCES), "-o", str(out)],
                   check=True)
    return out


@pytest.fixture(scope="module")
def seeds(tmp_path_factory) -> list[Path]:
    folder = tmp_path_factory.mktemp("seeds")
    subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i", "testsrc=size=160x120:rate=25",
                    "-t", "4", "-c:v", "libx264", "-preset", "ultrafast", "-g", "25", "-f", "hls", "-hls_time", "1",
                    "-hls_list_size", "0", str(folder / "chunks.m3u8")], check=True)
    (folder / "master.m3u8").write_text(MASTER)
    return [folder / "chunks.m3u8", folder / "master.m3u8"]


SECONDS = 8


def test_fuzz_target_runs_clean_under_the_sanitizers(fuzzer, seeds):
    done = subprocess.run([str(fuzzer), str(SECONDS), *map(str, seeds)], capture_output=True, text=True,
                          timeout=SECONDS + 60)
    assert done.returncode == 0, done.stderr[-3000:]
    assert int(done.stdout.split()[0]) > 100
