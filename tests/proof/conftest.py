"""Fixtures of the cross-cutting proofs: a Redis server of the test's own
(to stop and start without touching the session's) and a timeline of
events that the root logger's errors go into."""

import logging

import pytest

from proof_harness import LogRecorder, Timeline


@pytest.fixture
def own_redis_server(redis_server, tmp_path):
    """A second server, like the session's but for this test alone."""
    server = type(redis_server)(tmp_path)
    server.start()
    yield server
    server.stop()


@pytest.fixture
def timeline():
    """A Timeline that also takes the root logger's error messages."""
    timeline = Timeline()
    handler = LogRecorder(timeline)
    logging.getLogger().addHandler(handler)
    yield timeline
    logging.getLogger().removeHandler(handler)
