"""`avwatch monitor`: the input and output monitors of one channel and pipe,
each in a thread of this process, until the channel stops or the operator
stops them."""

import ctypes
import logging
import os
import queue
import signal
import threading
from collections.abc import Callable

import avwatch

from avwatch_cli.analyze.hls_publisher import HlsPublisher
from avwatch_cli.analyze.pipe_analyser import PipeAnalyser
from avwatch_cli.broker import REDIS_ERRORS, add_redis_arguments, connect_from, require_channel
from avwatch_cli.failures import FAILED, INTERRUPTED, NO_CHANNEL, OK, Failure
from avwatch_cli.health import Side
from avwatch_cli.module_log import word_module_errors
from avwatch_cli.output_reason import OutputReason
from avwatch_cli.programs import require_probe_chain
from avwatch_cli.source_records import input_source_key, input_source_warnings
from avwatch_cli.state_log import StateLog

log = logging.getLogger("avwatch.cli")

# The media server's HLS tree, where the output monitor looks for segments.
HTML_ROOT = "/usr/local/kestrel-srs/trunk/objs/nginx/html"

MONITORS: dict[Side, str] = {"input": "ffmpeg_input_bitrate", "output": "ffmpeg_output_bitrate"}

# How often the status records are read back for the state-change log: two
# or three GETs, and a change is logged within about a second.
STATE_POLL_SECONDS = 1.0


def add_parser(commands) -> None:
    parser = commands.add_parser(
        "monitor", help="run the input and output monitors of a channel until it stops",
        description="Run the monitors of one channel and pipe (both unless --input or --output "
                    "picks one), each in a thread, publishing their status records in Redis and "
                    "logging each change of the input or output state. Ends when the channel "
                    'record\'s "live" turns false (exit 0) or the record is deleted (exit 5), when a monitor '
                    "fails (exit 1), or on Ctrl-C / SIGTERM (exit 130) after the current pass.")
    parser.add_argument("--channel", required=True, metavar="ID", help="channel id (keys ch:ID...)")
    parser.add_argument("--pipe", required=True, metavar="NAME", help="pipe name (keys ch:ID:in:NAME...)")
    parser.add_argument("--input", action="store_true", help="run the input monitor")
    parser.add_argument("--output", action="store_true", help="run the output monitor")
    parser.add_argument("--no-analysis", action="store_true",
                        help="do not analyse the input continuously (record ch:ID:ts:NAME) nor check the "
                             "HLS output (record ch:ID:hls:NAME)")
    add_redis_arguments(parser)
    parser.set_defaults(run=run)


class StopRequested(BaseException):
    """Raised inside a monitor's thread to end it.  Outside the Exception
    family, so the output monitor's per-pass error guard lets it through."""


class Outcome:
    PENDING = "running"
    CHANNEL_STOPPED = "channel stopped"
    STOPPED = "stopped on request"


class MonitorThread(threading.Thread):
    def __init__(self, kind: Side, ch_uid: str, pipe_name: str, broker, finished: queue.Queue):
        super().__init__(name=kind, daemon=True)
        self.kind = kind
        self.arguments = (ch_uid, pipe_name, broker)
        self.finished = finished
        self.outcome: object = Outcome.PENDING
        self._stop_sent = False
        self._done = False
        self._lock = threading.Lock()

    def run(self) -> None:
        try:
            try:
                # Looked up now: the module's namespace is the seam callers use.
                getattr(avwatch, MONITORS[self.kind])(*self.arguments)
                self.outcome = Outcome.CHANNEL_STOPPED
            except StopRequested:
                self.outcome = Outcome.STOPPED
            except BaseException as error:  # reported by the main thread
                self.outcome = error
        except StopRequested:
            # The stop arrived just as the monitor ended by itself.
            if self.outcome is Outcome.PENDING:
                self.outcome = Outcome.STOPPED
        self._refuse_stops()
        self.finished.put(self)

    def _refuse_stops(self) -> None:
        """From here on no stop is sent, and one sent just before is dropped,
        so that it cannot break the report to the main thread."""
        while True:
            try:
                with self._lock:
                    self._done = True
                _set_async_exception(self.ident, None)
                return
            except StopRequested:
                continue

    def request_stop(self) -> None:
        """Raise StopRequested in the thread.  It takes effect when the
        monitor next runs Python code (its Redis client, json): after the
        current sleep or probe, so within a few seconds."""
        with self._lock:
            if self._stop_sent or self._done or not self.is_alive():
                return
            self._stop_sent = True
            _set_async_exception(self.ident, StopRequested)


