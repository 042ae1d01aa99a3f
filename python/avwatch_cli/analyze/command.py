"""`avwatch analyze URI`: one line per second about a live input; given a
media playlist (PATH.m3u8), one line per check of that HLS output."""

from __future__ import annotations

import argparse
import json
import math
import re
import time

from avwatch_cli.analyze import hls_command
from avwatch_cli.analyze.hls import is_playlist_path
from avwatch_cli.analyze.lines import human_line
from avwatch_cli.analyze.record import ErrorTimes, make_record
from avwatch_cli.analyze.uri import analysable
from avwatch_cli.analyze.watching import open_watch
from avwatch_cli.failures import OK, USAGE, Failure
from avwatch_cli.stream_ids import program_number


# A URI with a scheme: only the UDP/RTP ones are received, and HLS is read
# from the media server's files, never fetched.
SCHEME = re.compile(r"[A-Za-z][A-Za-z0-9+.-]*://")


def positive_seconds(text: str) -> float:
    """A finite number of seconds above zero (nan and inf never end a run)."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of seconds") from None
    if not math.isfinite(value) or value <= 0:
        raise argparse.ArgumentTypeError(f"{text!r}: --seconds must be a positive number of seconds, and finite")
    return value


def add_parser(commands) -> None:
    parser = commands.add_parser(
        "analyze", help="measure a live UDP/RTP input every second: bit rate, packets, continuity errors...",
        description="Receive a udp:// or rtp:// input beside its other receivers, without holding its "
                    "port (a packet socket, which needs CAP_NET_RAW; multicast: joined on ?localaddr=) and print "
                    "one line per second: the measured bit rate, packets, TR 101 290 indicators, gaps, "
                    "delay factor and losses. Ends after --seconds or on Ctrl-C.")
    parser.add_argument("uri", help="udp://HOST:PORT or rtp://HOST:PORT, with ?localaddr=ADDRESS for multicast; "
                                    "or PATH.m3u8, an HLS media playlist (checked every half target duration)")
    parser.add_argument("--program", type=program_number, metavar="N",
                        help="judge only this program's PMT, PIDs and PCR (default: every program)")
    parser.add_argument("--seconds", type=positive_seconds, metavar="S", help="stop after S seconds (default: never)")
    parser.add_argument("--json", action="store_true", help="one JSON object per line (the Redis record)")
    parser.add_argument("--master", metavar="PATH", default=None,
                        help="for a media playlist: the master playlist listing it (its variant and BANDWIDTH "
                             "are checked too)")
    parser.set_defaults(run=run)


def run(args) -> int:
    if SCHEME.match(args.uri) and not analysable(args.uri):
        raise Failure(f"cannot analyse {args.uri}: only udp:// and rtp:// inputs are received, and an HLS "
                      "output is checked from the media server's files: give the playlist's path", USAGE)
    if is_playlist_path(args.uri):
        return hls_command.run(args)
    if not analysable(args.uri):
        raise Failure(f"cannot analyse {args.uri}: only udp:// and rtp:// inputs are received continuously", USAGE)
    program = None if args.program is None else int(args.program)
    watch = open_watch(args.uri, program)
    started = time.time()
    deadline = None if args.seconds is None else time.monotonic() + args.seconds
    errors = ErrorTimes()
    try:
        while deadline is None or time.monotonic() < deadline:
            wait = 2.0 if deadline is None else max(0.0, min(2.0, deadline - time.monotonic()))
            report = watch.next_report(wait)
            if report is None:
                continue
            wall_end = time.time() - (time.monotonic() - report["window_end"])
            record = make_record(report, uri=args.uri, method=watch.method, started=started, wall_end=wall_end,
                                 error_times=errors)
            print(json.dumps(record) if args.json else human_line(record), flush=True)
    finally:
        watch.close()
    return OK


