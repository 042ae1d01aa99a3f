"""The module's monitors log through the root logger, from their own
threads.  `avwatch monitor` adds one pipe's filters to the root logger; a
host adds this one filter, which hands each record to the filters of the
pipe whose thread logged it."""

from __future__ import annotations

import logging
import threading


class ThreadRouter(logging.Filter):
    def __init__(self) -> None:
        super().__init__()
        self.lock = threading.Lock()
        self.routes: dict[int, tuple[logging.Filter, ...]] = {}

    def route(self, thread_id: int, filters: tuple[logging.Filter, ...]) -> None:
        with self.lock:
            self.routes[thread_id] = filters

    def drop(self, thread_id: int | None) -> None:
        if thread_id is None:
            return
        with self.lock:
            self.routes.pop(thread_id, None)

    def filter(self, record: logging.LogRecord) -> bool:
        filters = self.routes.get(record.thread or 0)
        if filters is None:
            return True
        return all(each.filter(record) for each in filters)
