"""serve's judge of rewritten records and its pass over the write times, in
C (the avwatch_serve_accel module), when it is installed and
AVWATCH_SERVE_PURE is not set to 1.

They take the steps of Refresher.judge_channels and freshness.note_writes
with the same results; the Python ones stay the reference, and do the work
alone without the module."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Callable

import orjson

from avwatch_cli.health import State, Verdict
from avwatch_cli.serve import accelerator
from avwatch_cli.serve.plan import Judged
from avwatch_cli.serve.snapshot import ChannelView, PipeView, SideView

if TYPE_CHECKING:
    from avwatch_cli.serve.plan import ChannelState

# (refresher, channels, values, status_values, written, now) -> channel views
JudgeChannels = Callable[[Any, "list[ChannelState]", list, list, "list[float | None]", float, list],
                         list[ChannelView]]


def load() -> Any:
    """The configured avwatch_serve_accel module, or None."""
    avwatch_serve_accel = accelerator.module
    if avwatch_serve_accel is None:
        return None
    avwatch_serve_accel.configure(orjson.loads, orjson.JSONDecodeError, State.OK, State.NO_SIGNAL,
                                  Verdict, Judged, SideView, PipeView, ChannelView)
    return avwatch_serve_accel


_accelerator = load()
judge_channels: JudgeChannels | None = _accelerator and _accelerator.judge_channels
# freshness.note_writes in C, or None.
note_writes: Callable[..., list[float | None]] | None = _accelerator and _accelerator.note_writes
