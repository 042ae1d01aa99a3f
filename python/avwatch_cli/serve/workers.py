"""Worker threads for the HTTP side's CPU work (encoding and compressing
bodies, reading the history), one pool per kind of work so that a flood of
one endpoint cannot starve the others.

Daemon threads, unlike the standard pool's, which the interpreter joins at
exit: a body still being built must not hold up the end of the process
after SIGTERM."""

from __future__ import annotations

import queue
import threading
from concurrent.futures import Executor, Future
from typing import Any, Callable


class DaemonPool(Executor):
    def __init__(self, name: str, threads: int):
        self.jobs: queue.SimpleQueue = queue.SimpleQueue()
        self.threads = [threading.Thread(target=self.work, name=f"{name} {n}", daemon=True)
                        for n in range(threads)]
        for thread in self.threads:
            thread.start()

    def submit(self, fn: Callable[..., Any], /, *args: Any, **kwargs: Any) -> Future:
        future: Future = Future()
        self.jobs.put((future, fn, args, kwargs))
        return future

    def work(self) -> None:
        while (job := self.jobs.get()) is not None:
            future, fn, args, kwargs = job
            if not future.set_running_or_notify_cancel():
                continue
            try:
                future.set_result(fn(*args, **kwargs))
            except BaseException as error:   # handed to the waiting request, as the standard pool does
                future.set_exception(error)
            del future, job

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        for _ in self.threads:
            self.jobs.put(None)
        if wait:
            for thread in self.threads:
                thread.join()
