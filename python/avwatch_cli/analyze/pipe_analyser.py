"""The analyser `avwatch monitor` runs beside the input monitor: it follows
the pipe's input record, watches that input continuously and publishes one
record a second under ch:{id}:ts:{pipe}."""

from __future__ import annotations

import json
import logging
import threading
import time
from typing import Any

from avwatch_cli.analyze.record import (NO_DATA_ALARM, RECORD_TTL_SECONDS, ErrorTimes, failure_record, make_record,
                                        ts_key)
from avwatch_cli.analyze.thumbnails import ThumbnailStore, take_thumbnail, thumbnail_key
from avwatch_cli.analyze.uri import analysable, input_uri, program_of
from avwatch_cli.broker import REDIS_ERRORS
from avwatch_cli.evidence import no_data
from avwatch_cli.failures import Failure

log = logging.getLogger("avwatch.cli")

# How often the input record is read again, to follow a changed URI.
RECORD_POLL_SECONDS = 10.0
# After a failure to open the input, how long before the next try.
RETRY_SECONDS = 10.0
# A failure record lives until the try after next: it stays while the
# analyser keeps failing and goes soon after the monitor stops.
FAILURE_TTL_SECONDS = int(2 * RETRY_SECONDS) + RECORD_TTL_SECONDS
# While watching, a record older than this says the analyser is stuck (it
# publishes one a second); the monitor then publishes why in its place.
STUCK_AFTER = 10.0


class PipeAnalyser(threading.Thread):
    def __init__(self, broker, channel: str, pipe: str):
        super().__init__(name="analyser", daemon=True)
        self.broker = broker
        self.channel = channel
        self.pipe = pipe
        self.key = ts_key(channel, pipe)
        self.thumbnails = ThumbnailStore(broker, thumbnail_key(channel, pipe, "input"))
        self.stopping = threading.Event()
        # For the monitor's watchdog: whether an input is being watched, and
        # when a record was last published (monotonic).
        self.watching = False
        self.published_at = time.monotonic()

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
        try:
            self._run()
        except Exception as error:   # a fault of ours: said where serve shows it, and in the log
            log.exception("analyser failed")
            self._publish_failure(f"the analyser failed: {type(error).__name__}: {error}")

    def watchdog(self) -> None:
        """Called by the monitor about once a second: an analyser that
        ended or is stuck leaves a record saying so, as a failing one does,
        not just an expired record that looks like no analysis at all."""
        if self.stopping.is_set():
            return
        if not self.is_alive():
            if time.monotonic() - self.published_at >= RETRY_SECONDS:
                self._publish_failure("the analyser has ended (see the monitor's log)")
        elif self.watching and time.monotonic() - self.published_at > STUCK_AFTER:
            self._publish_failure(f"the analyser has published nothing for over {STUCK_AFTER:.0f} s")

    def _run(self) -> None:
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
                # An input that should be analysed and is not (a missing
                # privilege, most often): serve shows and exports it.
                self._publish_failure(str(failure), uri)
                self.stopping.wait(RETRY_SECONDS)
            except OSError as error:
                # The receiving thread failed (the socket gave an error): start again.
                log.warning("analyser: receiving %s failed: %s; starting again in %.0f s", uri, error,
                            RETRY_SECONDS)
                said = None
                self._publish_failure(f"receiving {uri} failed: {error}", uri)
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
        flowing = False
        self.watching, self.published_at = True, time.monotonic()
        try:
            while not self.stopping.is_set():
                report = watch.next_report(0.5)
                if report is not None:
                    thumbnail = take_thumbnail(report)
                    wall_end = time.time() - (time.monotonic() - report["window_end"])
                    published = make_record(report, uri=uri, method=watch.method, started=started,
                                            wall_end=wall_end, error_times=errors)
                    stopped = flowing and no_data(published)
                    flowing = not no_data(published)
                    self._publish(published, alarm=stopped, thumbnail=thumbnail)
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
            self.watching = False
            watch.close()

    def _publish(self, record: dict[str, Any], alarm: bool = False, thumbnail: bytes | None = None) -> None:
        """Writes the record, with the report's new picture if any; `alarm`:
        the input has just stopped, which serve is told at once (it would
        otherwise see it at its next refresh, seconds later)."""
        self.published_at = time.monotonic()
        try:
            self.thumbnails.publish(self.key, record, thumbnail, RECORD_TTL_SECONDS)
            if alarm:   # after the record, which serve reads on it (a Cluster relays it to every node)
                self.broker.publish(NO_DATA_ALARM, self.key)
        except REDIS_ERRORS as error:
            # The next second tries again; the monitors report Redis faults themselves.
            log.debug("analyser: cannot publish %s: %s", self.key, error)

    def _publish_failure(self, reason: str, uri: str | None = None) -> None:
        self.published_at = time.monotonic()
        try:
            self.broker.set(self.key, json.dumps(failure_record(reason, uri, time.time())), ex=FAILURE_TTL_SECONDS)
        except REDIS_ERRORS as error:
            log.debug("analyser: cannot publish %s: %s", self.key, error)
