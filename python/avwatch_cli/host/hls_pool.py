"""The HLS checks of every pipe a host watches, run by a fixed number of
worker threads: each check is due again after its own period (half the
playlist's target duration), so a few threads keep hundreds of outputs."""

from __future__ import annotations

import heapq
import itertools
import threading
import time

from avwatch_cli.analyze.hls_publisher import HlsCheck

# The longest a worker sleeps without looking at the stop flag.
IDLE_WAIT_SECONDS = 1.0


class HlsPool:
    def __init__(self, workers: int, clock=time.monotonic):
        self.clock = clock
        self.condition = threading.Condition()
        self.due: list[tuple[float, int, HlsCheck]] = []
        self.order = itertools.count()
        self.scheduled: set[HlsCheck] = set()   # added and not removed
        self.running: set[HlsCheck] = set()
        self.removing = 0   # callers of remove() waiting for a check under way
        self.closed = False
        self.threads = [threading.Thread(target=self._work, name=f"hls-{index}", daemon=True)
                        for index in range(workers)]
        for thread in self.threads:
            thread.start()

    def add(self, check: HlsCheck) -> None:
        """Checks at once, then after each check's period until removed."""
        with self.condition:
            self.scheduled.add(check)
            heapq.heappush(self.due, (self.clock(), next(self.order), check))
            self.condition.notify()

    def remove(self, check: HlsCheck, delete: bool, timeout: float = 10.0) -> None:
        """No further check; waits for one under way (a check reads a few
        files: well under a second), then deletes the record if asked."""
        deadline = self.clock() + timeout
        with self.condition:
            self.scheduled.discard(check)
            self.removing += 1
            try:
                while check in self.running and self.clock() < deadline:
                    self.condition.wait(min(IDLE_WAIT_SECONDS, max(0.0, deadline - self.clock())))
            finally:
                self.removing -= 1
        if delete:
            check.delete()

    def close(self, timeout: float = 10.0) -> None:
        with self.condition:
            self.closed = True
            self.condition.notify_all()
        deadline = self.clock() + timeout
        for thread in self.threads:
            thread.join(max(0.0, deadline - self.clock()))

    def __len__(self) -> int:
        with self.condition:
            return len(self.scheduled)

    def _work(self) -> None:
        while True:
            with self.condition:
                check = self._next_due_locked()
                if check is None:
                    return
                self.running.add(check)
            pause = 1.0
            try:
                pause = check.run_once()
            finally:
                with self.condition:
                    self.running.discard(check)
                    if check in self.scheduled:
                        heapq.heappush(self.due, (self.clock() + pause, next(self.order), check))
                    # One idle worker takes the next check; every waiter only when
                    # a remove() may be waiting for this one (each check would
                    # otherwise wake the whole pool).
                    if self.removing:
                        self.condition.notify_all()
                    else:
                        self.condition.notify()

    def _next_due_locked(self) -> HlsCheck | None:
        """The next check to run once due, or None once closed."""
        while not self.closed:
            # Entries of removed checks are dropped as they come up.
            while self.due and self.due[0][2] not in self.scheduled:
                heapq.heappop(self.due)
            now = self.clock()
            if self.due and self.due[0][0] <= now:
                return heapq.heappop(self.due)[2]
            wait = IDLE_WAIT_SECONDS if not self.due else min(IDLE_WAIT_SECONDS, self.due[0][0] - now)
            self.condition.wait(wait)
        return None
