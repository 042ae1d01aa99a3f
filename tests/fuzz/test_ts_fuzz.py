"""The parse layer and the HLS segment reader under the fuzz target, built
with the sanitizers, for a few seconds from a seed ffmpeg makes and from
random bytes."""

from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SOURCES = [*sorted((ROOT / "src" / "analysis" / "ts").glob("*.cpp")),
           *sorted((ROOT / "src" / "analysis" / "content").glob("*.cpp")),
           ROOT / "src" / "analysis" / "hls" / "segment_ts.cpp"]
# The content checks decode with FFmpeg's libraries and meter with libebur128.
MEDIA_LIBRARIES = ["libavcodec", "libavutil", "libswscale", "libebur128"]


def media_flags() -> list[str]:
    done = subprocess.run(["pkg-config", "--cflags", "--libs", *MEDIA_LIBRARIES], capture_output=True, text=True,
                          check=True)
    return done.stdout.split()

pytestmark = pytest.mark.skipif(shutil.which("g++") is None or shutil.which("ffmpeg") is None,
                                reason="needs g++ and ffmpeg")


@pytest.fixture(scope="module")
def fuzzer(tmp_path_factory) -> Path:
    out = tmp_path_factory.mktemp("fuzz") / "ts_fuzz"
    subprocess.run(["g++", "-std=c++20", "-O1", "-g", "-fsanitize=address,undefined", "-fno-sanitize-recover=all",
                    "-DAVWATCH_STANDALONE_FUZZ", f"-I{ROOT / 'src'}", str(Path(__file__).with_name("ts_fuzz.cpp")),
                    *map(str, SOURCES), *media_flags(), "-o", str(out)], check=True)
    return out


@pytest.fixture(scope="module")
def seed(tmp_path_factory) -> Path:
    path = tmp_path_factory.mktemp("seed") / "seed.ts"
    subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i", "testsrc=size=160x120:rate=25",
                    "-f", "lavfi", "-i", "sine", "-t", "1", "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac",
                    "-f", "mpegts", "-muxrate", "1000000", str(path)], check=True)
    return path


SECONDS = 8


def test_fuzz_target_runs_clean_under_the_sanitizers(fuzzer, seed):
    done = subprocess.run([str(fuzzer), str(SECONDS), str(seed)], capture_output=True, text=True,
                          timeout=SECONDS + 60)
    assert done.returncode == 0, done.stderr[-3000:]
    assert int(done.stdout.split()[0]) > 100


def test_receive_path_fuzz_target_runs_clean_under_the_sanitizers(tmp_path):
    """IPv4/UDP checks and fragment reassembly on mutated fragmented datagrams."""
    out = tmp_path / "ip_fuzz"
    subprocess.run(["g++", "-std=c++20", "-O1", "-g", "-fsanitize=address,undefined", "-fno-sanitize-recover=all",
                    "-DAVWATCH_STANDALONE_FUZZ", f"-I{ROOT / 'src'}", str(Path(__file__).with_name("ip_fuzz.cpp")),
                    str(ROOT / "src" / "analysis" / "input" / "ip_datagram.cpp"), "-o", str(out)], check=True)
    done = subprocess.run([str(out), str(SECONDS)], capture_output=True, text=True, timeout=SECONDS + 60)
    assert done.returncode == 0, done.stderr[-3000:]
    runs, _, reassembled, _ = done.stdout.split()
    assert int(runs) > 100 and int(reassembled) > 100  # the mutations leave reassembly work to do
