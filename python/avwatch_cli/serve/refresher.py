"""The one owner of Redis: every `refresh` seconds it discovers the keys,
reads them in batches, judges every pipe side and swaps in a new snapshot."""

from __future__ import annotations

import logging
import threading
import time
from collections import Counter
from typing import Callable

import redis

from avwatch_cli.health import SIDES, State, channel_live, judge
from avwatch_cli.serve.freshness import WriteTimes
from avwatch_cli.serve.keys import PREFIX, PipeKeys, discover
from avwatch_cli.serve.reader import RedisReader
from avwatch_cli.serve.snapshot import (ChannelView, Event, Events, History, PipeView, SideView,
                                        Snapshot, raw_preview)

log = logging.getLogger("avwatch.serve")

NO_KEYS = PipeKeys()


def printable(text: str) -> str:
    """Text from Redis as it may appear in one log line."""
    return text if text.isprintable() else repr(text)[1:-1]


class Refresher:
    def __init__(self, client: redis.Redis, shown_url: str, *, refresh_seconds: float,
                 stale_after: float, forget_after: float, scrub: Callable[[str], str] = str):
        now = time.time()
        self.reader = RedisReader(client)
        self.write_times = WriteTimes(client, now)
        self.history = History(refresh_seconds)
        self.events = Events()
        self.shown_url = shown_url
        self.scrub = scrub
        self.refresh_seconds = refresh_seconds
        self.stale_after = stale_after
        self.forget_after = forget_after
        self.last_seen: dict[tuple[str, str], float] = {}
        self.pipe_ids: dict[tuple[str, str], str] = {}
        self.issued_ids = 0
        self.states: dict[tuple[str, str, str], State] = {}
        self.malformed_values: dict[str, bytes] = {}
        self.malformed_total = 0
        self.changes_total: Counter[tuple[str, str]] = Counter()
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.run, name="refresher", daemon=True)
        self.snapshot = self.build(now, (), redis_up=False, error="not read yet", duration=0.0)

    def start(self) -> None:
        self.write_times.start()
        self.thread.start()

    def stop(self) -> None:
        self.stopping.set()
        self.write_times.stop()
        self.thread.join(5)

    def run(self) -> None:
        while not self.stopping.is_set():
            started = time.monotonic()
            self.refresh()
            self.stopping.wait(max(0.0, self.refresh_seconds - (time.monotonic() - started)))

    def refresh(self) -> None:
        started = time.perf_counter()
        now = time.time()
        try:
            layout = discover(self.reader.key_names())
            pipes = self.remembered_pipes(layout.channels, now)
            channel_keys = [PREFIX + channel for channel in pipes]
            status_keys = [key for keys in self.all_keys(pipes) for key in (keys.input, keys.output) if key]
            values = self.reader.values(channel_keys + status_keys)
        except redis.RedisError as error:
            previous = self.snapshot
            if previous.redis_up:
                log.warning("Redis unreachable: %s", self.scrub(str(error)))
            self.snapshot = self.build(now, previous.channels, redis_up=False,
                                       error=self.scrub(str(error)) or type(error).__name__,
                                       duration=time.perf_counter() - started)
            return
        if not self.snapshot.redis_up:
            log.info("Redis reachable at %s", self.shown_url)
        channel_values = values[:len(channel_keys)]
        status_values = values[len(channel_keys):]
        ages = dict(zip(status_keys, self.write_times.ages(status_keys, status_values, now)))
        found = dict(zip(status_keys, status_values))
        self.write_times.forget(set(status_keys))
        channels = self.judge_all(pipes, dict(zip(pipes, channel_values)), found, ages, now)
        self.snapshot = self.build(now, channels, redis_up=True, error=None,
                                   duration=time.perf_counter() - started)

    def remembered_pipes(self, found: dict[str, dict[str, PipeKeys]], now: float) -> dict[str, dict[str, PipeKeys]]:
        """The pipes found now, plus those gone for less than `forget_after`
        (shown without records until then)."""
        channels = {channel: dict(pipes) for channel, pipes in found.items()}
        for channel, pipes in found.items():
            for pipe in pipes:
                self.last_seen[(channel, pipe)] = now
        for (channel, pipe), seen in list(self.last_seen.items()):
            if now - seen > self.forget_after:
                del self.last_seen[(channel, pipe)]
                self.pipe_ids.pop((channel, pipe), None)
            elif pipe not in channels.get(channel, {}):
                channels.setdefault(channel, {})[pipe] = NO_KEYS
        return channels

    @staticmethod
    def all_keys(pipes: dict[str, dict[str, PipeKeys]]):
        for channel_pipes in pipes.values():
            yield from channel_pipes.values()

    def judge_all(self, pipes: dict[str, dict[str, PipeKeys]], channel_values: dict[str, bytes | None],
                  found: dict[str, bytes | None], ages: dict[str, float | None],
                  now: float) -> tuple[ChannelView, ...]:
        states: dict[tuple[str, str, str], State] = {}
        samples: dict[str, tuple[float | None, float | None]] = {}
        malformed: dict[str, bytes] = {}
        channels = []
        for channel in sorted(pipes):
            live = channel_live(channel_values[channel])
            views = []
            for pipe in sorted(pipes[channel]):
                keys = pipes[channel][pipe]
                sides = []
                for side, key in zip(SIDES, (keys.input, keys.output)):
                    raw = found.get(key) if key else None
                    age = ages.get(key) if key else None
                    verdict = judge(side, raw, live, age, self.stale_after)
                    preview = None
                    if verdict.state is State.MALFORMED and key and raw is not None:
                        preview = raw_preview(raw)
                        malformed[key] = raw
                        if self.malformed_values.get(key) != raw:
                            self.malformed_total += 1
                    sides.append(SideView(verdict.state, verdict.reason, verdict.record, preview, age))
                    self.note_change(states, now, channel, pipe, side, verdict.state, verdict.reason)
                pipe_id = self.pipe_id(channel, pipe)
                views.append(PipeView(pipe_id, channel, pipe, sides[0], sides[1]))
                samples[pipe_id] = (bitrate(sides[0]), bitrate(sides[1]))
            channels.append(ChannelView(channel, live, tuple(views)))
        self.states = states
        self.malformed_values = malformed
        self.history.add(now, samples)
        return tuple(channels)

    def note_change(self, states: dict, now: float, channel: str, pipe: str, side: str,
                    state: State, reason: str) -> None:
        before = self.states.get((channel, pipe, side))
        states[(channel, pipe, side)] = state
        if before is None or before is state:
            return
        self.events.add(Event(now, channel, pipe, side, before, state, reason))
        self.changes_total[(side, state.value)] += 1
        log.info("channel %s pipe %s %s: %s -> %s (%s)", printable(channel), printable(pipe), side,
                 before.value, state.value, printable(reason))

    def pipe_id(self, channel: str, pipe: str) -> str:
        pipe_id = self.pipe_ids.get((channel, pipe))
        if pipe_id is None:
            self.issued_ids += 1
            pipe_id = self.pipe_ids[(channel, pipe)] = f"p{self.issued_ids}"
        return pipe_id

    def build(self, now: float, channels: tuple[ChannelView, ...], *, redis_up: bool,
              error: str | None, duration: float) -> Snapshot:
        return Snapshot(generated_at=now, redis_up=redis_up, redis_url=self.shown_url, redis_error=error,
                        freshness_mode=self.write_times.mode, refresh_seconds=self.refresh_seconds,
                        stale_after=self.stale_after, channels=channels, events=self.events.latest(),
                        malformed_total=self.malformed_total, changes_total=dict(self.changes_total),
                        refresh_duration=duration)


def bitrate(side: SideView) -> float | None:
    if side.record is None:
        return None
    return float(side.record.get("bitrate") or 0)
