"""What the machine runs: free ports, mounts, and processes found by command
line.  Used by the tests and the demo."""

import os
import socket
import time


def free_port(kind: int = socket.SOCK_STREAM) -> int:
    """A port on 127.0.0.1 that nothing holds now (TCP, or UDP with SOCK_DGRAM)."""
    with socket.socket(socket.AF_INET, kind) as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def is_tmpfs_mount(path) -> bool:
    """A tmpfs is mounted exactly at `path` (the sandbox's media server tree)."""
    with open("/proc/self/mountinfo") as mounts:
        for line in mounts:
            fields = line.split()
            if fields[4] == str(path):
                return line.split(" - ")[1].split()[0] == "tmpfs"
    return False


def command_lines() -> dict:
    """pid -> arguments of every live process; a zombie has none and is left out."""
    found = {}
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                raw = cmdline.read()
        except OSError:
            continue
        if raw:
            found[int(pid)] = raw.decode(errors="replace").rstrip("\0").split("\0")
    return found


def children_of(pid: int) -> list[int]:
    """The children of process `pid`, gathered over its threads; a thread
    or child that ends while they are read is passed over."""
    found = []
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/children") as listed:
                found += [int(child) for child in listed.read().split()]
        except FileNotFoundError:
            continue
    return found


def children_running(pid: int, program: str) -> list[int]:
    """The children of `pid` that run `program` (its first argument as given)."""
    lines = command_lines()
    return [child for child in children_of(pid) if lines.get(child, [""])[0] == program]


def stat_fields(pid: int) -> list:
    """The fields of /proc/PID/stat after the command name: state, parent, group, ..."""
    with open(f"/proc/{pid}/stat") as stat:
        return stat.read().rsplit(")", 1)[1].split()


def parent_pid(pid: int) -> int:
    """The parent of process `pid` (a zombie's too)."""
    return int(stat_fields(pid)[1])


def processes_naming(text: str) -> list:
    """Live processes whose command line holds `text`."""
    return [pid for pid, args in command_lines().items() if text in "\0".join(args)]


def gone_soon(text: str, wait: float = 2.0) -> bool:
    """No process names `text` within `wait` seconds (killed chains take a moment to go)."""
    deadline = time.monotonic() + wait
    while processes_naming(text) and time.monotonic() < deadline:
        time.sleep(0.05)
    return processes_naming(text) == []
