"""Fixtures shared by every test: a real redis-server and the sandboxed
media-server tree."""

import os
import shutil
import signal
from pathlib import Path

import pytest

from machine import free_port, is_tmpfs_mount
from media import UdpSender, make_ts_file
from redis_sets import ClusterSet, RedisNode, SentinelSet, require_redis_server

KESTREL_ROOT = Path("/usr/local/kestrel-srs")
HTML_ROOT = KESTREL_ROOT / "trunk/objs/nginx/html"
ENV_FILE = KESTREL_ROOT / "env.json"


@pytest.fixture(scope="session", autouse=True)
def interruptible():
    """SIGINT raises KeyboardInterrupt here and kills the commands the tests
    start, as the Ctrl-C tests expect.  A shell's background job (`cmd &`)
    starts with SIGINT and SIGQUIT ignored, an ignored signal stays ignored
    across exec, and Python then installs no handler of its own: without
    this, those tests wait out their timeouts."""
    previous = {signal.SIGINT: signal.signal(signal.SIGINT, signal.default_int_handler),
                signal.SIGQUIT: signal.signal(signal.SIGQUIT, signal.SIG_DFL)}
    yield
    for signum, handler in previous.items():
        signal.signal(signum, handler)


@pytest.fixture(scope="session")
def redis_server(tmp_path_factory):
    require_redis_server()
    server = RedisNode(tmp_path_factory.mktemp("redis")).start()
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
    return make_ts_file(tmp_path_factory.mktemp("media") / "sample.ts")


@pytest.fixture
def udp_stream():
    """A live UDP MPEG-TS stream on a free port; yields the sender."""
    sender = UdpSender(free_port()).start()
    yield sender
    sender.stop()


@pytest.fixture(scope="session")
def sentinel_set(tmp_path_factory):
    """A master, a replica and three Sentinels (tools/redis_sets.py)."""
    deployment = SentinelSet(tmp_path_factory.mktemp("sentinel")).start()
    yield deployment
    deployment.stop()


@pytest.fixture(scope="session")
def cluster_set(tmp_path_factory):
    """A Redis Cluster of three masters (tools/redis_sets.py)."""
    deployment = ClusterSet(tmp_path_factory.mktemp("cluster")).start()
    yield deployment
    deployment.stop()
