"""`avwatch host`: every channel pipe this host watches, in one process.

Each pipe runs as `avwatch monitor` runs it (its two monitors on threads of
their own, the input analyser, the output's reason), the analysers share
one receive path, the HLS checks share a bounded pool of threads.  Pipes
come and go with the channel records; a pipe whose monitor failed starts
again after a pause that grows while it keeps failing, as systemd restarts
the per-pipe unit."""

from __future__ import annotations

import logging
import queue
import signal
import threading
import time
from contextlib import contextmanager

from avwatch_cli.broker import REDIS_ERRORS, add_redis_arguments, connect_from
from avwatch_cli.failures import FAILED, INTERRUPTED, NO_CHANNEL, OK, USAGE, Failure
from avwatch_cli.host.discovery import ChangeListener, Discovery, Pipe, read_values
from avwatch_cli.host.hls_pool import HlsPool
from avwatch_cli.host.hosted_pipe import HostedMonitor, HostedPipe
from avwatch_cli.host.log_routing import ThreadRouter
from avwatch_cli.host.selection import Selection, parse_channels, parse_shard
from avwatch_cli.monitor import STATE_POLL_SECONDS
from avwatch_cli.programs import require_probe_chain

log = logging.getLogger("avwatch.cli")

SCAN_SECONDS = 10.0
# Each SCAN walks the whole key space: while notifications report the
# changes, a scan only makes up for one missed, this many periods apart.
SCAN_PERIODS_WHILE_NOTIFIED = 6
HLS_WORKERS = 4
# A pipe that failed starts again after RESTART_SECONDS, doubled at each
# failure in a row up to RESTART_LONGEST; one that ran RESTART_RESET
# seconds counts as healthy again.  A pipe whose records are unusable
# (exit 5 for `avwatch monitor`, which systemd leaves stopped) waits the
# longest pause: the operator mends the record, the host picks it up.
RESTART_SECONDS = 2.0
RESTART_LONGEST = 60.0
RESTART_RESET = 60.0
# The main loop's tick: a stop request is seen within it.
TICK_SECONDS = 0.25
# How long the monitors get to end their pass when the host stops.
STOP_SECONDS = 12.0


def add_parser(commands) -> None:
    parser = commands.add_parser(
        "host", help="run the monitors of every channel pipe this host watches, in one process",
        description="Run, in this one process, what `avwatch monitor` runs for each pipe of each live "
                    "channel this host watches: a pipe is an input source record ch:ID:input:PIPE of a "
                    'channel whose record ch:ID says "live". Pipes start as channels start and end as they '
                    "stop; a pipe whose monitor fails starts again after a pause. --channels, --match and "
                    "--shard pick the channels (a channel must pass each one given). Runs until Ctrl-C / "
                    "SIGTERM (exit 130).")
    parser.add_argument("--channels", action="append", metavar="ID[,ID...]",
                        help="only these channel ids (repeatable)")
    parser.add_argument("--match", metavar="GLOB", help="only channel ids matching this glob, e.g. 'eu-*'")
    parser.add_argument("--shard", metavar="K/N",
                        help="only the K-th of N shares of the channel ids (by CRC-32 of the id): give each of "
                             "N hosts its own K to split the channels between them")
    parser.add_argument("--scan-period", type=float, default=SCAN_SECONDS, metavar="SECONDS",
                        help=f"look for started and stopped channels this often (default {SCAN_SECONDS:g}); while "
                             "Redis's keyspace notifications report them at once (not on a Cluster), "
                             f"{SCAN_PERIODS_WHILE_NOTIFIED} times less often")
    parser.add_argument("--hls-workers", type=int, default=HLS_WORKERS, metavar="N",
                        help=f"threads that run the HLS output checks of every pipe (default {HLS_WORKERS})")
    parser.add_argument("--no-analysis", action="store_true",
                        help="do not analyse the inputs continuously nor check the HLS outputs")
    add_redis_arguments(parser)
    parser.set_defaults(run=run)


