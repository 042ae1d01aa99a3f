"""Fixtures for `avwatch serve`: the command and Redis servers of a test's own."""

import pytest

from serve.harness import Serve


@pytest.fixture
def start_serve():
    started = []

    def start(redis_url: str, *options: str) -> Serve:
        serve = Serve("--redis", redis_url, *options)
        started.append(serve)
        return serve

    yield start
    for serve in started:
        if serve.process.poll() is None:
            serve.process.kill()
            serve.process.communicate()


@pytest.fixture
def own_redis(redis_server, tmp_path):
    """Redis servers of the test's own, like the session's but with extra
    arguments; stopped after."""
    servers = []

    def start(*options: str, **settings):
        # A folder each: the server writes its redis.conf there.
        server = type(redis_server)(tmp_path / f"redis{len(servers)}", *options, **settings)
        server.start()
        servers.append(server)
        return server

    yield start
    for server in servers:
        server.stop()
