"""`avwatch serve`: a read-only companion to the monitors that judges every
channel pipe and serves the result as Prometheus metrics, JSON and a page."""

from __future__ import annotations

import argparse
import asyncio
import logging
import math
import os
import resource
import signal
import sys
import time

from avwatch_cli.broker import add_redis_arguments, make_client, target_from
from avwatch_cli.content_evidence import DEFAULT_TARGET, DEFAULT_TOLERANCE
from avwatch_cli.failures import OK, USAGE, Failure
from avwatch_cli.redis_target import scrubber

log = logging.getLogger("avwatch.serve")

# Prometheus exporters' registered default ports fill 9100-9999, so the
# default sits just above that range where no listed exporter claims it.
DEFAULT_PORT = 10120
DEFAULT_LISTEN = f"127.0.0.1:{DEFAULT_PORT}"
# Pipes whose keys are all gone stay in view this long (as missing or
# stopped) before they are forgotten.
FORGET_AFTER = 300.0
# A connection's time to send a whole request, and to stay open idle after one.
IDLE_SECONDS = 10.0
# Bytes a Redis connection takes from its socket at once.  A refresh reads
# hundreds of MB at 100,000 pipes; every read lets go of the interpreter and
# must win it back from the threads building bodies: a sixteenth of the
# reads the client's default (64 KiB) takes.
REDIS_READ_SIZE = 1 << 20
# How long a thread holds the interpreter while another waits for it.  The
# refresher's reads each let go of it and wait that long again behind a
# thread building a /metrics body (seconds of work at 100,000 pipes): at the
# default 5 ms, thousands of reads a refresh could wait seconds in all.
SWITCH_SECONDS = 0.001


def add_parser(commands) -> None:
    parser = commands.add_parser(
        "serve", help="serve the health of every channel: Prometheus metrics, JSON and a page",
        description="Read every channel's records from Redis each --refresh seconds, judge each pipe's "
                    "input and output (ok, no_signal, silent, missing, malformed, stopped) and serve "
                    "/metrics, /api/status and a page at /. Never writes a record. Ends on Ctrl-C or SIGTERM.")
    parser.add_argument("--listen", default=DEFAULT_LISTEN, metavar="HOST:PORT", type=listen_address,
                        help=f"address to serve on (default {DEFAULT_LISTEN}; :PORT for every interface)")
    parser.add_argument("--refresh", default=2.0, type=positive, metavar="SECONDS",
                        help="seconds between reads of Redis (default 2)")
    parser.add_argument("--stale-after", default=30.0, type=positive, metavar="SECONDS",
                        help="a record not written for longer is silent (default 30)")
    parser.add_argument("--forget-after", default=FORGET_AFTER, type=positive, metavar="SECONDS",
                        help=f"drop pipes whose keys have been gone this long (default {FORGET_AFTER:.0f})")
    parser.add_argument("--loudness-target", default=DEFAULT_TARGET, type=lufs, metavar="LUFS",
                        help=f"the programme loudness aimed at (default {DEFAULT_TARGET:g}); a side whose loudness "
                             "over the last minute is further from it than --loudness-tolerance is degraded")
    parser.add_argument("--loudness-tolerance", default=DEFAULT_TOLERANCE, type=positive, metavar="LU",
                        help="how far from the target the last minute's loudness may be "
                             f"(default {DEFAULT_TOLERANCE:g})")
    add_redis_arguments(parser)
    parser.set_defaults(run=run)


