"""The units' command lines as systemd would run them: as a user of their
own (DynamicUser=yes) with home folders hidden (ProtectHome=yes), with the
environment file's PATH pointing at an install made by tools/install.
systemd itself does not run in a container, so a private mount namespace
(tmpfs over the home folders) and setpriv stand in for it."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request
from pathlib import Path

import pytest

from machine import free_port
from unit_commands import TEMPLATE, command_line, environment_file, restart_prevented

REPO = Path(__file__).resolve().parents[2]
# An id that no account uses, as DynamicUser picks one from 61184-65519.
DYNAMIC_UID = 61999
HIDDEN_HOMES = ("/root", "/home", "/run/user")

pytestmark = pytest.mark.skipif(os.geteuid() != 0 or shutil.which("setpriv") is None,
                                reason="needs root, unshare and setpriv to stand in for systemd")


@pytest.fixture(scope="module")
def installed():
    """tools/install into a folder any user may enter (pytest's own tmp is 0700)."""
    prefix = Path(tempfile.mkdtemp(prefix="avwatch-opt-", dir="/tmp"))
    prefix.chmod(0o755)
    result = subprocess.run([str(REPO / "tools/install"), str(prefix / "avwatch")],
                            capture_output=True, text=True, timeout=900)
    assert result.returncode == 0, result.stderr[-3000:]
    yield prefix / "avwatch"
    shutil.rmtree(prefix)


def as_dynamic_user(argv: list[str], path: str, **environment: str) -> subprocess.Popen:
    """argv in a mount namespace where the home folders are empty, run by an
    unprivileged user with the environment file's variables."""
    env = {**environment_file(), "PATH": path, **environment}
    hide = " && ".join(f"mount -t tmpfs -o mode=755 tmpfs {folder}" for folder in HIDDEN_HOMES
                       if os.path.isdir(folder))
    setpriv = ["setpriv", f"--reuid={DYNAMIC_UID}", f"--regid={DYNAMIC_UID}", "--clear-groups",
               "--no-new-privs", "env", "-i", *(f"{name}={value}" for name, value in env.items())]
    return subprocess.Popen(["unshare", "--mount", "--propagation", "private", "sh", "-c",
                             f'{hide} && exec "$@"', "hide-homes", *setpriv, *argv],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd="/")


def unit_path(bin_folder: Path) -> str:
    """The environment file's PATH with its first folder (where avwatch is) replaced."""
    return ":".join([str(bin_folder), *environment_file()["PATH"].split(":")[1:]])


@pytest.mark.parametrize("unit", [TEMPLATE, "avwatch-serve.service", "avwatch-host.service"])
def test_an_avwatch_under_root_ends_for_good(unit, tmp_path):
    # What the units met before: the venv's interpreter under /root.  The exit
    # must be one the unit does not restart in a loop.
    process = as_dynamic_user(command_line(unit, "7-main"), unit_path(Path(sys.executable).parent))
    _, stderr = process.communicate(timeout=60)
    assert process.returncode in (126, 127), stderr
    assert process.returncode in restart_prevented(unit)


def test_monitor_unit_runs_the_installed_avwatch(installed, broker, redis_server, kestrel_root):
    broker.set("ch:7", json.dumps({"live": False}))
    broker.set("ch:7:input:main", json.dumps({"uri": "udp://127.0.0.1:46000"}))
    process = as_dynamic_user(command_line(TEMPLATE, "7-main"), unit_path(installed / "bin"),
                              AVWATCH_REDIS=f"redis://127.0.0.1:{redis_server.port}/0")
    _, stderr = process.communicate(timeout=60)
    assert process.returncode == 0, stderr
    assert "input monitor ended: channel ch:7 stopped" in stderr


def test_host_unit_runs_the_installed_avwatch(installed, broker, redis_server, kestrel_root):
    broker.set("ch:7", json.dumps({"live": True}))
    broker.set("ch:7:input:main", json.dumps({"uri": "udp://127.0.0.1:46000"}))
    process = as_dynamic_user(command_line("avwatch-host.service"), unit_path(installed / "bin"),
                              AVWATCH_REDIS=f"redis://127.0.0.1:{redis_server.port}/0",
                              AVWATCH_HOST_OPTIONS="--channels 7")
    try:
        deadline = time.monotonic() + 30
        while not broker.exists("ch:7:out:main") and time.monotonic() < deadline and process.poll() is None:
            time.sleep(0.2)
        assert broker.exists("ch:7:out:main"), process.communicate(timeout=5)[1] if process.poll() is not None else ""
    finally:
        process.terminate()
        _, stderr = process.communicate(timeout=30)
    assert process.returncode == 130, stderr
    assert "output monitor stopped" in stderr


def test_serve_unit_runs_the_installed_avwatch(installed, broker, redis_server):
    broker.set("ch:7", json.dumps({"live": True}))
    port = free_port()
    process = as_dynamic_user(command_line("avwatch-serve.service"), unit_path(installed / "bin"),
                              AVWATCH_REDIS=f"redis://127.0.0.1:{redis_server.port}/0",
                              AVWATCH_SERVE_OPTIONS=f"--listen 127.0.0.1:{port}")
    try:
        status = None
        deadline = time.monotonic() + 30
        while status is None and time.monotonic() < deadline and process.poll() is None:
            try:
                with urllib.request.urlopen(f"http://127.0.0.1:{port}/api/status", timeout=2) as answer:
                    status = json.load(answer)
            except OSError:
                time.sleep(0.2)
        assert status is not None, process.communicate(timeout=5)[1] if process.poll() is not None else "no answer"
        assert status["redis"]["up"] is True
    finally:
        process.terminate()
        process.communicate(timeout=30)
