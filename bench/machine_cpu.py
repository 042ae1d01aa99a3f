"""The CPU a bench's processes cost the machine over a window, counting what
the kernel does for them and not only their own time.

It is the user and system time of this process's descendants plus the
machine's irq and softirq time (/proc/stat) and the time of the kernel's
softirq threads (ksoftirqd): receiving a datagram is mostly softirq work,
done on whichever CPU and in whatever process's context it lands.  The
machine may be shared, so other processes' own time is left out rather
than subtracted from the total; what others cause in softirq remains as
noise, always upwards (keep the least of repeated runs).
"""

from __future__ import annotations

import os
from dataclasses import dataclass

TICKS = os.sysconf("SC_CLK_TCK")


@dataclass(frozen=True)
class Sample:
    interrupts: float  # seconds of irq + softirq, all CPUs
    softirq: float
    processes: dict[int, float]  # pid -> user + system seconds, ours and ksoftirqd


@dataclass(frozen=True)
class Used:
    total: float  # seconds: our processes + irq + softirq + ksoftirqd
    softirq: float


def _stat(pid: str) -> tuple[str, int, float] | None:
    """(command, parent pid, user + system seconds)."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            text = stat.read()
    except OSError:
        return None
    command = text[text.index("(") + 1:text.rindex(")")]
    fields = text[text.rindex(")") + 2:].split()
    # After the command: state ppid ... utime(12th) stime(13th)
    return command, int(fields[1]), (int(fields[11]) + int(fields[12])) / TICKS


def sample() -> Sample:
    with open("/proc/stat") as stat:
        fields = [int(value) for value in stat.readline().split()[1:]]
    irq, softirq = fields[5], fields[6]
    stats = {int(pid): found for pid in os.listdir("/proc") if pid.isdigit() and (found := _stat(pid))}
    root = os.getpid()
    counted: dict[int, float] = {}
    for pid, (command, _, cpu) in stats.items():
        walk = pid
        while walk in stats and walk not in (root, 0, 1):
            walk = stats[walk][1]
        if walk == root or command.startswith("ksoftirqd/"):
            counted[pid] = cpu
    return Sample((irq + softirq) / TICKS, softirq / TICKS, counted)


def used(start: Sample, end: Sample) -> Used:
    processes = sum(cpu - start.processes.get(pid, 0.0) for pid, cpu in end.processes.items())
    return Used(end.interrupts - start.interrupts + processes, end.softirq - start.softirq)
