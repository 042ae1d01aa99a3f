"""Why the output monitor publishes nothing, where it knows: its last error
(a pass that fails logs it and leaves the status record as it was, so a
reader of the record alone sees only silence) or a playlist missing at
start.  Published beside the module's keys, under a key of this command's
own (the status record's key behind a prefix of its own, so that nothing
that reads the "ch:*" keys, serve's discovery included, takes it for a pipe
"PIPE:reason"), for `avwatch serve` and the page:

    avwatch:reason:ch:ID:out:PIPE  {"reason": "...", "since": EPOCH, "seen": EPOCH, "passes": N}

"since" is when this reason was first met, "seen" the last pass that met it
(a reader compares it with the record's age), "passes" how many passes in a
row failed so.  The key is deleted when a pass publishes an ok record again or
the channel stops.  The module logs the same error on every failing pass: only
the first is logged here, then one line a minute while it lasts."""

import json
import logging
import threading
import time

from avwatch_cli.broker import REDIS_ERRORS
from avwatch_cli.module_log import PREFIX

log = logging.getLogger("avwatch.cli")

# How often a lasting error is logged again.
REPEAT_LOG_SECONDS = 60.0


REASON_PREFIX = "avwatch:reason:"


def reason_key(ch_uid: str, pipe_name: str) -> str:
    """The output status record's key behind REASON_PREFIX."""
    return f"{REASON_PREFIX}ch:{ch_uid}:out:{pipe_name}"


class OutputReason(logging.Filter):
    def __init__(self, broker, ch_uid: str, pipe_name: str, clock=time.time):
        super().__init__()
        self.broker = broker
        self.key = reason_key(ch_uid, pipe_name)
        self.clock = clock
        self.lock = threading.Lock()
        self.reason: str | None = None
        self.since = 0.0
        self.passes = 0
        self.logged_at = 0.0

    def filter(self, record: logging.LogRecord) -> bool:
        """Publishes each failing pass's error; lets through the first of a
        run of the same error and one a minute after."""
        message = record.getMessage()
        if not message.startswith(PREFIX):
            return True
        now = self.clock()
        with self.lock:
            repeated = message[len(PREFIX):] == self.reason
            self.note_locked(message[len(PREFIX):], now)
            if repeated and now - self.logged_at < REPEAT_LOG_SECONDS:
                return False
            self.logged_at = now
            if repeated:
                record.msg, record.args = f"{message} (still, {self.passes} passes in a row)", None
        return True

    def note(self, reason: str) -> None:
        """A reason known without a failing pass (a playlist missing at start)."""
        with self.lock:
            self.note_locked(reason, self.clock())

    def note_locked(self, reason: str, now: float) -> None:
        if reason != self.reason:
            self.reason, self.since, self.passes = reason, now, 0
        self.passes += 1
        self.write({"reason": reason, "since": self.since, "seen": now, "passes": self.passes})

    def clear(self) -> None:
        """A pass published an ok record, or the channel stopped."""
        with self.lock:
            if self.reason is None:
                return
            if self.passes > 1:
                log.info("output monitor: the error %r is over after %d passes", self.reason, self.passes)
            self.reason = None
            try:
                self.broker.delete(self.key)
            except REDIS_ERRORS:
                pass   # the monitors report a lost Redis themselves

    def write(self, value: dict) -> None:
        try:
            self.broker.set(self.key, json.dumps(value))
        except REDIS_ERRORS:
            pass
