"""The audio check under its fuzz target, built with the sanitizers, for a
few seconds from short AAC, LATM, MPEG audio, AC-3 and E-AC-3 streams
ffmpeg makes, and from random bytes."""

from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SOURCES = [ROOT / "src" / "analysis" / "content" / name
           for name in ("audio_check.cpp", "audio_samples.cpp", "loudness_meter.cpp", "silence_run.cpp",
                        "audio_timeline.cpp")]
SECONDS = 8
# The target's decoder index (its first input byte), with ffmpeg's encoding of a seed for it.
SEEDS = {
    0: ["-ac", "2", "-c:a", "aac", "-f", "adts"],
    1: ["-ac", "2", "-c:a", "aac", "-f", "latm"],
    2: ["-ac", "2", "-c:a", "mp2", "-f", "mp2"],
    3: ["-ac", "6", "-c:a", "ac3", "-f", "ac3"],
    4: ["-ac", "2", "-c:a", "eac3", "-f", "eac3"],
}

pytestmark = pytest.mark.skipif(shutil.which("g++") is None or shutil.which("ffmpeg") is None
                                or shutil.which("pkg-config") is None, reason="needs g++, pkg-config and ffmpeg")


def test_audio_fuzz_target_runs_clean_under_the_sanitizers(tmp_path):
    out = tmp_path / "audio_fuzz"
    libraries = subprocess.run(["pkg-config", "--cflags", "--libs", "libavcodec", "libavutil", "libebur128"],
                               capture_output=True, text=True, check=True).stdout.split()
    subprocess.run(["g++", "-std=c++20", "-O1", "-g", "-fsanitize=address,undefined", "-fno-sanitize-recover=all",
                    "-DAVWATCH_STANDALONE_FUZZ", f"-I{ROOT / 'src'}", str(Path(__file__).with_name("audio_fuzz.cpp")),
                    *map(str, SOURCES), *libraries, "-o", str(out)], check=True)
    seeds = []
    for index, encoding in SEEDS.items():
        stream = tmp_path / f"{index}.es"
        # A second of tone, a second of silence: both paths of the silence check.
        subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i", "sine=duration=2:sample_rate=48000",
                        "-af", "volume=enable='gte(t,1)':volume=0", *encoding, str(stream)], check=True)
        seed = tmp_path / f"{index}.seed"
        seed.write_bytes(bytes([index]) + stream.read_bytes())
        seeds.append(str(seed))
    done = subprocess.run([str(out), str(SECONDS), *seeds], capture_output=True, text=True, timeout=SECONDS + 60)
    assert done.returncode == 0, done.stderr[-3000:]
    assert int(done.stdout.split()[0]) > 100
