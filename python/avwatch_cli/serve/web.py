"""The HTTP side: every answer comes from the latest snapshot, never from
Redis, but for one pipe's details (/api/pipe), which read that pipe's
records.  GET and HEAD only; any other path is 404, any other method 405.

Every client costs bounded memory and time: bodies are built once per
snapshot and shared, written in slices that each must leave within
WRITE_STALL_SECONDS (and the whole within WRITE_TOTAL_SECONDS), so a client
that does not read holds no copy of a body and is dropped; history requests
are capped in size and number and run on a pool of their own."""

from __future__ import annotations

import asyncio
import base64
import hashlib
import json
import re
from importlib import resources
from typing import Callable

from aiohttp import web
from prometheus_client import CONTENT_TYPE_LATEST

from avwatch_cli.serve.exposition import Exposition
from avwatch_cli.serve.history import History
from avwatch_cli.serve.snapshot import Snapshot, strict_json
from avwatch_cli.serve.status_pages import parse_query
from avwatch_cli.serve.workers import DaemonPool

__all__ = ["Exposition", "make_app"]

# The page draws at most 200 rows and asks for their history only.
MAX_HISTORY_IDS = 200
# History requests running or waiting at once; more are told to come back.
MAX_HISTORY_REQUESTS = 8
# Pipe detail requests (each reads its records from Redis) running or waiting at once.
MAX_PIPE_REQUESTS = 8
WRITE_SLICE = 256 * 1024
WRITE_STALL_SECONDS = 10.0
WRITE_TOTAL_SECONDS = 60.0
FALLBACK_PAGE = b"<!doctype html><title>avwatch</title><p>No page installed; see /api/status and /metrics.</p>"
INLINE_SCRIPT = re.compile(rb"<script>(.*?)</script>", re.DOTALL)


def page(name: str = "index.html") -> bytes:
    try:
        return resources.files("avwatch_cli.serve").joinpath(f"static/{name}").read_bytes()
    except OSError:
        return FALLBACK_PAGE


def security_headers(index: bytes) -> dict[str, str]:
    """The page is self-contained: nothing from elsewhere may load, and of
    scripts only the page's own (named by their hashes) may run."""
    hashes = " ".join(f"'sha256-{base64.b64encode(hashlib.sha256(script).digest()).decode()}'"
                      for script in INLINE_SCRIPT.findall(index))
    return {
        "X-Content-Type-Options": "nosniff",
        "Content-Security-Policy": f"default-src 'self'; script-src {hashes or chr(39) + 'none' + chr(39)}; "
                                   "style-src 'self' 'unsafe-inline'; img-src 'self' data:; "
                                   "frame-ancestors 'none'; base-uri 'none'; form-action 'none'",
    }


def wants_gzip(request: web.Request) -> bool:
    return any(coding.split(";")[0].strip().lower() == "gzip"
               for coding in request.headers.get("Accept-Encoding", "").split(","))


async def send(request: web.Request, chunks: list[bytes], content_type: str, *, gzipped: bool = False,
               no_store: bool = False) -> web.StreamResponse:
    """Writes shared bodies without copying them, dropping a client that stops reading."""
    response = web.StreamResponse(headers={"Content-Type": content_type, "Vary": "Accept-Encoding"})
    if gzipped:
        response.headers["Content-Encoding"] = "gzip"
    if no_store:
        response.headers["Cache-Control"] = "no-store"
    response.content_length = sum(len(chunk) for chunk in chunks)
    await response.prepare(request)
    if request.method == "HEAD":
        return response
    loop = asyncio.get_running_loop()
    deadline = loop.time() + WRITE_TOTAL_SECONDS
    try:
        for chunk in chunks:
            view = memoryview(chunk)
            for start in range(0, len(view), WRITE_SLICE):
                async with asyncio.timeout(min(WRITE_STALL_SECONDS, deadline - loop.time())):
                    await response.write(view[start:start + WRITE_SLICE])
        await response.write_eof()
    except TimeoutError:
        if request.transport is not None:
            request.transport.abort()
    return response


