"""The systemd units under contrib/systemd: systemd accepts them as they
stand, an instance name carries the channel and pipe to the command, and the
environment file names exactly one Redis."""

import argparse
import json
import os
import shutil
import subprocess
import sys

import pytest

from avwatch_cli.broker import ENVIRONMENT, target_from
from unit_commands import TEMPLATE, UNITS, command_line, environment_file, systemd_escape

needs_systemd = pytest.mark.skipif(shutil.which("systemd-analyze") is None,
                                   reason="systemd-analyze is not installed (tools/bootstrap installs systemd)")


@needs_systemd
@pytest.mark.parametrize("unit", ["avwatch-serve.service", "avwatch-host.service", TEMPLATE,
                                  "avwatch-monitor@42-main.service"])
def test_systemd_accepts_the_units(tmp_path, unit):
    for source in UNITS.glob("*.service"):
        shutil.copy(source, tmp_path)
    if unit != TEMPLATE and "@" in unit:
        shutil.copy(UNITS / TEMPLATE, tmp_path / unit)
    result = subprocess.run(["systemd-analyze", "verify", "--man=no", str(tmp_path / unit)],
                            capture_output=True, text=True, timeout=60)
    # verify reports unknown keys and bad values on stderr, yet exits 0.
    assert (result.returncode, result.stderr) == (0, "")


@needs_systemd
@pytest.mark.parametrize("channel, pipe", [("42", "main"), ("a-b:c", "p_1"), ("ké", "main"), ("x/y", "z")])
def test_the_instance_name_carries_channel_and_pipe(tmp_path, channel, pipe):
    name = systemd_escape("--template", TEMPLATE, f"{channel}/{pipe}")
    instance = name.removeprefix("avwatch-monitor@").removesuffix(".service")
    fake = tmp_path / "avwatch"
    fake.write_text(f"#!{sys.executable}\nimport json, sys\nprint(json.dumps(sys.argv[1:]))\n")
    fake.chmod(0o755)
    result = subprocess.run(command_line(TEMPLATE, instance), capture_output=True, text=True, check=True,
                            env={**os.environ, "PATH": f"{tmp_path}:{os.environ['PATH']}"})
    # A channel id may hold "/" as well; a pipe name, a folder name, cannot.
    assert json.loads(result.stdout) == ["monitor", "--channel", channel, "--pipe", pipe]


def test_the_environment_file_names_one_redis(monkeypatch):
    for name in ENVIRONMENT.values():
        monkeypatch.delenv(name, raising=False)
    for name, value in environment_file().items():
        monkeypatch.setenv(name, value)
    none_given = argparse.Namespace(**dict.fromkeys(ENVIRONMENT))
    assert str(target_from(none_given)) == "redis://127.0.0.1:6379/0"
