"""The CPU a bench's processes cost the machine over a window, counting what
the kernel does for them and not only their own time.

It is the run time of every thread of this process's descendants and of
the kernel's softirq threads (ksoftirqd), read in nanoseconds from
/proc/PID/task/TID/schedstat.  The softirq work of receiving a datagram
sent on loopback runs in the sender's context (or in ksoftirqd when it
backs up), and this kernel charges it to the thread it interrupts, so it
is in those run times; the machine's softirq from /proc/stat (sampled at
each tick, and including what others cause) is given beside.  The machine
may be shared: other processes' time is left out rather than subtracted,
and what is left of their influence (caches, frequency) is noise, best met
by keeping the least of repeated runs.
"""

from __future__ import annotations

import os
from dataclasses import dataclass

TICKS = os.sysconf("SC_CLK_TCK")


@dataclass(frozen=True)
class Sample:
    softirq: float  # seconds, all CPUs, from /proc/stat
    threads: dict[tuple[int, int], float]  # (pid, tid) -> seconds run, ours and ksoftirqd's


@dataclass(frozen=True)
class Used:
    total: float  # seconds run by our threads and ksoftirqd
    softirq: float  # the machine's


def _parent_and_command(pid: str) -> tuple[int, str] | None:
    try:
        with open(f"/proc/{pid}/stat") as stat:
            text = stat.read()
    except OSError:
        return None
    return int(text[text.rindex(")") + 2:].split()[1]), text[text.index("(") + 1:text.rindex(")")]


def _thread_times(pid: int) -> dict[tuple[int, int], float]:
    times = {}
    try:
        tids = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return {}
    for tid in tids:
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as schedstat:
                times[(pid, int(tid))] = int(schedstat.read().split()[0]) / 1e9
        except OSError:
            continue
    return times


def sample() -> Sample:
    with open("/proc/stat") as stat:
        softirq = int(stat.readline().split()[7]) / TICKS
    processes = {int(pid): found for pid in os.listdir("/proc")
                 if pid.isdigit() and (found := _parent_and_command(pid))}
    root = os.getpid()
    threads: dict[tuple[int, int], float] = {}
    for pid, (_, command) in processes.items():
        walk = pid
        while walk in processes and walk not in (root, 0, 1):
            walk = processes[walk][0]
        if walk == root or command.startswith("ksoftirqd/"):
            threads.update(_thread_times(pid))
    return Sample(softirq, threads)


def used(start: Sample, end: Sample) -> Used:
    run = sum(seconds - start.threads.get(thread, 0.0) for thread, seconds in end.threads.items())
    return Used(run, end.softirq - start.softirq)
