"""serve's judge of rewritten records in C (the avwatch_serve_accel module),
when it is installed and AVWATCH_SERVE_PURE is not set to 1.

It runs Refresher.judge_channels' steps with the same results; the Python
refresher stays the reference, and judges alone without the module."""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, Callable

import orjson

from avwatch_cli.health import State, Verdict
from avwatch_cli.serve.plan import Judged
from avwatch_cli.serve.snapshot import ChannelView, PipeView, SideView

if TYPE_CHECKING:
    from avwatch_cli.serve.plan import ChannelState

# (refresher, channels, values, status_values, written, now) -> channel views
JudgeChannels = Callable[[Any, "list[ChannelState]", list, list, "list[float | None]", float, list],
                         list[ChannelView]]


def load() -> JudgeChannels | None:
    if os.environ.get("AVWATCH_SERVE_PURE") == "1":
        return None
    try:
        import avwatch_serve_accel
    except ImportError:
        return None
    avwatch_serve_accel.configure(orjson.loads, orjson.JSONDecodeError, State.OK, State.NO_SIGNAL,
                                  Verdict, Judged, SideView, PipeView, ChannelView)
    judge: JudgeChannels = avwatch_serve_accel.judge_channels
    return judge


def load_note_writes() -> Callable[..., list[float | None]] | None:
    if os.environ.get("AVWATCH_SERVE_PURE") == "1":
        return None
    try:
        import avwatch_serve_accel
    except ImportError:
        return None
    note: Callable[..., list[float | None]] = avwatch_serve_accel.note_writes
    return note


judge_channels = load()
# freshness.note_writes in C, or None.
note_writes = load_note_writes()
