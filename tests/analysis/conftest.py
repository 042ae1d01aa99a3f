"""Fixtures of the analyser's tests: ffmpeg's streams and the Redis URL."""

from __future__ import annotations

import shutil

import pytest

from relay_run import make_ts


@pytest.fixture(scope="session")
def ts_files(tmp_path_factory) -> dict[int, bytes]:
    if shutil.which("ffmpeg") is None:
        pytest.skip("needs ffmpeg")
    folder = tmp_path_factory.mktemp("ts")
    return {rate: make_ts(folder / f"{rate}.ts", rate) for rate in (2_000_000, 6_000_000)}


@pytest.fixture
def redis_url(redis_server, broker) -> str:
    return f"redis://127.0.0.1:{redis_server.port}/0"
