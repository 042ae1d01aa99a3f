"""Wall-clock timing shared by the benchmarks."""

import statistics
import time


def median_seconds(action, rounds):
    """The median wall time of `rounds` calls of `action`, after one warm-up
    call (page cache, imports)."""
    action()
    times = []
    for _ in range(rounds):
        started = time.perf_counter()
        action()
        times.append(time.perf_counter() - started)
    return statistics.median(times)
