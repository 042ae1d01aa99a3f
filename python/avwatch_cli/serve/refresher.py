"""The one owner of Redis: every `refresh` seconds it discovers the keys,
reads them in batches, judges every pipe side and swaps in a new snapshot.

Work is proportional to what changed: the key layout is parsed again only
when the set of key names changes, and a side is judged again only when its
value, its channel's live flag or its staleness changed."""

from __future__ import annotations

import logging
import threading
import time
from collections import Counter
from concurrent.futures import Executor, ThreadPoolExecutor
from typing import Callable

import redis

from avwatch_cli.content_evidence import DEFAULT_TARGET, DEFAULT_TOLERANCE, content_faults
from avwatch_cli.evidence import fresh, measured, weigh
from avwatch_cli.health import SIDES, State, Verdict, channel_live, judge, signal_verdict
from avwatch_cli.output_reason import reason_key
from avwatch_cli.serve.analysis import read_chunk, value_key
from avwatch_cli.serve.chunks import ChunkReaders
from avwatch_cli.serve.decoding import fast_decode
from avwatch_cli.serve.faults import TROUBLED, FaultHistory
from avwatch_cli.serve.freshness import WriteTimes
from avwatch_cli.serve.heap import FullCollections, give_back_free_memory
from avwatch_cli.serve.history import History
from avwatch_cli.serve.hls_records import HlsRecords
from avwatch_cli.serve.nodes import Client, reader_for
from avwatch_cli.serve.reported import Reported
from avwatch_cli.serve.sources import Sources
from avwatch_cli.serve.plan import ChannelState, Judged, Plan, Planner, Tracked
from avwatch_cli.serve import native
from avwatch_cli.serve.reader import key_bytes
from avwatch_cli.serve.reads import READERS, SIDE_BY_SIDE_FROM, results, settle
from avwatch_cli.serve.snapshot import ChannelView, Event, Events, PipeView, SideView, Snapshot, raw_preview

log = logging.getLogger("avwatch.serve")
# States a side may be in when first read without that being news.
UNREMARKABLE = frozenset({State.OK, State.STOPPED})
# First-read problems logged one by one per refresh; the rest are counted.
FIRST_READ_LOGGED = 20
# After an analyser's alarm, the refresher rests at least this long (or as
# long as its last refresh took) before the refresh it brings forward.
ALARM_PAUSE = 0.1
# Named tuples made without their Python-level __new__: a few per rewritten record.
new = tuple.__new__


def printable(text: str) -> str:
    """Text from Redis as it may appear in one log line."""
    return text if text.isprintable() else repr(text)[1:-1]


