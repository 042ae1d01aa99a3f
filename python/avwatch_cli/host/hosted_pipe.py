"""One channel pipe inside a host process: what `avwatch monitor` runs for
it (the module's two monitors on threads of their own, the input analyser,
the output's reason and state lines), with the HLS check handed to the
host's pool.  The pipe's steps and outcomes are monitor.py's, so its
records and reasons are the ones the per-pipe command writes."""

from __future__ import annotations

import logging
import queue
import threading
import time

from avwatch_cli.analyze.hls_publisher import HlsCheck
from avwatch_cli.analyze.pipe_analyser import PipeAnalyser
from avwatch_cli.failures import INTERRUPTED, NO_CHANNEL, OK
from avwatch_cli.health import Side
from avwatch_cli.host.hls_pool import HlsPool
from avwatch_cli.host.log_routing import ThreadRouter
from avwatch_cli.module_log import DeletedChannelWording
from avwatch_cli.monitor import (HTML_ROOT, MONITORS, MonitorThread, Outcome, check_input_source,
                                 report_failure, warn_about_missing_output)
from avwatch_cli.output_reason import OutputReason
from avwatch_cli.state_log import StateLog

log = logging.getLogger("avwatch.cli")

# How long a stopping pipe's analyser may take to see its stop flag (it
# waits half a second at most for a report).
ANALYSER_JOIN_SECONDS = 5.0


class HostedMonitor(MonitorThread):
    """A monitor thread whose module log lines go through its pipe's filters."""

    def __init__(self, kind: Side, pipe: HostedPipe, finished: queue.Queue):
        super().__init__(kind, pipe.ch_uid, pipe.pipe_name, pipe.broker, finished)
        self.name = f"{pipe.label} {kind}"
        self.pipe = pipe

    def run(self) -> None:
        ident = threading.get_ident()
        if self.pipe.filters:
            self.pipe.router.route(ident, self.pipe.filters)
        try:
            super().run()
        finally:
            self.pipe.router.drop(ident)


class HostedPipe:
    def __init__(self, ch_uid: str, pipe_name: str, broker, finished: queue.Queue, router: ThreadRouter,
                 hls_pool: HlsPool | None, analysis: bool, html_root: str = HTML_ROOT):
        self.ch_uid = ch_uid
        self.pipe_name = pipe_name
        self.label = f"{ch_uid}/{pipe_name}"
        self.broker = broker
        self.finished = finished
        self.router = router
        self.hls_pool = hls_pool if analysis else None
        self.analysis = analysis
        self.html_root = html_root
        self.filters: tuple[logging.Filter, ...] = ()
        self.reason: OutputReason | None = None
        self.analyser: PipeAnalyser | None = None
        self.hls: HlsCheck | None = None
        self.states: StateLog | None = None
        self.threads: list[HostedMonitor] = []
        self.running = 0
        self.status = OK
        self.started_at = 0.0
        self.pause = 0.0   # the pause before this start, after a failure
        self.failed_at = 0.0   # when the status turned from OK, on the host's clock

    def start(self) -> None:
        """As `avwatch monitor` starts for a live channel.  Failure for an
        input source record the input monitor would fail on."""
        check_input_source(self.broker, self.ch_uid, self.pipe_name)
        self.reason = OutputReason(self.broker, self.ch_uid, self.pipe_name)
        warn_about_missing_output(self.ch_uid, self.pipe_name, self.reason)
        # The wording first: the reason sees the module's lines as worded.
        self.filters = (DeletedChannelWording(self.ch_uid), self.reason)
        if self.analysis:
            self.analyser = PipeAnalyser(self.broker, self.ch_uid, self.pipe_name)
            self.analyser.name = f"{self.label} analyser"
            self.analyser.start()
        if self.hls_pool is not None:
            self.hls = HlsCheck(self.broker, self.ch_uid, self.pipe_name, self.html_root)
            self.hls_pool.add(self.hls)
        self.states = StateLog(self.broker, self.ch_uid, self.pipe_name, list(MONITORS),
                               output_published=self.reason.clear)
        self.threads = [HostedMonitor(kind, self, self.finished) for kind in MONITORS]
        self.started_at = time.monotonic()
        for thread in self.threads:
            log.info("%s monitor started for ch:%s pipe %s", thread.kind, self.ch_uid, self.pipe_name)
            thread.start()
        self.running = len(self.threads)

    def polled(self) -> None:
        """After the state records were read: a deleted channel record stops
        the monitors, which would fail on it or log an error every pass."""
        if self.status == OK and self.states is not None and not self.states.channel_present:
            self.status = NO_CHANNEL
            self.failed_at = time.monotonic()
            log.error("the channel record ch:%s was deleted while the monitors of pipe %s ran: stopping them",
                      self.ch_uid, self.pipe_name)
            self.stop_monitors()

    def ended(self, thread: HostedMonitor) -> bool:
        """One of the pipe's monitors ended; True once both have."""
        self.running -= 1
        thread.join()
        if thread.outcome is Outcome.CHANNEL_STOPPED:
            log.info("%s monitor ended: channel ch:%s stopped, its status keys are deleted",
                     thread.kind, self.ch_uid)
        elif thread.outcome is Outcome.STOPPED:
            log.info("%s monitor stopped", thread.kind)
        else:
            assert isinstance(thread.outcome, BaseException)
            failure = report_failure(thread.kind, thread.outcome, self.broker, self.ch_uid, self.pipe_name)
            if self.status == OK:
                self.status = failure
                self.failed_at = time.monotonic()
                log.error("stopping the other monitor of ch:%s pipe %s: the pipe starts again after a pause",
                          self.ch_uid, self.pipe_name)
            self.stop_monitors()
        return self.running == 0

    def interrupt(self) -> None:
        """The operator stops the host: the last records stay."""
        if self.status == OK:
            self.status = INTERRUPTED
        self.stop_monitors()

    def stop_monitors(self) -> None:
        for thread in self.threads:
            thread.request_stop()

    def stop_helpers(self) -> None:
        """Asks the analyser to end (joined by finish())."""
        if self.analyser is not None:
            self.analyser.stop()

    def finish(self) -> None:
        """After both monitors ended: the helpers go, and with a stopped
        channel their records and the reason too, as the monitors' go."""
        stopped_channel = self.status == OK
        self.stop_helpers()
        if self.analyser is not None:
            self.analyser.join(ANALYSER_JOIN_SECONDS)
            self.analyser.forget(stopped_channel=stopped_channel)
        if self.hls is not None and self.hls_pool is not None:
            self.hls_pool.remove(self.hls, delete=stopped_channel)
        if stopped_channel and self.reason is not None:
            self.reason.clear()