def lufs(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not -70 <= value <= 0:
        raise argparse.ArgumentTypeError(f"a loudness from -70 to 0 LUFS: {text!r}")
    return value


def positive(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number: {text!r}")
    return value


def listen_address(text: str) -> tuple[str, int]:
    """(host, port); host "" for every interface, as exporters read ":PORT"."""
    host, colon, port = text.rpartition(":")
    if not colon or not port.isdigit() or not 0 < int(port) < 65536:
        raise argparse.ArgumentTypeError(f"expected HOST:PORT or :PORT, e.g. {DEFAULT_LISTEN}: {text!r}")
    return host.strip("[]"), int(port)


def run(args: argparse.Namespace) -> int:
    # Imported here: the other commands must work without the serve extra.
    from avwatch_cli.serve.refresher import Refresher
    tune_interpreter()
    raise_descriptor_limit()

    # No ping: a server that is down now is reported by the refresher, not
    # fatal.  A Cluster client reads the slot map at once, so a Cluster that
    # cannot be reached at start is (exit 4, for the supervisor to retry).
    target = target_from(args)
    client = make_client(target, read_size=REDIS_READ_SIZE)
    shown_url = str(target)
    refresher = Refresher(client, shown_url, refresh_seconds=args.refresh, stale_after=args.stale_after,
                          forget_after=args.forget_after, scrub=scrubber(target),
                          loudness_target=args.loudness_target, loudness_tolerance=args.loudness_tolerance)
    refresher.start()
    try:
        asyncio.run(serve_http(refresher, *args.listen))
    finally:
        refresher.stop()
        client.close()
    # Worker threads may be midway through a body of 100,000 pipes; the
    # interpreter's orderly end would wait for them to yield.  Nothing is
    # left to save: end at once.
    logging.shutdown()
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(OK)


def tune_interpreter() -> None:
    """Memory and thread switching for a snapshot of many pipes, before any thread starts."""
    from avwatch_cli.serve.heap import share_malloc_arenas, tune_collection
    share_malloc_arenas()
    tune_collection()
    sys.setswitchinterval(SWITCH_SECONDS)


def raise_descriptor_limit() -> None:
    """Up to the hard limit: each client and each Redis connection holds a
    descriptor.  (At the limit, accepting pauses for a second and resumes;
    clients that never send a request are dropped after IDLE_SECONDS.)"""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != hard:
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
        except (ValueError, OSError) as error:
            log.debug("descriptor limit stays %d: %s", soft, error)


class ResourceErrorsOncePerMinute:
    """At the descriptor limit asyncio reports every failed accept with a
    traceback, hundreds a second: one line a minute says it all."""

    def __init__(self) -> None:
        self.last = -math.inf

    def __call__(self, loop: asyncio.AbstractEventLoop, context: dict) -> None:
        if "out of system resource" not in context.get("message", ""):
            loop.default_exception_handler(context)
            return
        now = time.monotonic()
        if now - self.last >= 60:
            self.last = now
            log.warning("out of descriptors (%s): new connections wait; clients that send no request "
                        "are dropped after %.0f s", context.get("exception"), IDLE_SECONDS)


async def serve_http(refresher, host: str, port: int) -> None:
    from aiohttp import web

    from avwatch_cli.serve.pipe_detail import PipeDetails
    from avwatch_cli.serve.web import make_app

    # keepalive_timeout also bounds a new connection's wait for its first
    # request: a client that connects and sends nothing (or its headers a
    # byte at a time) is dropped after it.
    details = PipeDetails(refresher)
    runner = web.AppRunner(make_app(lambda: refresher.snapshot, refresher.history, details.document,
                                    details.thumbnail),
                           access_log=None, shutdown_timeout=0.25, keepalive_timeout=IDLE_SECONDS)
    await runner.setup()
    try:
        # No host: every interface, IPv4 and IPv6 alike.
        site = web.TCPSite(runner, host or None, port)
        try:
            await site.start()
        except OSError as error:
            raise Failure(f"cannot listen on {host or '*'}:{port}: {error.strerror or error}; "
                          "choose another with --listen HOST:PORT", USAGE) from None
        shown_host = f"[{host}]" if ":" in host else host or "*"
        log.info("serving http://%s:%d/ (metrics at /metrics) for Redis at %s",
                 shown_host, port, refresher.shown_url)
        stop = asyncio.Event()
        loop = asyncio.get_running_loop()
        loop.set_exception_handler(ResourceErrorsOncePerMinute())
        for signum in (signal.SIGINT, signal.SIGTERM):
            loop.add_signal_handler(signum, stop.set)
        await stop.wait()
        log.info("stopping")
    finally:
        await runner.cleanup()