def selection_from(args) -> Selection:
    return Selection(channels=parse_channels(args.channels), pattern=args.match,
                     shard=parse_shard(args.shard) if args.shard else None)


def run(args) -> int:
    selection = selection_from(args)
    if args.scan_period <= 0 or args.hls_workers < 1:
        raise Failure("--scan-period must be above 0 and --hls-workers at least 1", USAGE)
    require_probe_chain()
    broker = connect_from(args)
    stop_requested = threading.Event()
    previous = {signum: signal.signal(signum, lambda *_: stop_requested.set())
                for signum in (signal.SIGTERM, signal.SIGINT)}
    try:
        host = Host(broker, selection, args.scan_period, args.hls_workers, not args.no_analysis, stop_requested)
        return host.run()
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
        broker.close()


@contextmanager
def named_as(label: str):
    """State lines are logged by the main thread: they carry the pipe's
    name as the monitors' own lines carry their thread's."""
    thread = threading.current_thread()
    previous, thread.name = thread.name, label
    try:
        yield
    finally:
        thread.name = previous


class Host:
    def __init__(self, broker, selection: Selection, scan_period: float, hls_workers: int, analysis: bool,
                 stop_requested: threading.Event, clock=time.monotonic):
        self.broker = broker
        self.selection = selection
        self.scan_period = scan_period
        self.analysis = analysis
        self.stop_requested = stop_requested
        self.clock = clock
        self.discovery = Discovery(broker, selection)
        self.finished: queue.Queue = queue.Queue()
        self.router = ThreadRouter()
        self.hls_pool = HlsPool(hls_workers) if analysis else None
        self.pipes: dict[Pipe, HostedPipe] = {}
        self.wanted: set[Pipe] = set()
        # Pipes waiting out a pause after a failure: when they may start, and the pause.
        self.held: dict[Pipe, tuple[float, float]] = {}
        # Of those, the ones whose records were unusable: tried again at once
        # when Redis reports a write of a channel or source record.
        self.unusable: set[Pipe] = set()
        self.notified_at = 0.0   # when Redis last reported such a write
        self.changed = threading.Event()
        self.listener = ChangeListener(broker, self.changed) if ChangeListener.usable(broker) else None

    def run(self) -> int:
        logging.getLogger().addFilter(self.router)
        log.info("host: watching %s", self.selection.describe())
        if self.listener is not None:
            self.listener.start()
        try:
            self._loop()
        finally:
            self._stop_everything()
            logging.getLogger().removeFilter(self.router)
        return INTERRUPTED

    def _loop(self) -> None:
        next_scan = next_poll = self.clock()
        while not self.stop_requested.is_set():
            now = self.clock()
            if now >= next_scan or self.changed.is_set():
                notified = self.changed.is_set()
                self.changed.clear()
                self._scan()
                if notified:
                    self.notified_at = now
                    self._retry_unusable()
                notified = self.listener is not None and self.listener.listening
                next_scan = self.clock() + self.scan_period * (SCAN_PERIODS_WHILE_NOTIFIED if notified else 1)
            if now >= next_poll:
                self._poll_states()
                next_poll = self.clock() + STATE_POLL_SECONDS
            self._start_due()
            self._take_finished(TICK_SECONDS)

    def _scan(self) -> None:
        try:
            wanted = self.discovery.scan()
        except REDIS_ERRORS as error:
            log.warning("host: cannot look for channels: %s (the running pipes go on)", error)
            return
        for pipe in sorted(wanted - self.wanted):
            if pipe not in self.pipes:
                self.held.setdefault(pipe, (self.clock(), 0.0))
        self.wanted = wanted
        if self.listener is not None:
            self.listener.follow({ch_uid for ch_uid, _ in wanted} | self.discovery.present)

    def _retry_unusable(self) -> None:
        now = self.clock()
        for pipe in self.unusable:
            if pipe in self.held:
                self.held[pipe] = (now + RESTART_SECONDS, self.held[pipe][1])
        self.unusable.clear()

    def _start_due(self) -> None:
        now = self.clock()
        for pipe, (due, pause) in list(self.held.items()):
            if due > now or pipe in self.pipes:
                continue
            if pipe not in self.wanted:
                del self.held[pipe]
                continue
            hosted = HostedPipe(*pipe, self.broker, self.finished, self.router, self.hls_pool, self.analysis)
            try:
                with named_as(hosted.label):
                    hosted.start()
            except Failure as failure:
                log.error("%s: %s; trying again in %.0f s, or once the records change", hosted.label, failure,
                          RESTART_LONGEST)
                self.held[pipe] = (now + RESTART_LONGEST, RESTART_LONGEST)
                self.unusable.add(pipe)
                continue
            except REDIS_ERRORS as error:
                # Read before anything started: nothing to undo.
                log.error("%s: cannot read its records: %s; trying again in %.0f s", hosted.label, error,
                          RESTART_SECONDS)
                self.held[pipe] = (now + RESTART_SECONDS, pause)
                continue
            self.pipes[pipe] = hosted
            hosted.pause = pause
            del self.held[pipe]

    def _take_finished(self, wait: float) -> None:
        try:
            thread = self.finished.get(timeout=wait)
        except queue.Empty:
            return
        while True:
            self._ended(thread)
            try:
                thread = self.finished.get_nowait()
            except queue.Empty:
                return

    def _ended(self, thread: HostedMonitor) -> None:
        hosted = thread.pipe
        with named_as(hosted.label):
            if not hosted.ended(thread):
                return
            hosted.finish()
        pipe = (hosted.ch_uid, hosted.pipe_name)
        del self.pipes[pipe]
        if hosted.status in (FAILED, NO_CHANNEL):
            ran = self.clock() - hosted.started_at
            last = hosted.pause
            pause = RESTART_SECONDS if ran >= RESTART_RESET or not last else min(RESTART_LONGEST, last * 2)
            if hosted.status == NO_CHANNEL:
                # Unless the records were written again since it failed (while its other monitor ended).
                pause = RESTART_LONGEST if self.notified_at < hosted.failed_at else RESTART_SECONDS
                self.unusable.add(pipe)
            log.info("%s: starting the pipe again in %.0f s%s if its channel is still live", hosted.label, pause,
                     ", or once its records change," if hosted.status == NO_CHANNEL else "")
            self.held[pipe] = (self.clock() + pause, pause)
        elif hosted.status == OK:
            # The channel stopped; a new start of it is found by the scans.
            self.wanted.discard(pipe)

    def _poll_states(self) -> None:
        hosted = [each for each in self.pipes.values() if each.states is not None and each.status == OK]
        if not hosted:
            return
        keys = [each.states.read_keys() for each in hosted]   # type: ignore[union-attr]
        try:
            values = read_values(self.broker, [key for group in keys for key in group])
        except REDIS_ERRORS as error:
            for each in hosted:
                with named_as(each.label):
                    each.states.note_read_error(str(error))   # type: ignore[union-attr]
            return
        at = 0
        for each, group in zip(hosted, keys):
            with named_as(each.label):
                each.states.apply(values[at:at + len(group)])   # type: ignore[union-attr]
                each.polled()
            at += len(group)

    def _stop_everything(self) -> None:
        if self.pipes:
            log.info("host: stopping %d pipes: the monitors end after their current pass (a few seconds); "
                     "their status keys keep their last values", len(self.pipes))
        if self.listener is not None:
            self.listener.stop()
        for hosted in self.pipes.values():
            hosted.interrupt()
            hosted.stop_helpers()
        deadline = self.clock() + STOP_SECONDS
        while self.pipes:
            left = deadline - self.clock()
            if left <= 0:
                log.warning("host: %d pipes still in a probe or pause; leaving them", len(self.pipes))
                break
            self._take_finished(min(TICK_SECONDS, left))
        if self.hls_pool is not None:
            self.hls_pool.close()
        if self.listener is not None:
            self.listener.join(2)
