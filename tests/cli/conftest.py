"""Running the avwatch command as an operator would: as a child process."""

import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]

# Installed (tools/bootstrap), the CLI and the stubs are in site-packages;
# in a build-dir run they come from the checkout.
if importlib.util.find_spec("avwatch_cli") is None:
    sys.path.insert(0, str(REPO / "python"))
    os.environ["PYTHONPATH"] = os.pathsep.join(
        [str(REPO / "python")] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p])


class Avwatch:
    command = [sys.executable, "-m", "avwatch_cli"]

    def run(self, *args, timeout=30, **options) -> subprocess.CompletedProcess:
        return subprocess.run([*self.command, *map(str, args)],
                              capture_output=True, text=True, timeout=timeout, **options)

    def start(self, *args, **options) -> subprocess.Popen:
        return subprocess.Popen([*self.command, *map(str, args)],
                                **{"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, "text": True, **options})


@pytest.fixture
def avwatch_command():
    return Avwatch()


@pytest.fixture
def path_without(tmp_path):
    """An environment whose PATH offers the probe chain minus the named programs."""
    def make(*missing):
        folder = tmp_path / "bin"
        folder.mkdir(exist_ok=True)
        for name in ("nice", "cpulimit", "ffprobe"):
            link = folder / name
            if name not in missing and not link.exists():
                link.symlink_to(subprocess.run(["which", name], capture_output=True, text=True,
                                               check=True).stdout.strip())
        return {**os.environ, "PATH": str(folder)}
    return make


@pytest.fixture
def redis_url(redis_server, broker):
    return f"redis://127.0.0.1:{redis_server.port}/0"
