"""Channels and pipes read from key names, colons in ids and pipe names included."""

import pytest

from avwatch_cli.serve.keys import Discoverer, discover


def layout_of(keys):
    """{channel: {pipe: (source, input, output)}} with the key names found."""
    return {channel: {pipe: (found.source, found.input, found.output) for pipe, found in pipes.items()}
            for channel, pipes in discover(keys).channels.items()}


@pytest.mark.parametrize("keys, expected", [
    # The plain layout; a channel with no pipe yet; keys outside the layout.
    (["ch:7", "ch:7:input:main", "ch:7:in:main", "ch:7:out:main", "ch:8", "other", "ch:"],
     {"7": {"main": ("ch:7:input:main", "ch:7:in:main", "ch:7:out:main")}, "8": {}}),
    # ":input:" is not ":in:".
    (["ch:7", "ch:7:input:in"], {"7": {"in": ("ch:7:input:in", None, None)}}),
    # Colons in ids and pipe names.
    (["ch:tenant:7", "ch:tenant:7:in:a:b"], {"tenant:7": {"a:b": (None, "ch:tenant:7:in:a:b", None)}}),
    # Both readings possible: the one whose channel record exists wins.
    (["ch:a", "ch:a:in:b:out:c"], {"a": {"b:out:c": (None, "ch:a:in:b:out:c", None)}}),
    (["ch:a:in:b", "ch:a:in:b:out:c"], {"a:in:b": {"c": (None, None, "ch:a:in:b:out:c")}}),
    # Both records exist: the longer id wins; the key the other belongs to stays a status key.
    (["ch:a", "ch:a:in:b", "ch:a:in:b:out:c"],
     {"a": {"b": (None, "ch:a:in:b", None)}, "a:in:b": {"c": (None, None, "ch:a:in:b:out:c")}}),
    # No channel record at all: the last marker; the pipe shows under a channel without a record.
    (["ch:x:in:y:out:z"], {"x:in:y": {"z": (None, None, "ch:x:in:y:out:z")}}),
    (["ch:7:in:main"], {"7": {"main": (None, "ch:7:in:main", None)}}),
    # A marker at the very start belongs to no id.
    (["ch::in:p"], {":in:p": {}}),
    # Thumbnails (JPEG bytes) are no channel records, whichever channel has a record.
    (["ch:7", "ch:7:in:main", "ch:7:thumb:main:input", "ch:7:thumb:main:output", "ch:9:thumb:main:output"],
     {"7": {"main": (None, "ch:7:in:main", None)}}),
])
def test_discover(keys, expected):
    assert layout_of(keys) == expected


def test_kept_readings_follow_the_key_set():
    """The discoverer that remembers readings answers as a fresh one does
    when keys come and go."""
    discoverer = Discoverer()
    steps = [["ch:t:in:7", "ch:t:in:7:in:main"], ["ch:t:in:7:in:main"], ["ch:t", "ch:t:in:7:in:main"],
             ["ch:t:in:7", "ch:t:in:7:in:main"]]
    for keys in steps:
        assert discoverer(keys).channels == discover(keys).channels
