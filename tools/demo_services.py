"""The processes the demo starts: each in a session of its own, so that the
terminal's Ctrl-C reaches only the demo (which then stops the channel in
order), and each told to end if the demo dies without cleaning up."""

import ctypes
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import redis

from media import UdpSender

PR_SET_PDEATHSIG = 1
_libc = ctypes.CDLL(None, use_errno=True)


def _end_with_parent():
    # Runs in the child between fork and exec.
    _libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


class Child:
    """One started program, its output in a log file."""

    def __init__(self, name: str, command: list, log_path: Path):
        self.name = name
        self.command = command
        self.log_path = log_path
        self.process = None

    def start(self, env=None):
        with open(self.log_path, "ab") as log:
            self.process = subprocess.Popen(self.command, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                            env=env, start_new_session=True, preexec_fn=_end_with_parent)
        return self

    def running(self) -> bool:
        return self.process is not None and self.process.poll() is None

    def wait(self, timeout):
        return self.process.wait(timeout)

    def stop(self):
        """SIGTERM to its process group (ffmpeg under the stand-in too), SIGKILL after 5 s."""
        if self.process is None:
            return None
        if self.process.poll() is None:
            self._signal_group(signal.SIGTERM)
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self._signal_group(signal.SIGKILL)
                self.process.wait()
        # Anything left in its group (a child that outlived it) goes as well.
        self._signal_group(signal.SIGKILL)
        return self.process.returncode

    def kill(self):
        """SIGKILL to its process group, as a crash would end it: files it
        was writing stay as they were."""
        if self.process is None:
            return None
        self._signal_group(signal.SIGKILL)
        return self.process.wait()

    def _signal_group(self, signum):
        try:
            os.killpg(self.process.pid, signum)
        except ProcessLookupError:
            pass


def redis_server(port: int, folder: Path) -> Child:
    return Child("redis-server", ["redis-server", "--port", str(port), "--bind", "127.0.0.1", "--save", "",
                                  "--appendonly", "no", "--dir", str(folder)], folder / "redis.log")


def wait_for_redis(client: redis.StrictRedis, server: Child, timeout=10):
    deadline = time.monotonic() + timeout
    while True:
        try:
            client.ping()
            return
        except redis.ConnectionError:
            if not server.running() or time.monotonic() > deadline:
                raise RuntimeError(f"redis-server did not start; see {server.log_path}") from None
            time.sleep(0.05)


def udp_sender(port: int, folder: Path) -> Child:
    return Child("UDP sender (ffmpeg)", UdpSender(port).command, folder / "sender.log")


def lossy_relay(listen: int, target: int, drop: tuple[float, float], share: float, folder: Path) -> Child:
    return Child("lossy relay",
                 [sys.executable, str(Path(__file__).resolve().parent / "demo_relay.py"), str(listen), str(target),
                  str(drop[0]), str(drop[1]), str(share)],
                 folder / "relay.log")


def hls_standin(root: Path, ch_uid: str, pipe_name: str, fragment: int, folder: Path) -> Child:
    return Child("HLS stand-in (ffmpeg)",
                 [sys.executable, str(Path(__file__).resolve().parent / "hls_standin.py"), "--root", str(root),
                  "--channel", ch_uid, "--pipe", pipe_name, "--fragment", str(fragment)],
                 folder / "standin.log")


def monitor_command(redis_url: str, ch_uid: str, pipe_name: str, folder: Path) -> Child:
    return Child("avwatch monitor",
                 [sys.executable, "-m", "avwatch_cli", "monitor", "--redis", redis_url,
                  "--channel", ch_uid, "--pipe", pipe_name],
                 folder / "monitor.log")


def serve_command(redis_url: str, listen: str, stale_after: float, folder: Path) -> Child:
    return Child("avwatch serve",
                 [sys.executable, "-m", "avwatch_cli", "serve", "--redis", redis_url, "--listen", listen,
                  "--refresh", "1", "--stale-after", str(stale_after)],
                 folder / "serve.log")
