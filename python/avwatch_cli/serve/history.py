"""The bitrate history behind the page's sparklines: bounded rings, one
sample per pipe and refresh over the last ten minutes."""

from __future__ import annotations

import array
import math
import threading
from typing import Any

HISTORY_SECONDS = 600
HISTORY_SAMPLES_MAX = 600


class History:
    """Input and output bitrate of every pipe at each of the last refreshes.

    One shared ring of sample times, and per pipe a row of each of two
    row-major float tables aligned with it (NaN where nothing was known).
    The refresher keeps the current value of each row up to date as views
    change; a refresh then writes the whole column in one slice assignment."""

    def __init__(self, refresh_seconds: float):
        self.size = max(2, min(HISTORY_SAMPLES_MAX, math.ceil(HISTORY_SECONDS / refresh_seconds)))
        self.times = array.array("d", [math.nan] * self.size)
        self.head = -1
        self.rows: dict[str, int] = {}
        self.free: list[int] = []
        self.tables = (array.array("f"), array.array("f"))
        self.current = (array.array("f"), array.array("f"))
        self.lock = threading.Lock()

    def keep(self, pipe_ids: set[str]) -> dict[str, int]:
        """Rows for exactly these pipes; a new pipe's row starts empty."""
        nan_row = array.array("f", [math.nan]) * self.size
        with self.lock:
            for pipe_id in [pipe_id for pipe_id in self.rows if pipe_id not in pipe_ids]:
                self.free.append(self.rows.pop(pipe_id))
            new = [pipe_id for pipe_id in pipe_ids if pipe_id not in self.rows]
            if len(new) > len(self.free):
                self.grow(len(new) - len(self.free))
            for pipe_id in new:
                row = self.rows[pipe_id] = self.free.pop()
                for table, current in zip(self.tables, self.current):
                    table[row * self.size:(row + 1) * self.size] = nan_row
                    current[row] = math.nan
            return dict(self.rows)

    def grow(self, needed: int) -> None:
        """At least `needed` rows more: as many as asked for when pipes come
        by the thousand (the tables are most of serve's memory per pipe at
        short refresh periods), an eighth more when they come a few at a time."""
        rows = len(self.current[0])
        added = max(64, needed, rows // 8)
        for table, current in zip(self.tables, self.current):
            table.extend(array.array("f", [math.nan]) * (added * self.size))
            current.extend(array.array("f", [math.nan]) * added)
        self.free.extend(range(rows + added - 1, rows - 1, -1))

    def set(self, row: int, input_bps: float | None, output_bps: float | None) -> None:
        self.current[0][row] = math.nan if input_bps is None else input_bps
        self.current[1][row] = math.nan if output_bps is None else output_bps

    def add(self, now: float) -> None:
        """One sample of every row: its current values."""
        with self.lock:
            head = self.head = (self.head + 1) % self.size
            self.times[head] = now
            for table, current in zip(self.tables, self.current):
                table[head::self.size] = current

    def get(self, pipe_ids: list[str]) -> dict[str, dict[str, list[Any]]]:
        with self.lock:
            order = [(self.head + 1 + step) % self.size for step in range(self.size)]
            order = [at for at in order if not math.isnan(self.times[at])]
            times = [self.times[at] for at in order]
            found: dict[str, dict[str, list[Any]]] = {}
            for pipe_id in pipe_ids:
                row = self.rows.get(pipe_id)
                if row is not None:
                    start = row * self.size
                    found[pipe_id] = {"t": times,
                                      "input": [finite(self.tables[0][start + at]) for at in order],
                                      "output": [finite(self.tables[1][start + at]) for at in order]}
            return found


def finite(value: float) -> float | None:
    return None if math.isnan(value) else value
