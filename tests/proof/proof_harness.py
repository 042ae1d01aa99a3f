"""Recorders of what a monitor running in a thread publishes, logs and
pauses, each event with its time."""

import logging
import threading
import time


class Timeline:
    """What monitors did, in order, each event as (time, kind, ...):
    (t, "publish", key, value), (t, "log", message),
    (t, "pause", seconds, thread name)."""

    def __init__(self):
        self.events = []
        self.changed = threading.Condition()

    def add(self, *event):
        with self.changed:
            self.events.append((time.monotonic(), *event))
            self.changed.notify_all()

    def wait_for(self, predicate, timeout):
        """Waits until predicate(events) holds; returns whether it did."""
        deadline = time.monotonic() + timeout
        with self.changed:
            while not predicate(self.events):
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    return False
                self.changed.wait(min(remaining, 0.2))
            return True

    def of_kind(self, kind, since=0):
        return [event for event in self.events[since:] if event[1] == kind]


class PublishingBroker:
    """The caller's client, with each set of `watched` written down."""

    def __init__(self, client, timeline, watched):
        self.client = client
        self.timeline = timeline
        self.watched = watched

    def get(self, key):
        return self.client.get(key)

    def set(self, key, value):
        result = self.client.set(key, value)
        if key == self.watched:
            self.timeline.add("publish", key, value)
        return result

    def delete(self, key):
        return self.client.delete(key)


class PausingClock:
    """time as a monitor sees it: each pause is written down with the name
    of the thread that took it, then slept for `scale` times its length."""

    def __init__(self, timeline, scale=1.0):
        self.timeline = timeline
        self.scale = scale

    def sleep(self, seconds):
        self.timeline.add("pause", seconds, threading.current_thread().name)
        time.sleep(seconds * self.scale)

    def __getattr__(self, name):
        return getattr(time, name)


class LogRecorder(logging.Handler):
    def __init__(self, timeline):
        super().__init__(logging.ERROR)
        self.timeline = timeline

    def emit(self, record):
        self.timeline.add("log", record.getMessage())
