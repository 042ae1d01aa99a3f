"""What the systemd units under contrib/systemd would run: their command
lines with systemd's specifiers resolved, and their environment file."""

import re
import shlex
import subprocess
from pathlib import Path

UNITS = Path(__file__).resolve().parents[2] / "contrib" / "systemd"
TEMPLATE = "avwatch-monitor@.service"


def systemd_escape(*args) -> str:
    return subprocess.run(["systemd-escape", *args], capture_output=True, text=True, check=True).stdout.strip()


def setting(unit: str, key: str) -> str:
    [line] = [line for line in (UNITS / unit).read_text().splitlines() if line.startswith(f"{key}=")]
    return line.removeprefix(f"{key}=")


def exec_start(unit: str) -> str:
    return setting(unit, "ExecStart")


def command_line(unit: str, instance: str = "") -> list[str]:
    """The unit's ExecStart as argv: %I is the unescaped instance, "%%" is
    "%", "$$" is "$"."""
    command = exec_start(unit).replace("%I", shlex.quote(systemd_escape("--unescape", instance)) if instance else "")
    return shlex.split(command.replace("%%", "%").replace("$$", "$"))


def restart_prevented(unit: str) -> set[int]:
    return {int(status) for status in setting(unit, "RestartPreventExitStatus").split()}


def environment_file() -> dict[str, str]:
    lines = (UNITS / "redis.env").read_text().splitlines()
    return dict(line.split("=", 1) for line in lines if re.match(r"^[A-Z_]+=", line))
