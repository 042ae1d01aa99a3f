#!/usr/bin/env python3
"""A stand-in for the media server's HLS output of one channel and pipe.

It writes the server's environment file with the HLS fragment duration, runs
ffmpeg's HLS muxer on generated h264 + aac (in real time) into
<html>/<channel>/<pipe>/, where segments appear under a ".tmp" name while
they are written and old ones are deleted as new ones come, and keeps the
channel's master playlist <html>/<channel>/a/playlist.m3u8, whose variant
line names the pipe.

Importable:

    with HlsStandIn(html_root, "42", "p1", fragment=1, bandwidth=2000000) as server:
        ...  # server.segment_folder holds live segments

or runnable until SIGINT/SIGTERM:

    python tools/hls_standin.py --root /usr/local/kestrel-srs --channel 42 --pipe p1 [--fragment N] [--bandwidth N]
"""

import argparse
import json
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from media import FFMPEG, lavfi_sources, stop_process

KESTREL_ROOT = Path("/usr/local/kestrel-srs")
HTML_SUBPATH = Path("trunk/objs/nginx/html")
ENV_FILE = KESTREL_ROOT / "env.json"

# The muxer's own media playlist, kept in the segment folder as the server
# keeps its "chunks" playlist there.
MEDIA_PLAYLIST = "chunks.m3u8"
SEGMENT_PATTERN = "segment-%06d.ts"
LIVE_SEGMENTS = 4
FRAME_RATE = 25


def _write_atomically(path: Path, content: str):
    temporary = path.with_name(path.name + ".part")
    temporary.write_text(content)
    os.replace(temporary, path)


class HlsStandIn:
    def __init__(self, html_root, ch_uid, pipe_name, fragment=1, bandwidth=None, env_file=ENV_FILE,
                 size="640x360"):
        self.html_root = Path(html_root)
        self.ch_uid = str(ch_uid)
        self.pipe_name = str(pipe_name)
        self.fragment = int(fragment)
        self.bandwidth = bandwidth
        self.env_file = Path(env_file)
        self.size = size
        self.channel_folder = self.html_root / self.ch_uid
        self.segment_folder = self.channel_folder / self.pipe_name
        self.playlist = self.channel_folder / "a" / "playlist.m3u8"
        self.process = None
        self._errors = None

    # ---- the files the monitor reads ----

    def write_env_file(self):
        self.env_file.parent.mkdir(parents=True, exist_ok=True)
        _write_atomically(self.env_file, json.dumps({"SRS_VHOST_HLS_HLS_FRAGMENT": str(self.fragment)}))

    def master_playlist(self) -> str:
        # BANDWIDTH as the tag's only attribute when advertised; otherwise a
        # tag that carries none.
        tag = (f"#EXT-X-STREAM-INF:BANDWIDTH={self.bandwidth}" if self.bandwidth is not None
               else f"#EXT-X-STREAM-INF:RESOLUTION={self.size}")
        return f"#EXTM3U\n{tag}\n../{self.pipe_name}/{MEDIA_PLAYLIST}\n"

    def write_master_playlist(self):
        self.playlist.parent.mkdir(parents=True, exist_ok=True)
        _write_atomically(self.playlist, self.master_playlist())

    def command(self):
        # A key frame every second, so any whole fragment length cuts cleanly.
        return [
            FFMPEG, "-nostdin", "-loglevel", "error", "-re",
            *lavfi_sources(self.size, FRAME_RATE), "-tune", "zerolatency",
            "-f", "hls", "-hls_time", str(self.fragment), "-hls_list_size", str(LIVE_SEGMENTS),
            "-hls_flags", "delete_segments+temp_file",
            "-hls_segment_filename", str(self.segment_folder / SEGMENT_PATTERN),
            str(self.segment_folder / MEDIA_PLAYLIST),
        ]

    # ---- life cycle ----

    def segments(self):
        """Names of the complete segments now in the folder."""
        try:
            return sorted(name for name in os.listdir(self.segment_folder) if name.endswith(".ts"))
        except FileNotFoundError:
            return []

    def start(self, wait_for_segment=True, timeout=30):
        self.write_env_file()
        self.write_master_playlist()
        self.segment_folder.mkdir(parents=True, exist_ok=True)
        # A file, not a pipe: a long run never blocks on an unread pipe.
        self._errors = tempfile.TemporaryFile()
        self.process = subprocess.Popen(self.command(), stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=self._errors)
        if wait_for_segment:
            self.wait_for_segments(1, timeout)
        return self

    def wait_for_segments(self, count, timeout=30):
        """Waits until `count` complete segments have been written since start."""
        deadline = time.monotonic() + timeout
        while len(self.segments()) < count:
            if self.process.poll() is not None:
                self._errors.seek(0)
                error = self._errors.read().decode(errors="replace")
                raise RuntimeError(f"ffmpeg ended with status {self.process.returncode}: {error}")
            if time.monotonic() > deadline:
                raise TimeoutError(f"no segment in {self.segment_folder} after {timeout} s")
            time.sleep(0.05)

    def stop(self):
        if self.process is None:
            return
        stop_process(self.process)
        self._errors.close()
        self.process = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def main(argv=None):
    parser = argparse.ArgumentParser(description="Serve one channel's HLS output as the media server does.")
    parser.add_argument("--root", type=Path, default=KESTREL_ROOT,
                        help="the media server's root: env.json and trunk/objs/nginx/html/ under it "
                             f"(default {KESTREL_ROOT})")
    parser.add_argument("--channel", required=True, help="the channel id")
    parser.add_argument("--pipe", required=True, help="the pipe name")
    parser.add_argument("--fragment", type=int, default=1, help="HLS fragment duration in seconds (default 1)")
    parser.add_argument("--bandwidth", type=int, default=None,
                        help="BANDWIDTH to advertise in the master playlist (default: none)")
    args = parser.parse_args(argv)

    stop = threading.Event()
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, lambda *_: stop.set())

    server = HlsStandIn(args.root / HTML_SUBPATH, args.channel, args.pipe, fragment=args.fragment,
                        bandwidth=args.bandwidth, env_file=args.root / "env.json")
    server.start(wait_for_segment=False)
    print(f"serving {server.segment_folder} (playlist {server.playlist})", flush=True)
    try:
        while not stop.wait(0.2):
            # A signal to the whole group reaches ffmpeg too: only an end
            # that nobody asked for is a failure.
            if server.process.poll() is not None and not stop.wait(0.5):
                print(f"ffmpeg ended with status {server.process.returncode}", file=sys.stderr)
                return 1
    finally:
        # A signal to the process group reached ffmpeg too, and a second one would cut
        # its last rewrite of the playlist short (leaving it empty): it ends by itself first.
        try:
            server.process.wait(2)
        except subprocess.TimeoutExpired:
            pass
        server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
