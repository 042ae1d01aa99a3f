"""The analyser `avwatch monitor` runs beside the input monitor: it follows
the pipe's input record, watches that input continuously and publishes one
record a second under ch:{id}:ts:{pipe}."""

from __future__ import annotations

import json
import logging
import threading
import time
from typing import Any

from avwatch_cli.analyze.record import RECORD_TTL_SECONDS, ErrorTimes, make_record, ts_key
from avwatch_cli.analyze.uri import analysable, input_uri, program_of
from avwatch_cli.broker import REDIS_ERRORS
from avwatch_cli.failures import Failure

log = logging.getLogger("avwatch.cli")

# How often the input record is read again, to follow a changed URI.
RECORD_POLL_SECONDS = 10.0
# After a failure to open the input, how long before the next try.
RETRY_SECONDS = 10.0


class PipeAnalyser(threading.Thread):
    def __init__(self, broker, channel: str, pipe: str):
        super().__init__(name="analyser", daemon=True)
        self.broker = broker
        self.channel = channel
        self.pipe = pipe
        self.key = ts_key(channel, pipe)
        self.stopping = threading.Event()

    def stop(self) -> None:
        self.stopping.set()

    def forget(self, stopped_channel: bool) -> None:
        """Deletes the record once the channel stopped; otherwise it expires."""
        if not stopped_channel:
            return
        try:
            self.broker.delete(self.key)
        except REDIS_ERRORS as error:
            log.debug("analyser: cannot delete %s: %s", self.key, error)

    def run(self) -> None:
        said: str | None = None  # the last reason for not analysing, logged once
        while not self.stopping.is_set():
            try:
                record = self._input_record()
            except REDIS_ERRORS as error:
                log.debug("analyser: cannot read the input record: %s", error)
                self.stopping.wait(RETRY_SECONDS)
                continue
            uri = input_uri(record) if record else ""
            if record is None or not analysable(uri):
                reason = f"input {uri or '(no input record)'} is not udp:// or rtp://: not analysed"
                if reason != said:
                    log.info("analyser: %s", reason)
                    said = reason
                self.stopping.wait(RECORD_POLL_SECONDS)
                continue
            try:
                self._watch(uri, program_of(record))
                said = None
            except Failure as failure:
                if str(failure) != said:
                    log.warning("analyser: %s", failure)
                    said = str(failure)
                self.stopping.wait(RETRY_SECONDS)
            except OSError as error:
                # The receiving thread failed (the socket gave an error): start again.
                log.warning("analyser: receiving %s failed: %s; starting again in %.0f s", uri, error,
                            RETRY_SECONDS)
                said = None
                self.stopping.wait(RETRY_SECONDS)

    def _input_record(self) -> dict[str, Any] | None:
        raw = self.broker.get(f"ch:{self.channel}:input:{self.pipe}")
        try:
            record = json.loads(raw) if raw is not None else None
        except ValueError:
            return None
        return record if isinstance(record, dict) else None

    def _watch(self, uri: str, program: int | None) -> None:
        from avwatch_cli.analyze.watching import open_watch  # the native module only when analysing

        watch = open_watch(uri, program)
        log.info("analyser: watching %s (%s), publishing %s", uri, watch.method, self.key)
        started = time.time()
        errors = ErrorTimes()
        next_check = time.monotonic() + RECORD_POLL_SECONDS
        try:
            while not self.stopping.is_set():
                report = watch.next_report(0.5)
                if report is not None:
                    wall_end = time.time() - (time.monotonic() - report["window_end"])
                    self._publish(make_record(report, uri=uri, method=watch.method, started=started,
                                              wall_end=wall_end, error_times=errors))
                if time.monotonic() >= next_check:
                    next_check = time.monotonic() + RECORD_POLL_SECONDS
                    try:
                        record = self._input_record()
                    except REDIS_ERRORS:
                        continue
                    if record is None or input_uri(record) != uri or program_of(record) != program:
                        log.info("analyser: the input record changed: starting again")
                        return
        finally:
            watch.close()

    def _publish(self, record: dict[str, Any]) -> None:
        try:
            self.broker.set(self.key, json.dumps(record), ex=RECORD_TTL_SECONDS)
        except REDIS_ERRORS as error:
            # The next second tries again; the monitors report Redis faults themselves.
            log.debug("analyser: cannot publish %s: %s", self.key, error)
