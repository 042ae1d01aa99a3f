"""The HTTP side: every answer comes from the latest snapshot, never from
Redis.  GET and HEAD only; any other path is 404, any other method 405."""

from __future__ import annotations

import asyncio
import json
import threading
from importlib import resources
from typing import Callable, Iterable, Sequence

from aiohttp import web
from prometheus_client import CONTENT_TYPE_LATEST, generate_latest
from prometheus_client.core import Metric
from prometheus_client.registry import Collector

from avwatch_cli.serve.history import History
from avwatch_cli.serve.metrics import sources
from avwatch_cli.serve.snapshot import Snapshot

MAX_HISTORY_IDS = 1000
FALLBACK_PAGE = b"<!doctype html><title>avwatch</title><p>No page installed; see /api/status and /metrics.</p>"
SECURITY_HEADERS = {
    "X-Content-Type-Options": "nosniff",
    # The page is self-contained: nothing from elsewhere may load or run.
    "Content-Security-Policy": "default-src 'self'; script-src 'self' 'unsafe-inline'; "
                               "style-src 'self' 'unsafe-inline'; img-src 'self' data:; frame-ancestors 'none'",
}


class Exposition:
    """The /metrics body: rendered at most once per snapshot, however many
    scrapers ask, and then only the families whose rows changed since the
    last rendering; the others are taken as they were rendered then."""

    def __init__(self, latest: Callable[[], Snapshot]):
        self.latest = latest
        self.rendered: dict[str, tuple[Sequence[tuple], bytes]] = {}   # by family name: rows, text
        self.cached: tuple[Snapshot, bytes] | None = None
        self.lock = threading.Lock()

    def body(self) -> bytes:
        snapshot = self.latest()
        with self.lock:
            if self.cached is None or self.cached[0] is not snapshot:
                self.cached = (snapshot, self.render(snapshot))
            return self.cached[1]

    def render(self, snapshot: Snapshot) -> bytes:
        rendered = {}
        for source in sources(snapshot):
            last = self.rendered.get(source.name)
            if last is None or last[0] != source.rows:
                last = (source.rows, generate_latest(OneFamily(source.family())))
            rendered[source.name] = last
        self.rendered = rendered   # a family gone from the snapshot is forgotten
        return b"".join(text for _, text in rendered.values())


class OneFamily(Collector):
    def __init__(self, family: Metric):
        self.family = family

    def collect(self) -> Iterable[Metric]:
        return (self.family,)


def page() -> bytes:
    try:
        return resources.files("avwatch_cli.serve").joinpath("static/index.html").read_bytes()
    except OSError:
        return FALLBACK_PAGE


def make_app(latest: Callable[[], Snapshot], history: History) -> web.Application:
    exposition = Exposition(latest)
    index = page()

    async def root(request: web.Request) -> web.Response:
        return web.Response(body=index, content_type="text/html", charset="utf-8")

    async def status(request: web.Request) -> web.Response:
        body = await asyncio.to_thread(lambda: latest().status_json)
        return web.Response(body=body, content_type="application/json",
                            headers={"Cache-Control": "no-store"})

    async def pipe_history(request: web.Request) -> web.Response:
        ids = [pipe for pipe in request.query.get("ids", "").split(",") if pipe][:MAX_HISTORY_IDS]
        # Off the event loop like the other bodies: a page's rows take tens of ms.
        text = await asyncio.to_thread(lambda: json.dumps(history.get(ids)))
        return web.json_response(text=text, headers={"Cache-Control": "no-store"})

    async def metrics(request: web.Request) -> web.Response:
        body = await asyncio.to_thread(exposition.body)
        return web.Response(body=body, headers={"Content-Type": CONTENT_TYPE_LATEST})

    @web.middleware
    async def headers(request: web.Request, handler):
        response = await handler(request)
        response.headers.update(SECURITY_HEADERS)
        return response

    app = web.Application(middlewares=[headers])
    for path, handler in (("/", root), ("/api/status", status), ("/api/history", pipe_history),
                          ("/metrics", metrics)):
        app.router.add_get(path, handler)   # HEAD comes with GET
    return app
