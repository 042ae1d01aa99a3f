"""Fixtures shared by every test: a real redis-server and the sandboxed
media-server tree."""

import os
import shutil
import subprocess
import time
from pathlib import Path

import pytest
import redis

from machine import free_port, is_tmpfs_mount

KESTREL_ROOT = Path("/usr/local/kestrel-srs")
HTML_ROOT = KESTREL_ROOT / "trunk/objs/nginx/html"
ENV_FILE = KESTREL_ROOT / "env.json"



class RedisServer:
    def __init__(self, tmp: Path, *options: str):
        self.port = free_port()
        self.dir = tmp
        self.options = options   # more redis-server arguments
        self.process = None

    def start(self):
        self.process = subprocess.Popen(
            ["redis-server", "--port", str(self.port), "--bind", "127.0.0.1",
             "--save", "", "--appendonly", "no", "--dir", str(self.dir), *self.options],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while True:
            try:
                redis.StrictRedis(port=self.port).ping()
                return
            except redis.AuthenticationError:   # up, and wants a password
                return
            except redis.ConnectionError:
                if time.monotonic() > deadline or self.process.poll() is not None:
                    raise RuntimeError("redis-server did not start")
                time.sleep(0.05)

    def stop(self):
        if self.process is not None:
            self.process.terminate()
            self.process.wait(10)
            self.process = None

    def client(self, **options) -> redis.StrictRedis:
        return redis.StrictRedis(host="127.0.0.1", port=self.port, **options)


@pytest.fixture(scope="session")
def redis_server(tmp_path_factory):
    if shutil.which("redis-server") is None:
        pytest.fail("redis-server is not installed (tools/bootstrap installs it)")
    server = RedisServer(tmp_path_factory.mktemp("redis"))
    server.start()
    yield server
    server.stop()


@pytest.fixture
def broker(redis_server):
    """A client of a freshly emptied database."""
    client = redis_server.client()
    client.flushall()
    yield client
    client.close()


@pytest.fixture
def kestrel_root():
    """The media server's tree, empty for each test.  Only ever the tmpfs
    that tools/sandbox mounts: a real deployment is never touched."""
    if os.environ.get("AVWATCH_SANDBOX") != "1" or not is_tmpfs_mount(KESTREL_ROOT):
        pytest.fail("run the tests through tools/sandbox (tools/run-tests does)")
    for entry in KESTREL_ROOT.iterdir():
        if entry.is_dir() and not entry.is_symlink():
            shutil.rmtree(entry)
        else:
            entry.unlink()
    yield KESTREL_ROOT


@pytest.fixture(scope="session")
def ts_file(tmp_path_factory):
    """4 s of 1280x720 h264 at 25 fps with 48 kHz aac, in MPEG-TS."""
    from media import make_ts_file
    return make_ts_file(tmp_path_factory.mktemp("media") / "sample.ts")


@pytest.fixture
def udp_stream():
    """A live UDP MPEG-TS stream on a free port; yields the sender."""
    from media import UdpSender
    sender = UdpSender(free_port()).start()
    yield sender
    sender.stop()


@pytest.fixture(scope="session")
def sentinel_set(tmp_path_factory):
    """A master, a replica and three Sentinels (tools/redis_sets.py)."""
    from redis_sets import SentinelSet
    deployment = SentinelSet(tmp_path_factory.mktemp("sentinel")).start()
    yield deployment
    deployment.stop()


@pytest.fixture(scope="session")
def cluster_set(tmp_path_factory):
    """A Redis Cluster of three masters (tools/redis_sets.py)."""
    from redis_sets import ClusterSet
    deployment = ClusterSet(tmp_path_factory.mktemp("cluster")).start()
    yield deployment
    deployment.stop()