def make_app(latest: Callable[[], Snapshot], history: History,
             pipe_details: Callable[[str, str], dict | None] | None = None) -> web.Application:
    exposition = Exposition(latest)
    index = page()
    pipe_page = page("pipe.html")
    headers_of_every_answer = security_headers(index + pipe_page)
    # The snapshot bodies are built once per snapshot: two threads let /metrics
    # and /api/status be built side by side.  History has threads of its own.
    bodies = DaemonPool("bodies", 2)
    histories = DaemonPool("history", 2)
    history_slots = asyncio.Semaphore(MAX_HISTORY_REQUESTS)
    details = DaemonPool("pipe", 2)
    detail_slots = asyncio.Semaphore(MAX_PIPE_REQUESTS)

    async def in_pool(pool: DaemonPool, work: Callable):
        return await asyncio.get_running_loop().run_in_executor(pool, work)

    async def root(request: web.Request) -> web.Response:
        return web.Response(body=index, content_type="text/html", charset="utf-8")

    async def snapshot_time(request: web.Request) -> web.Response:
        # What the page polls between its fetches of /api/status, to show a
        # snapshot (an input that stopped, say) as soon as serve made it.
        return web.json_response({"generated_at": latest().generated_at}, headers={"Cache-Control": "no-store"})

    async def status(request: web.Request) -> web.StreamResponse:
        try:
            query = parse_query(request.query)
        except ValueError as error:
            raise web.HTTPBadRequest(text=f"{error}\n") from None
        snapshot = latest()
        gzipped = wants_gzip(request)
        body = await in_pool(bodies, lambda: snapshot.status(query, gzipped))
        return await send(request, [body], "application/json", gzipped=gzipped, no_store=True)

    async def pipe_history(request: web.Request) -> web.Response:
        ids = [pipe for pipe in request.query.get("ids", "").split(",") if pipe]
        if len(ids) > MAX_HISTORY_IDS:
            raise web.HTTPBadRequest(text=f"at most {MAX_HISTORY_IDS} ids at once\n")
        if history_slots.locked():
            raise web.HTTPServiceUnavailable(text="too many history requests; try again\n",
                                             headers={"Retry-After": "1"})
        async with history_slots:
            text = await in_pool(histories, lambda: json.dumps(history.get(ids), allow_nan=False))
        return web.json_response(text=text, headers={"Cache-Control": "no-store"})

    async def one_pipe_page(request: web.Request) -> web.Response:
        return web.Response(body=pipe_page, content_type="text/html", charset="utf-8")

    async def one_pipe(request: web.Request) -> web.Response:
        channel, pipe = request.query.get("channel"), request.query.get("pipe")
        if channel is None or pipe is None:
            raise web.HTTPBadRequest(text="give the pipe as ?channel=ID&pipe=NAME\n")
        if pipe_details is None:
            raise web.HTTPNotFound(text="no pipe details here\n")
        if detail_slots.locked():
            raise web.HTTPServiceUnavailable(text="too many pipe requests; try again\n",
                                             headers={"Retry-After": "1"})
        async with detail_slots:
            document = await in_pool(details, lambda: pipe_details(channel, pipe))
            if document is None:
                raise web.HTTPNotFound(text=strict_json({"error": "no such pipe", "channel": channel,
                                                         "pipe": pipe}).decode(), content_type="application/json")
            body = await in_pool(details, lambda: strict_json(document))
        return web.Response(body=body, content_type="application/json", headers={"Cache-Control": "no-store"})

    async def metrics(request: web.Request) -> web.StreamResponse:
        gzipped = wants_gzip(request)
        body = await in_pool(bodies, exposition.current)
        chunks = await in_pool(bodies, body.gzip_chunks) if gzipped else body.chunks()
        return await send(request, chunks, CONTENT_TYPE_LATEST, gzipped=gzipped)

    async def add_headers(request: web.Request, response: web.StreamResponse) -> None:
        # Every answer, errors (404, 405) and streamed bodies included.
        response.headers.update(headers_of_every_answer)

    async def stop_pools(app: web.Application) -> None:
        bodies.shutdown(wait=False)
        histories.shutdown(wait=False)
        details.shutdown(wait=False)

    app = web.Application()
    app.on_response_prepare.append(add_headers)
    for path, handler in (("/", root), ("/api/status", status), ("/api/snapshot", snapshot_time),
                          ("/api/history", pipe_history),
                          ("/metrics", metrics), ("/pipe", one_pipe_page), ("/api/pipe", one_pipe)):
        app.router.add_get(path, handler)   # HEAD comes with GET
    app.on_cleanup.append(stop_pools)
    return app
