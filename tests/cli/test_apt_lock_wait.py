"""tools/apt-get-waiting: a package lock another process holds (here the
lock of a private package-lists folder, held with the fcntl lock apt takes)
is waited for up to the limit; any other failure is apt-get's at once."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

APT_GET_WAITING = Path(__file__).resolve().parents[2] / "tools" / "apt-get-waiting"
HOLDER = """
import fcntl, os, sys, time
fd = os.open(sys.argv[1], os.O_RDWR | os.O_CREAT)
fcntl.lockf(fd, fcntl.LOCK_EX)
print("held", flush=True)
time.sleep(float(sys.argv[2]))
"""

pytestmark = pytest.mark.skipif(shutil.which("apt-get") is None, reason="no apt-get here")


def private_update(tmp_path: Path) -> list[str]:
    """`update` of an empty source list into folders of the test's own: no network, no system state."""
    lists = tmp_path / "lists"
    (lists / "partial").mkdir(parents=True, exist_ok=True)
    (tmp_path / "cache" / "archives" / "partial").mkdir(parents=True, exist_ok=True)
    return ["update", "-o", f"Dir::State::Lists={lists}", "-o", f"Dir::Cache={tmp_path / 'cache'}",
            "-o", "Dir::Etc::SourceList=/dev/null", "-o", f"Dir::Etc::SourceParts={tmp_path / 'none'}"]


@pytest.mark.parametrize("held_for, limit, succeeds", [
    (3, 60, True),     # released within the limit: waited for, then done
    (60, 2, False),    # held past it: apt-get's own refusal
])
def test_a_held_lock_is_waited_for_up_to_the_limit(tmp_path, held_for, limit, succeeds):
    arguments = private_update(tmp_path)
    holder = subprocess.Popen([sys.executable, "-c", HOLDER, str(tmp_path / "lists" / "lock"), str(held_for)],
                              stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "held\n"
        result = subprocess.run([str(APT_GET_WAITING), *arguments], capture_output=True, text=True, timeout=90,
                                env={**os.environ, "AVWATCH_APT_LOCK_WAIT": str(limit)})
        if succeeds:
            assert result.returncode == 0, result.stderr
            assert holder.poll() is not None   # it waited for the holder to let go
            assert "Could not get lock" in result.stderr and "waiting up to" in result.stderr
        else:
            assert result.returncode != 0 and holder.poll() is None
            assert f"Could not get lock {tmp_path / 'lists' / 'lock'}" in result.stderr, result.stderr
    finally:
        holder.kill()
        holder.wait()


def test_other_failures_are_not_retried(tmp_path):
    result = subprocess.run([str(APT_GET_WAITING), "no-such-operation"], capture_output=True, text=True,
                            timeout=30, env={**os.environ, "AVWATCH_APT_LOCK_WAIT": "60"})
    assert result.returncode != 0 and "Invalid operation" in result.stderr and "waiting" not in result.stderr
