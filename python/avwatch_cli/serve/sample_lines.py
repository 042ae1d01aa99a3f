"""Sample lines of per-pipe families written as prometheus_client's
generate_latest writes them (labels sorted by name, values by
floatToGoString), a few times faster: a scrape of 100,000 pipes holds some
three million lines, most of them rewritten at every refresh."""

from __future__ import annotations

from typing import Callable, Sequence

from prometheus_client.utils import floatToGoString as go_float

Lines = Callable[[Sequence[tuple]], str]
# The values most samples have (flags, counters and rates at 0), written
# without a call: `COMMON.get(value) or go_float(value)`.  No value here is
# ever -0.0, which would compare equal to 0.0 and be written "-0.0".
COMMON = {0.0: "0.0", 1.0: "1.0"}


def escaped(value: str) -> str:
    if "\\" in value or "\n" in value or '"' in value:
        return value.replace("\\", r"\\").replace("\n", r"\n").replace('"', r'\"')
    return value


def pipe_lines(name: str) -> Lines:
    """Rows (channel, pipe, value)."""
    def lines(rows: Sequence[tuple]) -> str:
        common = COMMON.get
        return "".join([f'{name}{{channel="{escaped(channel)}",pipe="{escaped(pipe)}"}} '
                        f'{common(value) or go_float(value)}\n' for channel, pipe, value in rows])
    return lines


def labelled_lines(name: str, label: str) -> Lines:
    """Rows (channel, pipe, the label's value, value), for a label that sorts
    between "channel" and "pipe"."""
    assert "channel" < label < "pipe"

    def lines(rows: Sequence[tuple]) -> str:
        common = COMMON.get
        return "".join([f'{name}{{channel="{escaped(channel)}",{label}="{escaped(extra)}",pipe="{escaped(pipe)}"}} '
                        f'{common(value) or go_float(value)}\n' for channel, pipe, extra, value in rows])
    return lines
