"""Redis deployments on this machine, on free local ports, for the tests and
the benchmarks: a Sentinel set (a master, a replica, three Sentinels) and a
Cluster of three masters.  Every server keeps its data in memory only and
is ended by stop()."""

import shutil
import subprocess
import time
from pathlib import Path

import redis
from redis.cluster import RedisCluster
from redis.sentinel import Sentinel

from machine import free_port
from media import stop_process

MASTER_NAME = "avwatch"


def wait_until(condition, timeout: float, what: str) -> None:
    deadline = time.monotonic() + timeout
    while True:
        try:
            if condition():
                return
        except redis.RedisError:
            pass
        if time.monotonic() > deadline:
            raise RuntimeError(f"timed out waiting for {what}")
        time.sleep(0.05)


class RedisNode:
    """One redis-server (or Sentinel) process on a free port."""

    def __init__(self, folder: Path, *options: str, config: str = "", sentinel: bool = False,
                 password: str = ""):
        self.port = free_port()
        self.folder = folder
        folder.mkdir(parents=True, exist_ok=True)
        self.options = options
        self.config = config
        self.sentinel = sentinel
        self.password = password
        self.process = None

    @property
    def address(self) -> str:
        return f"127.0.0.1:{self.port}"

    def start(self) -> "RedisNode":
        # A Sentinel rewrites its configuration file, so it needs one of its own.
        config = self.folder / "redis.conf"
        config.write_text(f"port {self.port}\nbind 127.0.0.1\ndir {self.folder}\n"
                          f"save \"\"\nappendonly no\n{self.config}")
        command = ["redis-server", str(config), *self.options] + (["--sentinel"] if self.sentinel else [])
        self.process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        probe = self.client()

        def answers() -> bool:
            try:
                return probe.ping()
            except redis.AuthenticationError:  # up, and wants a password it was not given
                return True
        try:
            wait_until(lambda: self.process.poll() is None and answers(), 10, f"redis on port {self.port}")
        finally:
            probe.close()
        return self

    def client(self, **options) -> redis.Redis:
        return redis.Redis(**{"host": "127.0.0.1", "port": self.port, "socket_timeout": 2,
                              "password": self.password or None, **options})

    def kill(self) -> None:
        """Ends the server at once, as a crash or a lost machine would."""
        if self.process is not None:
            self.process.kill()
            self.process.wait()
            self.process = None

    def stop(self) -> None:
        if self.process is not None:
            stop_process(self.process)
            self.process = None


class SentinelSet:
    """A master, one replica and three Sentinels watching the master under
    MASTER_NAME.  Fast timings: the master is taken for down after
    `down_after` ms without an answer, so a failover completes in a few
    seconds."""

    def __init__(self, folder: Path, down_after: int = 1000, failover_timeout: int = 3000, password: str = ""):
        """With a password, the master and the replica require it (the
        Sentinels are given it); the Sentinels themselves require none."""
        self.password = password
        auth = f"requirepass {password}\nmasterauth {password}\n" if password else ""
        # No wait for more replicas before a full sync (5 s by default).
        self.master = RedisNode(folder / "master", config=f"repl-diskless-sync-delay 0\n{auth}", password=password)
        self.replica = RedisNode(folder / "replica", config=auth, password=password)
        self.sentinels = [RedisNode(folder / f"sentinel{n}", sentinel=True) for n in range(3)]
        self.down_after = down_after
        self.failover_timeout = failover_timeout

    @property
    def addresses(self) -> str:
        """The Sentinels' addresses as --redis-sentinel takes them."""
        return ",".join(sentinel.address for sentinel in self.sentinels)

    def start(self) -> "SentinelSet":
        require_redis_server()
        self.master.start()
        self.replica.config += f"replicaof 127.0.0.1 {self.master.port}\n"
        self.replica.start()
        replica = self.replica.client()
        wait_until(lambda: replica.info("replication")["master_link_status"] == "up", 10, "the replica")
        replica.close()
        for sentinel in self.sentinels:
            sentinel.config = (f"sentinel monitor {MASTER_NAME} 127.0.0.1 {self.master.port} 2\n"
                               f"sentinel down-after-milliseconds {MASTER_NAME} {self.down_after}\n"
                               f"sentinel failover-timeout {MASTER_NAME} {self.failover_timeout}\n"
                               f"sentinel parallel-syncs {MASTER_NAME} 1\n"
                               + (f"sentinel auth-pass {MASTER_NAME} {self.password}\n" if self.password else ""))
            sentinel.start()
        # A failover needs the Sentinels to know each other and the replica
        # (they learn it from the master and from each other's hellos).
        for sentinel in self.sentinels:
            client = sentinel.client()
            wait_until(lambda: self._knows_all(client), 20, "the Sentinels to find each other")
            client.close()
        return self

    @staticmethod
    def _knows_all(client: redis.Redis) -> bool:
        state = client.sentinel_master(MASTER_NAME)
        return state["num-other-sentinels"] == 2 and state["num-slaves"] == 1

    def master_address(self) -> tuple:
        client = self.sentinels[0].client()
        try:
            host, port = client.sentinel_get_master_addr_by_name(MASTER_NAME)
        finally:
            client.close()
        return host.decode() if isinstance(host, bytes) else host, int(port)

    def master_client(self, **options) -> redis.Redis:
        """A client of whichever node the Sentinels name master now."""
        sentinels = [("127.0.0.1", node.port) for node in self.sentinels]
        return Sentinel(sentinels, socket_timeout=2).master_for(MASTER_NAME, socket_timeout=2,
                                                                password=self.password or None, **options)

    def stop(self) -> None:
        for node in [*self.sentinels, self.replica, self.master]:
            node.stop()


class ClusterSet:
    """A Redis Cluster of `masters` masters without replicas, every slot
    covered."""

    def __init__(self, folder: Path, masters: int = 3):
        self.nodes = [RedisNode(folder / f"node{n}") for n in range(masters)]

    @property
    def url(self) -> str:
        return f"redis://{self.nodes[0].address}"

    def start(self) -> "ClusterSet":
        require_redis_server()
        for node in self.nodes:
            # The bus port is given too: port + 10000 may not be a port at all.
            node.config = (f"cluster-enabled yes\ncluster-config-file nodes.conf\n"
                           f"cluster-port {free_port()}\ncluster-node-timeout 5000\n")
            node.start()
        subprocess.run(["redis-cli", "--cluster", "create", *(node.address for node in self.nodes),
                        "--cluster-replicas", "0", "--cluster-yes"],
                       check=True, capture_output=True, timeout=60)
        for node in self.nodes:
            client = node.client()
            wait_until(lambda: client.cluster("info")["cluster_state"] == "ok", 20, "the cluster")
            client.close()
        return self

    def client(self, **options) -> RedisCluster:
        return RedisCluster.from_url(self.url, socket_timeout=2, **options)

    def stop(self) -> None:
        for node in self.nodes:
            node.stop()


def require_redis_server() -> None:
    for program in ("redis-server", "redis-cli"):
        if shutil.which(program) is None:
            raise RuntimeError(f"{program} is not installed (tools/bootstrap installs it)")
