"""Reading a long key list a chunk at a time: the analysers' records are
2.5 kB each, and all of them at once (250 MB at 100,000 pipes) would stay
in the process's memory long after the refresh that read them."""

from __future__ import annotations

from collections import deque
from concurrent.futures import Executor, Future
from typing import Iterator

from avwatch_cli.serve.nodes import Client, reader_for
from avwatch_cli.serve.reads import settle

CHUNK_KEYS = 5000
# Chunks read ahead of the one being parsed, on connections of their own.
AHEAD = 2


def chunked(keys: list[bytes]) -> list[list[bytes]]:
    return [keys[start:start + CHUNK_KEYS] for start in range(0, len(keys), CHUNK_KEYS)]


class ChunkReaders:
    """A reader per chunk: a Cluster's reader keeps the slot grouping of the
    last key list it read, so each chunk list keeps its own."""

    def __init__(self, client: Client):
        self.client = client
        self.readers: list = []

    def values(self, chunks: list[list[bytes]], pool: Executor | None = None) -> Iterator[list[bytes | None]]:
        """The values of each chunk in turn (Redis errors pass); with a
        pool, the next AHEAD chunks are read while one is parsed."""
        while len(self.readers) < len(chunks):
            self.readers.append(reader_for(self.client))
        del self.readers[len(chunks):]
        if pool is None:
            for reader, keys in zip(self.readers, chunks):
                yield reader.values(keys)
            return
        pending: deque[Future] = deque()
        asked = 0
        try:
            for _ in chunks:
                while asked < len(chunks) and len(pending) <= AHEAD:
                    pending.append(pool.submit(self.readers[asked].values, chunks[asked]))
                    asked += 1
                yield pending.popleft().result()
        finally:
            # A reader is never used by two threads at once: the next refresh waits for these.
            settle(pending)