def _set_async_exception(thread_id, exception) -> None:
    # None passes NULL, which clears a pending exception.
    ctypes.pythonapi.PyThreadState_SetAsyncExc(
        ctypes.c_ulong(thread_id), None if exception is None else ctypes.py_object(exception))


def run(args) -> int:
    kinds = [kind for kind in MONITORS if getattr(args, kind)] or list(MONITORS)
    require_probe_chain()
    broker = connect_from(args)
    try:
        live = require_channel(broker, args.channel)
        if not live:
            log.info("channel ch:%s is not live: the monitors delete its status keys and return", args.channel)
        elif "input" in kinds:
            # Read only while the channel is live, as the input monitor does.
            check_input_source(broker, args.channel, args.pipe)
        reason = OutputReason(broker, args.channel, args.pipe) if "output" in kinds else None
        if reason is not None:
            warn_about_missing_output(args.channel, args.pipe, reason)
            word_module_errors(args.channel)
            # After the wording filter: it sees the module's lines as worded.
            logging.getLogger().addFilter(reason)
        analyser = None
        if "input" in kinds and not getattr(args, "no_analysis", False):
            analyser = PipeAnalyser(broker, args.channel, args.pipe)
            analyser.start()
        hls = None
        if "output" in kinds and not getattr(args, "no_analysis", False):
            hls = HlsPublisher(broker, args.channel, args.pipe, HTML_ROOT)
            hls.start()
        status = FAILED
        try:
            status = supervise(kinds, args.channel, args.pipe, broker,
                               StateLog(broker, args.channel, args.pipe, kinds,
                                        output_published=reason.clear if reason is not None else None),
                               watchdog=analyser.watchdog if analyser is not None else None)
            if status == OK and reason is not None:
                reason.clear()   # the channel stopped: its status keys are gone too
            return status
        finally:
            if analyser is not None:
                analyser.stop()
                analyser.join()
                # A stopped channel loses its analysis record as it loses the status records.
                analyser.forget(stopped_channel=status == OK)
            if hls is not None:
                hls.stop(delete=status == OK)
    finally:
        broker.close()


def check_input_source(broker, ch_uid: str, pipe_name: str) -> None:
    """Fails on an input source record the input monitor would fail on;
    warns about one it would run with to no use."""
    key = input_source_key(ch_uid, pipe_name)
    for warning in input_source_warnings(broker.get(key), key):
        log.warning("%s", warning)


def warn_about_missing_output(ch_uid: str, pipe_name: str, reason: OutputReason) -> None:
    folder = os.path.join(HTML_ROOT, ch_uid, pipe_name)
    if not os.path.isdir(folder):
        log.warning("no segment folder %s yet: the output record names no segment until the media "
                    "server writes one there", folder)
    playlist = os.path.join(HTML_ROOT, ch_uid, "a", "playlist.m3u8")
    if not os.path.isfile(playlist):
        log.warning("no playlist %s yet: every pass that finds a fresh segment fails reading it, logs "
                    "an error and publishes nothing until the media server writes it", playlist)
        reason.note(f"no playlist {playlist} yet (the media server writes it)")


