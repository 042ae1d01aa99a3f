"""`avwatch analyze PLAYLIST.m3u8`: one line per check of a media playlist,
every half target duration, until --seconds have passed or Ctrl-C."""

from __future__ import annotations

import json
import math
import os
import threading
import time

from avwatch_cli.analyze.hls import HlsWatch, read_regular_file, summary
from avwatch_cli.failures import OK, USAGE, Failure

import avwatch_analysis


def refuse_master(path: str) -> None:
    """A master playlist names its variants: say which to give instead."""
    data = read_regular_file(path, 4 << 20)
    if data is None:
        return  # the checker reports what it cannot read (a FIFO, a folder...)
    parsed = avwatch_analysis.parse_media_playlist(data)
    if not parsed.get("master"):
        return
    variants = avwatch_analysis.parse_master_playlist(data).get("variants", [])
    folder = os.path.dirname(path)
    names = ", ".join(os.path.normpath(os.path.join(folder, variant["uri"])) for variant in variants[:5])
    raise Failure(f"{path} is a master playlist: give one of its media playlists ({names}), "
                  f"and this one with --master", USAGE)


def run(args, stop: threading.Event | None = None) -> int:
    # nan would never compare past the deadline: the check would run forever.
    if args.seconds is not None and not (math.isfinite(args.seconds) and args.seconds > 0):
        raise Failure(f"--seconds must be a positive number of seconds, not {args.seconds}", USAGE)
    refuse_master(args.uri)
    watch = HlsWatch(args.uri, args.master)
    stop = stop or threading.Event()
    deadline = None if args.seconds is None else time.monotonic() + args.seconds
    while True:
        record = watch.check()
        if args.json:
            print(json.dumps(record), flush=True)
        else:
            print(summary(record), flush=True)
        pause = watch.period()
        if deadline is not None:
            left = deadline - time.monotonic()
            if left <= 0:
                return OK
            pause = min(pause, left)
        if stop.wait(pause):
            return OK
