"""The /metrics body, built at most once per snapshot and shared by every
client, plain or gzip-compressed.

Each family is cut into blocks of rows; a block is rendered and compressed
again only when its rows changed since the last build, the others are taken
as they were.  The compressed body is the blocks' raw deflate streams one
after the other: each ends with a full flush (byte-aligned, no reference to
what came before), so together they are one valid deflate stream, closed by
an empty final block and wrapped in a gzip header and trailer."""

from __future__ import annotations

import struct
import threading
import zlib
from functools import partial
from typing import Callable, Iterable, NamedTuple, Sequence

from prometheus_client import generate_latest
from prometheus_client.core import Metric
from prometheus_client.registry import Collector

from avwatch_cli.serve.metrics import Source, sources
from avwatch_cli.serve.snapshot import Snapshot

# Rows per block: small enough that one changed pipe redoes little, large
# enough that each deflate stream compresses well (a health block is 6,000 lines).
BLOCK_ROWS = 1000
COMPRESSION_LEVEL = 1   # the body is mostly repeated label text: level 1 gets nearly all of it
GZIP_HEADER = b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff"   # no name, no time, OS unknown
FINAL_BLOCK = b"\x03\x00"                                    # an empty last block, fixed codes


class Piece(NamedTuple):
    rows: object          # what it was rendered from (see fingerprint), to compare with the next rows
    text: bytes
    deflated: bytes


def fingerprint(rows: object) -> object:
    """What a piece keeps of its rows: their hash where they have one (the
    rows of 100,000 pipes' blocks would take more memory than the text),
    else the rows themselves (the few families rendered whole)."""
    if isinstance(rows, list):
        try:
            return hash(tuple(rows))
        except TypeError:
            pass
    return rows


def piece(rows: object, text: bytes) -> Piece:
    compressor = zlib.compressobj(COMPRESSION_LEVEL, zlib.DEFLATED, -15)
    return Piece(rows, text, compressor.compress(text) + compressor.flush(zlib.Z_FULL_FLUSH))


class Body:
    """One snapshot's exposition, as pieces written one after the other."""

    def __init__(self, pieces: list[Piece]):
        self.pieces = pieces
        self.length = sum(len(found.text) for found in pieces)
        self.compressed: list[bytes] | None = None
        self.lock = threading.Lock()

    def chunks(self) -> list[bytes]:
        return [found.text for found in self.pieces]

    def gzip_chunks(self) -> list[bytes]:
        """The gzip member, made once: only the checksum is computed over the text."""
        with self.lock:
            if self.compressed is None:
                crc = 0
                for found in self.pieces:
                    crc = zlib.crc32(found.text, crc)
                trailer = struct.pack("<II", crc, self.length & 0xFFFFFFFF)
                self.compressed = [GZIP_HEADER, *(found.deflated for found in self.pieces), FINAL_BLOCK, trailer]
            return self.compressed

    def text(self) -> bytes:
        return b"".join(self.chunks())


class OneFamily(Collector):
    def __init__(self, family: Metric):
        self.family = family

    def collect(self) -> Iterable[Metric]:
        return (self.family,)


def whole_family(source: Source) -> bytes:
    return generate_latest(OneFamily(source.family()))


def family_header(source: Source) -> bytes:
    """HELP and TYPE of a family whose rows are rendered in blocks."""
    return generate_latest(OneFamily(source.make([])))


def block_lines(lines: Callable[[Sequence[tuple]], str], block: Sequence[tuple]) -> bytes:
    return lines(block).encode()


class Exposition:
    def __init__(self, latest: Callable[[], Snapshot]):
        self.latest = latest
        self.rendered: dict[tuple[str, int], Piece] = {}   # by family name and first row
        self.cached: tuple[Snapshot, Body] | None = None
        self.lock = threading.Lock()

    def current(self) -> Body:
        snapshot = self.latest()
        with self.lock:
            if self.cached is None or self.cached[0] is not snapshot:
                self.cached = None   # the old body may go while the new one is built
                self.cached = (snapshot, self.build(snapshot))
            return self.cached[1]

    def body(self) -> bytes:
        return self.current().text()

    def gzipped(self) -> bytes:
        return b"".join(self.current().gzip_chunks())

    def build(self, snapshot: Snapshot) -> Body:
        rendered: dict[tuple[str, int], Piece] = {}
        pieces = []
        for source in sources(snapshot):
            blocks: list[tuple[int, object, Callable[[], bytes]]]
            if source.lines is None:
                blocks = [(-1, source.rows, partial(whole_family, source))]
            else:
                rows, lines = source.rows, source.lines
                blocks = [(-2, None, partial(family_header, source))] + [
                    (start, block, partial(block_lines, lines, block))
                    for start in range(0, len(rows), BLOCK_ROWS)
                    for block in (rows[start:start + BLOCK_ROWS],)]
            for start, rows_of_block, render in blocks:
                key = (source.name, start)
                last = self.rendered.get(key)
                kept = fingerprint(rows_of_block)
                if last is None or last.rows != kept:
                    last = piece(kept, render())
                rendered[key] = last
                pieces.append(last)
        self.rendered = rendered   # a family or block gone from the snapshot is forgotten
        return Body(pieces)