def supervise(kinds, ch_uid: str, pipe_name: str, broker, states: StateLog | None = None,
              watchdog: Callable[[], None] | None = None) -> int:
    finished: queue.Queue = queue.Queue()
    threads = [MonitorThread(kind, ch_uid, pipe_name, broker, finished) for kind in kinds]
    for started in threads:
        log.info("%s monitor started for ch:%s pipe %s", started.kind, ch_uid, pipe_name)
        started.start()
    status = OK
    running = len(threads)
    while running:
        try:
            thread = next_finished(finished, states if status == OK else None, watchdog)
        except KeyboardInterrupt:
            if status != INTERRUPTED:
                log.info("stopping: the monitors end after their current pass (a few seconds); "
                            "their status keys keep their last values")
            else:
                log.warning("still stopping: waiting for the current probe or pause to end")
            status = INTERRUPTED
            stop_all(threads)
            continue
        if thread is None:
            if states is not None and not states.channel_present:
                # The monitors would fail on it, or log an error every pass.
                status = NO_CHANNEL
                explain_stop(status, ch_uid)
                stop_all(threads)
            continue
        running -= 1
        thread.join()
        if thread.outcome is Outcome.CHANNEL_STOPPED:
            log.info("%s monitor ended: channel ch:%s stopped, its status keys are deleted", thread.kind, ch_uid)
        elif thread.outcome is Outcome.STOPPED:
            log.info("%s monitor stopped", thread.kind)
        else:
            assert isinstance(thread.outcome, BaseException)
            failure = report_failure(thread.kind, thread.outcome, broker, ch_uid, pipe_name)
            if status == OK:
                status = failure
                explain_stop(status, ch_uid)
            stop_all(threads)
    return status


def next_finished(finished: queue.Queue, states: StateLog | None,
                  watchdog: Callable[[], None] | None = None) -> MonitorThread | None:
    """The next monitor thread to end, or None once the states were read
    (and the analyser looked at)."""
    if states is None:
        return finished.get()
    try:
        return finished.get(timeout=STATE_POLL_SECONDS)
    except queue.Empty:
        states.poll()
        if watchdog is not None:
            watchdog()
        return None


def report_failure(kind: str, error: BaseException, broker, ch_uid: str, pipe_name: str = "") -> int:
    """Logs how a monitor ended with an error; the exit status that says so."""
    if isinstance(error, TypeError) and channel_gone(broker, ch_uid):
        # json's TypeError about NoneType, as the monitor reads a deleted record.
        log.error("%s monitor ended: no channel record ch:%s", kind, ch_uid)
        return NO_CHANNEL
    # The errors the module raises on a bad source record: json's TypeError
    # (none) and ValueError (not JSON), and AttributeError ("uri" not text).
    if (kind == "input" and isinstance(error, (TypeError, ValueError, AttributeError))
            and (problem := input_source_problem(broker, ch_uid, pipe_name))):
        log.error("input monitor failed on its source record: %s (the module said %s: %s)",
                  problem, type(error).__name__, error)
        return NO_CHANNEL
    log.error("%s monitor failed: %s: %s", kind, type(error).__name__, error,
              exc_info=(type(error), error, error.__traceback__) if log.isEnabledFor(logging.DEBUG) else None)
    return FAILED


def explain_stop(status: int, ch_uid: str) -> None:
    if status == NO_CHANNEL:
        log.error("the channel record ch:%s was deleted while the monitors ran: they need it to tell whether "
                  'the channel is live (a channel is stopped by setting its "live" false); stopping them', ch_uid)
    else:
        log.error("stopping the other monitors: a supervisor should restart this command")


def input_source_problem(broker, ch_uid: str, pipe_name: str) -> str | None:
    """What is wrong with the input source record, when that is what the
    input monitor failed on."""
    key = input_source_key(ch_uid, pipe_name)
    try:
        input_source_warnings(broker.get(key), key)
    except Failure as failure:
        return str(failure)
    except REDIS_ERRORS:
        return None
    return None


def channel_gone(broker, ch_uid: str) -> bool:
    try:
        return broker.get(f"ch:{ch_uid}") is None
    except REDIS_ERRORS:
        return False


def stop_all(threads) -> None:
    for thread in threads:
        thread.request_stop()


def install_termination_handler() -> None:
    """SIGTERM (systemd, docker stop, kill) stops the monitors as Ctrl-C does."""
    def interrupt(signum, frame):
        raise KeyboardInterrupt
    signal.signal(signal.SIGTERM, interrupt)