class Refresher:
    def __init__(self, client: Client, shown_url: str, *, refresh_seconds: float,
                 stale_after: float, forget_after: float, scrub: Callable[[str], str] = str,
                 loudness_target: float = DEFAULT_TARGET, loudness_tolerance: float = DEFAULT_TOLERANCE):
        now = time.time()
        # Read by the native judge too: a record within them leaves an ok side as it is.
        self.loudness_target = loudness_target
        self.loudness_tolerance = loudness_tolerance
        self.client = client
        self.reader = reader_for(client)
        self.write_times = WriteTimes(client, now, scrub)
        self.history = History(refresh_seconds)
        self.hls = HlsRecords()
        self.faults = FaultHistory()
        # Pipes that entered a faulty state, until they leave it (the fault
        # history's seconds); the pipes by id and those analysed, per plan.
        self.troubled: dict[str, Tracked] = {}
        self.by_id: dict[str, Tracked] = {}
        self.analysed: list[Tracked] = []
        self.events = Events()
        self.shown_url = shown_url
        self.scrub = scrub
        self.refresh_seconds = refresh_seconds
        self.stale_after = stale_after
        self.plan: Plan | None = None
        self.planner = Planner(forget_after)
        self.malformed_total = 0
        self.sources = Sources()
        # A reader of its own: a Cluster's reader keeps the slot grouping of the last key list.
        self.source_reader = reader_for(client)
        self.hls_readers = ChunkReaders(client)   # likewise, for the HLS analyser's records
        self.analysis_readers = ChunkReaders(client)   # and the input analyser's
        self.source_keys: list[tuple[str, bytes]] = []
        self.reported = Reported(stale_after)
        self.reason_reader = reader_for(client)   # its own too, for the same reason
        self.reason_keys: list[tuple[str, bytes]] = []
        self.scanned_at = float("-inf")   # when the SCAN of the plan's names began
        self.read_once = False        # whether any read has succeeded yet
        self.first_read_problems = 0  # of this refresh, for the log
        self.read_at: float | None = None
        self.changes_total: Counter[tuple[str, str]] = Counter()
        # The judge in C when installed (see native), else judge_channels.
        self.native_judge = native.judge_channels
        self.full_collections = FullCollections()
        # Threads made as first needed; they end with the refresher (stop) or when it is dropped.
        self.reads = ThreadPoolExecutor(READERS, thread_name_prefix="redis reads")
        self.stopping = threading.Event()
        # Set by stop() and by an analyser's alarm (an input just stopped).
        self.wake = threading.Event()
        self.write_times.on_alarm = self.wake.set
        self.thread = threading.Thread(target=self.run, name="refresher", daemon=True)
        self.snapshot = self.build(now, (), redis_up=False, error="not read yet", duration=0.0)

    def start(self) -> None:
        self.write_times.start()
        self.thread.start()

    def stop(self) -> None:
        self.stopping.set()
        self.wake.set()
        self.write_times.stopping.set()
        self.write_times.stop()
        self.reads.shutdown(wait=False, cancel_futures=True)
        # Daemon threads: one caught in a slow connect is left to the exit.
        if self.thread.ident is not None:   # started
            self.thread.join(0.2)

    def run(self) -> None:
        while not self.stopping.is_set():
            started = time.monotonic()
            self.wake.clear()   # an alarm from here on is seen by this refresh or brings the next forward
            try:
                self.refresh()
            except Exception:
                if self.stopping.is_set():
                    break   # stop() shut the reads down under it
                # A fault of ours must not freeze the snapshot for good: report and go on.
                log.exception("refresh failed")
                self.plan = None
            self.full_collections.maybe()   # the snapshot is out: a pause now delays no client
            give_back_free_memory()
            took = time.monotonic() - started
            self.wake.wait(max(0.0, self.refresh_seconds - took))
            if not self.stopping.is_set() and self.wake.is_set():
                # An input stopped: judged now, not at the next period.  Alarms come only
                # as inputs stop, yet a thousand stopping at once must not keep the refresher
                # from rest: a pause as long as the refresh itself, at least.
                rested = time.monotonic() - started - took
                self.stopping.wait(max(0.0, max(ALARM_PAUSE, took) - rested))

    def refresh(self) -> None:
        started = time.perf_counter()
        now = time.time()
        try:
            values, analysis_keys, plan = self.read(now)
        except redis.RedisError as error:
            previous = self.snapshot
            cause = self.scrub(str(error)).rstrip(".") or type(error).__name__
            # Once per outage and cause: at start too (a wrong password, a
            # server not yet up), not only after a refresh that went well.
            # Without its closing period: the page and the log end the sentence themselves.
            if previous.redis_up or previous.redis_error != cause:
                log.warning("Redis unreachable at %s: %s", self.shown_url, cause)
            self.snapshot = self.build(now, previous.channels, redis_up=False, error=cause,
                                       duration=time.perf_counter() - started)
            return
        if not self.snapshot.redis_up:
            log.info("Redis reachable at %s", self.shown_url)
        self.first_read_problems = 0
        channels = self.judge_all(values, analysis_keys, now)
        self.note_faults(now)
        if self.first_read_problems > FIRST_READ_LOGGED:
            log.info("%d more pipe sides had a problem when first read (see /api/status)",
                     self.first_read_problems - FIRST_READ_LOGGED)
        self.read_once, self.read_at = True, now
        self.snapshot = self.build(now, channels, redis_up=True, error=None,
                                   duration=time.perf_counter() - started)

    def read(self, now: float) -> tuple[list[bytes | None], list[int | None], Plan]:
        """The values of the plan's channel and status keys, and the keys
        (analysis.value_key) of its analysis records, each record parsed
        into its pipe's memory as its chunk is read; the plan brought up to
        the key names first.  The HLS records, source records and reasons
        are read too, beside them."""
        if self.plan is not None and self.write_times.names_current(self.scanned_at, now, any_age=True):
            checked = self.read_checking_names(self.plan, now)
            if checked is not None:
                return checked
        plan, scanned = self.discover(now)
        values, analysis_keys = self.read_plan(plan, now)
        # A status or analysis key of the names is gone, and no listener told
        # (an expiry, a FLUSHALL): the names are scanned again at once.
        if not scanned and (None in values[len(plan.channels):] or None in analysis_keys):
            self.scanned_at = float("-inf")
            plan, _ = self.discover(now)
            values, analysis_keys = self.read_plan(plan, now)
        return values, analysis_keys, plan

    def read_checking_names(self, plan: Plan, now: float
                            ) -> tuple[list[bytes | None], list[int | None], Plan] | None:
        """The plan's reads while the notifications tell its names are current,
        with the SCAN that is due by its age alone (RESCAN_SECONDS) beside
        them: at 100,000 pipes a walk of the key space under full churn took
        as long as all the reads.  None when the SCAN found other names (the
        reads are then done again, after discover), as when none was due."""
        if self.write_times.names_current(self.scanned_at, now):
            return None   # no SCAN due: discover reads the plan as it is
        if self.planner.lingering:
            plan = self.plan = self.make_plan(plan.names, now)
        self.scanned_at = float("-inf")   # until this SCAN has gone through
        self.write_times.scanning()
        started = time.time()
        scan = self.reads.submit(self.reader.key_names)
        try:
            values, analysis_keys = self.read_plan(plan, now)
        finally:
            settle([scan])
        names = scan.result()
        if names != plan.names and frozenset(names) != frozenset(plan.names):
            self.plan = self.make_plan(names, now)
            self.write_times.know(names)
            self.scanned_at = started
            return None
        if names != plan.names:
            plan = self.plan = plan._replace(names=names)
        self.scanned_at = started
        return values, analysis_keys, plan

    def read_plan(self, plan: Plan, now: float) -> tuple[list[bytes | None], list[int | None]]:
        """Every read of the plan at once, each on a connection of its own
        (see reads); the input analyser's records are parsed here as they
        come.  Returns once every read has ended; Redis errors pass.  A
        small plan is read one read after another, on this thread."""
        if len(plan.read_keys) + len(plan.analysis_owners) < SIDE_BY_SIDE_FROM:
            values = self.reader.values(plan.read_keys)
            analysis_keys = self.read_analysis(plan, None)
            self.sources.refresh(self.source_reader.values, self.source_keys, now)
            self.reported.refresh(self.reason_reader.values, self.reason_keys, now)
            self.hls.read(self.hls_readers, plan)
            return values, analysis_keys
        submit = self.reads.submit
        status = submit(self.reader.values, plan.read_keys)
        beside = [status,
                  submit(self.hls.read, self.hls_readers, plan),
                  submit(self.sources.refresh, self.source_reader.values, self.source_keys, now),
                  submit(self.reported.refresh, self.reason_reader.values, self.reason_keys, now)]
        try:
            analysis_keys = self.read_analysis(plan, self.reads)
        finally:
            settle(beside)
        results(beside)
        return status.result(), analysis_keys

    def read_analysis(self, plan: Plan, pool: Executor | None) -> list[int | None]:
        found: list[int | None] = []
        owners = iter(plan.analysis_owners)
        for chunk in self.analysis_readers.values(plan.analysis_chunks, pool):
            read_chunk(chunk, owners, found)
        return found

    def discover(self, now: float) -> tuple[Plan, bool]:
        """Brings the plan up to the key names, and whether that took a
        SCAN: not while the notifications tell that no key was created or
        deleted since the last."""
        times = self.write_times
        if self.plan is not None and times.names_current(self.scanned_at, now):
            if self.planner.lingering:
                self.plan = self.make_plan(self.plan.names, now)
            return self.plan, False
        self.scanned_at = float("-inf")   # until this SCAN has gone through
        times.scanning()
        started = time.time()
        names = self.reader.key_names()
        plan = self.plan
        # SCAN walks an unchanged key space in the same order: the list
        # comparison settles the common case without hashing every name.
        same_order = plan is not None and names == plan.names
        if plan is None or (not same_order and frozenset(names) != frozenset(plan.names)):
            self.plan = self.make_plan(names, now)
            times.know(names)
        elif self.planner.lingering:
            self.plan = self.make_plan(names, now)
        elif not same_order:
            self.plan = plan._replace(names=names)
        self.scanned_at = started
        assert self.plan is not None
        return self.plan, True

    def make_plan(self, names: list[bytes], now: float) -> Plan:
        plan = self.planner.make_plan(names, now)
        ids = {tracked.id for tracked in plan.pipes}
        rows = self.history.keep(ids)
        self.faults.keep(ids)
        for pipe_id in [pipe_id for pipe_id in self.troubled if pipe_id not in ids]:
            del self.troubled[pipe_id]
        self.by_id = {tracked.id: tracked for tracked in plan.pipes}
        self.analysed = [tracked for tracked in plan.pipes if tracked.analysis_at >= 0]
        for tracked in plan.pipes:
            tracked.row = rows[tracked.id]
        self.source_keys = [(tracked.id, key_bytes(tracked.source_key)) for tracked in plan.pipes]
        # Keyed by the names as found: the monitor builds its key from the same.
        self.reason_keys = [(tracked.id, key_bytes(reason_key(channel, pipe)))
                            for (channel, pipe), tracked in self.planner.tracked.items()]
        return plan

    def judge_all(self, values: list[bytes | None], analysis_values: list[int | None],
                  now: float) -> tuple[ChannelView, ...]:
        plan = self.plan
        assert plan is not None
        status_values = values[len(plan.channels):]
        written = self.write_times.written(plan.status_keys, status_values, now)
        if self.native_judge is not None:
            views = self.native_judge(self, plan.channels, values, status_values, written, now, analysis_values)
        else:
            views = self.judge_channels(plan.channels, values, status_values, written, now, analysis_values)
        self.history.add(now)
        return tuple(views)

    def note_faults(self, now: float) -> None:
        troubled = []
        content = []   # of the troubled pipes, those whose picture or sound is at fault
        for pipe_id, tracked in list(self.troubled.items()):
            view = tracked.view
            if view is None or (view.input.state not in TROUBLED and view.output.state not in TROUBLED):
                del self.troubled[pipe_id]
            else:
                troubled.append((pipe_id, view.input.state, view.output.state))
                if self.content_fault(view, now):
                    content.append(pipe_id)
        self.faults.note(now, [(tracked.id, tracked.analysis.parsed) for tracked in self.analysed],
                         self.hls.records, troubled, self.refresh_seconds, self.stale_after, content)

    def content_fault(self, view: PipeView, now: float) -> bool:
        """Whether a fresh analyser record of the pipe shows its picture or sound at fault."""
        for record in (view.analysis, self.hls.records.get(view.id)):
            if record is not None and fresh(record, now, self.stale_after) and content_faults(
                    record, self.loudness_target, self.loudness_tolerance):
                return True
        return False

    def judge_channels(self, channels: list[ChannelState], values: list[bytes | None],
                       status_values: list[bytes | None], written: list[float | None],
                       now: float, analysis_values: list[int | None]) -> list[ChannelView]:
        """Every channel's view (native.judge_channels takes the same steps in C)."""
        stale_after = self.stale_after
        hls_records = self.hls.records
        views = []
        for state, channel_raw in zip(channels, values):
            if channel_raw != state.raw or not state.judged:
                self.read_channel(state, channel_raw)
            live = state.live
            changed = state.view is None or state.view.live is not live
            for tracked in state.pipes:
                input_at, output_at = tracked.input_at, tracked.output_at
                seen = (live,
                        status_values[input_at] if input_at >= 0 else None,
                        written[input_at] if input_at >= 0 else None,
                        status_values[output_at] if output_at >= 0 else None,
                        written[output_at] if output_at >= 0 else None,
                        value_key(analysis_values[tracked.analysis_at]) if tracked.analysis_at >= 0 else None)
                # Unchanged inputs give the same view, unless a side may have
                # gone stale since, or an analyser's record (whose weight
                # changes with its age) bears on it.
                if (seen == tracked.seen and (seen[2] is None or now - seen[2] <= stale_after)
                        and (seen[4] is None or now - seen[4] <= stale_after)
                        and tracked.analysis.parsed is None and tracked.id not in hls_records):
                    continue
                tracked.seen = seen
                analysis = tracked.analysis.record(   # before the sides: the input's evidence
                    analysis_values[tracked.analysis_at] if tracked.analysis_at >= 0 else None)
                sides = (self.side(tracked, 0, live, seen[1], seen[2], now),
                         self.side(tracked, 1, live, seen[3], seen[4], now))
                view = tracked.view
                if (view is None or view.input is not sides[0] or view.output is not sides[1]
                        or view.analysis is not analysis):
                    tracked.view = new(PipeView, (tracked.id, tracked.channel, tracked.pipe, sides[0], sides[1],
                                                  analysis))
                    self.history.set(tracked.row, bitrate(sides[0]), bitrate(sides[1]))
                    changed = True
            channel_view = state.view
            if changed or channel_view is None:
                channel_view = state.view = ChannelView(
                    state.shown, live, tuple([tracked.view for tracked in state.pipes if tracked.view]))
            views.append(channel_view)
        return views

    def read_channel(self, state: ChannelState, channel_raw: bytes | None) -> None:
        state.raw, state.live, state.judged = channel_raw, channel_live(channel_raw), True

    def side(self, tracked: Tracked, index: int, live: bool | None, raw: bytes | None,
             written_at: float | None, now: float) -> SideView:
        side = SIDES[index]
        judged = tracked.judged[index]
        age = None if written_at is None else now - written_at
        stale = age is not None and age > self.stale_after
        if stale or judged is None or judged.live is not live or judged.raw != raw:
            # The live, fresh, readable record: what nearly every rewrite is.
            # The judge's own rules, without its checks that cannot hold here.
            record = fast_decode(raw)[0] if live and not stale and raw is not None else None
            if record is not None:
                verdict = signal_verdict(side, record)
                preview = None
            else:
                verdict = judge(side, raw, live, age, self.stale_after, fast_decode)
                preview = None
                if verdict.state is State.MALFORMED and raw is not None:
                    preview = raw_preview(raw)
                    self.malformed_total += 1
            judged = new(Judged, (live, raw, verdict, preview))
            if not stale:  # a silent side's reason holds its age: judge it afresh each time
                tracked.judged[index] = judged
        verdict = judged.verdict
        # The analyser's record for the side: the input analysis, or the HLS check.
        evidence = tracked.analysis.parsed if index == 0 else self.hls.records.get(tracked.id)
        rate = None
        if evidence is not None:
            verdict = weigh(side, verdict, evidence, now, self.stale_after, self.loudness_target,
                            self.loudness_tolerance)
            rate = measured(side, evidence, now, self.stale_after)
        view = tracked.view
        old = None if view is None else view.output if index else view.input
        if old is not None:
            state = old.state
            if (state is verdict.state and old.record is verdict.record
                    and old.written_at == written_at and old.reason == verdict.reason and old.measured == rate):
                return old
            if state is verdict.state and old.since is not None:
                return new(SideView, (state, verdict.reason, verdict.record, judged.preview, written_at,
                                      old.since, old.since_first_read, rate))
        since, first_read = self.entered(old, verdict, now)
        if verdict.state in TROUBLED:
            self.troubled[tracked.id] = tracked
        if old is None:
            if verdict.state not in UNREMARKABLE:
                self.note_first(now, tracked.channel, tracked.pipe, side, verdict)
        elif old.state is not verdict.state:
            # The event that closes a fault names it.
            noted = (verdict._replace(reason=f"{verdict.reason}; cleared: {old.reason}")
                     if old.state is State.DEGRADED else verdict)
            self.note_change(now, tracked.channel, tracked.pipe, side, old.state, noted)
        return new(SideView, (verdict.state, verdict.reason, verdict.record, judged.preview, written_at,
                              since, first_read, rate))

    def entered(self, old: SideView | None, verdict: Verdict, now: float) -> tuple[float, bool]:
        """Since when the side has been in the verdict's state, and whether
        that is only a lower bound (it was so when serve first read it)."""
        if old is not None and old.state is verdict.state and old.since is not None:
            return old.since, old.since_first_read
        return now, old is None and not self.read_once

    def note_first(self, now: float, channel: str, pipe: str, side: str, verdict: Verdict) -> None:
        """A problem the side already had when serve first saw it: an event
        too, or a pipe that was failing before serve started would never show
        among the events."""
        self.events.add(Event(now, channel, pipe, side, None, verdict.state, verdict.reason))
        self.first_read_problems += 1
        if self.first_read_problems <= FIRST_READ_LOGGED:
            log.info("channel %s pipe %s %s: %s when first read (%s)", printable(channel), printable(pipe),
                     side, verdict.state.value, printable(verdict.reason))

    def note_change(self, now: float, channel: str, pipe: str, side: str, before: State,
                    verdict: Verdict) -> None:
        self.events.add(Event(now, channel, pipe, side, before, verdict.state, verdict.reason))
        self.changes_total[(side, verdict.state.value)] += 1
        log.info("channel %s pipe %s %s: %s -> %s (%s)", printable(channel), printable(pipe), side,
                 before.value, verdict.state.value, printable(verdict.reason))

    def build(self, now: float, channels: tuple[ChannelView, ...], *, redis_up: bool,
              error: str | None, duration: float) -> Snapshot:
        return Snapshot(generated_at=now, redis_up=redis_up, redis_url=self.shown_url, redis_error=error,
                        freshness_mode=self.write_times.mode, refresh_seconds=self.refresh_seconds,
                        stale_after=self.stale_after, channels=channels, events=self.events.latest(),
                        malformed_total=self.malformed_total, changes_total=dict(self.changes_total),
                        refresh_duration=duration, read_at=self.read_at, sources=self.sources.by_id,
                        reported=self.reported.by_id, hls=self.hls.records,
                        loudness_target=self.loudness_target, loudness_tolerance=self.loudness_tolerance)


def bitrate(side: SideView) -> float | None:
    """The history's sample: the analyser's measured rate, else the estimate."""
    if side.measured is not None:
        return side.measured
    return None if side.record is None else side.record["bitrate"]
