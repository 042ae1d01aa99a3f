"""What a process holds, measured so that two readings can be compared:
Python objects (tracemalloc), the C heap (the allocator's own count),
resident memory, open file descriptors and child processes."""

import ctypes
import os
import tracemalloc
from typing import NamedTuple


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def _heap_counter():
    """Bytes the C heap has handed out and not taken back.  Under
    AddressSanitizer its allocator counts them (freed blocks sit in its
    quarantine, so resident memory says nothing there); otherwise glibc does."""
    process = ctypes.CDLL(None)
    try:
        asan = process.__sanitizer_get_current_allocated_bytes
    except AttributeError:
        pass
    else:
        asan.restype = ctypes.c_size_t
        return asan
    mallinfo2 = process.mallinfo2
    mallinfo2.restype = _Mallinfo2

    def glibc():
        info = mallinfo2()
        return info.uordblks + info.hblkhd
    return glibc


heap_bytes = _heap_counter()


def under_address_sanitizer() -> bool:
    return hasattr(ctypes.CDLL(None), "__sanitizer_get_current_allocated_bytes")


def rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def open_fds() -> frozenset:
    # The listing's own descriptor shows up in every reading alike.
    return frozenset(os.listdir("/proc/self/fd"))


def _status(pid: str) -> dict:
    fields = {}
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            name, _, value = line.partition(":")
            fields[name] = value.strip()
    return fields


def live_children() -> frozenset:
    """Our child processes that still run.  A zombie is left out: it holds
    nothing but its entry, and whoever reaps it is the parent's business."""
    me = str(os.getpid())
    found = set()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            status = _status(pid)
        except OSError:
            continue
        if status.get("PPid") == me and not status.get("State", "").startswith("Z"):
            found.add(int(pid))
    return frozenset(found)


class Footprint(NamedTuple):
    python_bytes: int
    heap_bytes: int
    rss_bytes: int
    fds: frozenset
    children: frozenset

    @classmethod
    def take(cls) -> "Footprint":
        python = tracemalloc.get_traced_memory()[0] if tracemalloc.is_tracing() else 0
        return cls(python, heap_bytes(), rss_bytes(), open_fds(), live_children())

    def growth(self, later: "Footprint") -> dict:
        return {
            "python_bytes": later.python_bytes - self.python_bytes,
            "heap_bytes": later.heap_bytes - self.heap_bytes,
            "rss_bytes": later.rss_bytes - self.rss_bytes,
            "new_fds": sorted(later.fds - self.fds),
            "new_children": sorted(later.children - self.children),
        }
