"""The HLS output analyser as `avwatch monitor` runs it for a channel pipe:
a thread that finds the pipe's media playlist through the channel's master
playlist, checks it every half target duration and publishes each record
under ch:ID:hls:PIPE."""

from __future__ import annotations

import logging
import os
import threading

import avwatch_analysis

from avwatch_cli.analyze.hls import HlsWatch, read_regular_file
from avwatch_cli.analyze.thumbnails import ThumbnailStore, thumbnail_key
from avwatch_cli.broker import REDIS_ERRORS

log = logging.getLogger("avwatch.cli")

# The media server's own name for a pipe's media playlist, when the master
# playlist does not lead to one.
DEFAULT_MEDIA_PLAYLIST = "chunks.m3u8"
MASTER_READ_LIMIT = 4 << 20


def hls_key(ch_uid: str, pipe_name: str) -> str:
    return f"ch:{ch_uid}:hls:{pipe_name}"


def media_playlist_for(master: str, segment_folder: str) -> str:
    """The media playlist of the variant the master playlist lists in the
    pipe's segment folder (wherever among any number of variants it is
    listed); else the folder's own playlist."""
    folder = os.path.normpath(segment_folder)

    def media_path(uri: str) -> str | None:
        uri = uri.split("?", 1)[0]
        if "://" in uri:
            return None
        path = os.path.normpath(os.path.join(os.path.dirname(master), uri))
        return path if os.path.dirname(path) == folder else None

    data = read_regular_file(master, MASTER_READ_LIMIT)
    if data is not None:
        for variant in avwatch_analysis.parse_master_playlist(data, lambda uri: media_path(uri) is not None)\
                .get("variants", []):
            path = media_path(variant["uri"])
            if path is not None:
                return path
    return os.path.join(segment_folder, DEFAULT_MEDIA_PLAYLIST)


class HlsCheck:
    """One pipe's HLS output checked and its record published, one check at
    a time: run by a thread of its own (HlsPublisher) or by a pool."""

    def __init__(self, broker, ch_uid: str, pipe_name: str, html_root: str):
        self.broker = broker
        self.key = hls_key(ch_uid, pipe_name)
        self.thumbnails = ThumbnailStore(broker, thumbnail_key(ch_uid, pipe_name, "output"))
        self.master = os.path.join(html_root, ch_uid, "a", "playlist.m3u8")
        self.segment_folder = os.path.join(html_root, ch_uid, pipe_name)
        self.watch: HlsWatch | None = None

    def run_once(self) -> float:
        """Checks and publishes; the pause before the next check."""
        try:
            record = self.check_once()
            thumbnail = self.watch.take_thumbnail() if self.watch else None
            self.thumbnails.publish(self.key, record, thumbnail)
        except REDIS_ERRORS as error:
            log.error("hls analyser: cannot publish %s: %s", self.key, error)
        except Exception:  # a fault of ours must not end the monitor
            log.exception("hls analyser: check failed")
        return self.watch.period() if self.watch else 1.0

    def check_once(self) -> dict:
        playlist = media_playlist_for(self.master, self.segment_folder)
        if self.watch is None or self.watch.playlist != os.path.abspath(playlist):
            # The first check, or the master now leads elsewhere.
            self.watch = HlsWatch(playlist, self.master)
        return self.watch.check()

    def delete(self) -> None:
        try:
            self.broker.delete(self.key)
        except REDIS_ERRORS as error:
            log.error("hls analyser: cannot delete %s: %s", self.key, error)


class HlsPublisher(threading.Thread):
    def __init__(self, broker, ch_uid: str, pipe_name: str, html_root: str):
        super().__init__(name="hls", daemon=True)
        self.check = HlsCheck(broker, ch_uid, pipe_name, html_root)
        self.key = self.check.key
        self.stopping = threading.Event()

    @property
    def watch(self) -> HlsWatch | None:
        return self.check.watch

    def run(self) -> None:
        while not self.stopping.is_set():
            self.stopping.wait(self.check.run_once())

    def check_once(self) -> dict:
        return self.check.check_once()

    def stop(self, delete: bool) -> None:
        """Ends the thread within a second or so; deletes the record when
        the channel stopped, as the monitors delete theirs."""
        self.stopping.set()
        self.join(10)
        if delete:
            self.check.delete()
