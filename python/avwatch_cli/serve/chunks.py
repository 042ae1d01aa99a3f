"""Reading a long key list a chunk at a time: the analysers' records are
2.5 kB each, and all of them at once (250 MB at 100,000 pipes) would stay
in the process's memory long after the refresh that read them."""

from __future__ import annotations

from typing import Iterator

from avwatch_cli.serve.nodes import Client, reader_for

CHUNK_KEYS = 5000


def chunked(keys: list[bytes]) -> list[list[bytes]]:
    return [keys[start:start + CHUNK_KEYS] for start in range(0, len(keys), CHUNK_KEYS)]


class ChunkReaders:
    """A reader per chunk: a Cluster's reader keeps the slot grouping of the
    last key list it read, so each chunk list keeps its own."""

    def __init__(self, client: Client):
        self.client = client
        self.readers: list = []

    def values(self, chunks: list[list[bytes]]) -> Iterator[list[bytes | None]]:
        """The values of each chunk in turn (Redis errors pass)."""
        for at, keys in enumerate(chunks):
            if at == len(self.readers):
                self.readers.append(reader_for(self.client))
            yield self.readers[at].values(keys)
        del self.readers[len(chunks):]
