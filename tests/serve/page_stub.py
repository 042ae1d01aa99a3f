"""A stand-in for `avwatch serve`'s HTTP side: the packaged page plus
canned /api/status and /api/history answers that a test sets."""

import json
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from urllib.parse import parse_qs, urlparse

import avwatch_cli

PAGE = Path(avwatch_cli.__file__).parent / "serve" / "static" / "index.html"

GOOD = {"acodec": "aac", "vcodec": "h264", "vresolution": "640x360", "vfps": 25,
        "vbitrate": 1_100_000, "abitrate": 128_000, "bitrate": 1_234_567}
GOOD_OUT = dict(GOOD, sequence=12, atime=2.0, vtime=2.0, lastts="12.ts", name="main")
EMPTY = {"acodec": "", "vcodec": "", "vresolution": "", "vfps": 0, "vbitrate": 0, "abitrate": 0, "bitrate": 0}


def side(state: str, record: dict | None = None, raw: str | None = None, reason: str = "") -> dict:
    return {"state": state, "reason": reason, "record": record, "raw": raw, "age_seconds": 1.0}


class PageStub:
    def __init__(self):
        self.status: dict = {}
        self.history: dict = {}
        self.server = ThreadingHTTPServer(("127.0.0.1", 0), self._handler())
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join()

    def publish(self, channels: list, events=(), redis_up=True, error=None):
        counts = {state: 0 for state in ("ok", "no_signal", "silent", "missing", "malformed", "stopped")}
        for channel in channels:
            for pipe in channel["pipes"]:
                for which in ("input", "output"):
                    counts[pipe[which]["state"]] += 1
        self.status = {
            "generated_at": time.time(),
            "redis": {"up": redis_up, "url": "redis://:***@127.0.0.1:6379/0", "error": error},
            "freshness_mode": "notifications", "refresh_seconds": 1.0, "stale_after": 30.0,
            "counts": counts, "channels": channels, "events": list(events)}

    def _handler(self):
        stub = self

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self):
                address = urlparse(self.path)
                if address.path == "/":
                    self._send(PAGE.read_bytes(), "text/html; charset=utf-8")
                elif address.path == "/api/status":
                    self._send(json.dumps(stub.status).encode(), "application/json")
                elif address.path == "/api/history":
                    ids = parse_qs(address.query).get("ids", [""])[0].split(",")
                    self._send(json.dumps({i: stub.history[i] for i in ids if i in stub.history}).encode(),
                               "application/json")
                else:
                    self.send_error(404)

            def _send(self, body: bytes, kind: str):
                self.send_response(200)
                self.send_header("Content-Type", kind)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        return Handler
