"""/api/status in pages: a snapshot of 100,000 pipes is some 200 MB of JSON,
more than any client wants at every refresh.  A request names which pipes it
wants (all, or those with a problem, or those matching the page's filter)
and a window of them; the counts and the events are in every answer.

Each answer is built from the snapshot alone, once per snapshot and query,
and kept with it for the other clients asking the same."""

from __future__ import annotations

import threading
import zlib
from typing import TYPE_CHECKING, Any, Mapping, NamedTuple

from avwatch_cli.health import State
from avwatch_cli.serve.reasons import reason

if TYPE_CHECKING:
    from avwatch_cli.serve.snapshot import ChannelView, PipeView, Snapshot

# Pipes per answer unless the query says otherwise, and at most.
DEFAULT_LIMIT = 1000
MAX_LIMIT = 5000
# Longest filter text taken; answers kept per snapshot.
MAX_FILTER = 200
KEPT_ANSWERS = 32
PROBLEMS = frozenset(state for state in State if state not in (State.OK, State.STOPPED))
STATE_WORDS = frozenset(state.value for state in State)
YES = ("1", "true", "yes")


class Query(NamedTuple):
    problems: bool = False
    terms: tuple[str, ...] = ()
    offset: int = 0
    limit: int = DEFAULT_LIMIT


def parse_query(arguments: Mapping[str, str], default_limit: int = DEFAULT_LIMIT,
                max_limit: int = MAX_LIMIT) -> Query:
    """The query of a request's arguments; ValueError names what is wrong."""
    try:
        offset = int(arguments.get("offset", "0"))
        limit = int(arguments.get("limit", str(default_limit)))
    except ValueError:
        raise ValueError("offset and limit are whole numbers") from None
    if offset < 0 or not 1 <= limit <= max_limit:
        raise ValueError(f"offset is 0 or more, limit 1 to {max_limit}")
    text = arguments.get("filter", "")
    if len(text) > MAX_FILTER:
        raise ValueError(f"a filter of at most {MAX_FILTER} characters")
    return Query(arguments.get("problems", "").lower() in YES, tuple(text.lower().split()), offset, limit)


def entries(snapshot: Snapshot) -> list[tuple[ChannelView, PipeView | None]]:
    """Every pipe in the snapshot's order; a channel without pipes is one entry."""
    found: list[tuple[ChannelView, PipeView | None]] = []
    for channel in snapshot.channels:
        if channel.pipes:
            found.extend([(channel, pipe) for pipe in channel.pipes])
        else:
            found.append((channel, None))
    return found


def has_problem(pipe: PipeView | None) -> bool:
    return pipe is not None and (pipe.input.state in PROBLEMS or pipe.output.state in PROBLEMS)


def haystack(snapshot: Snapshot, channel: ChannelView, pipe: PipeView | None) -> str:
    """What a filter term is looked for in, as the page looks: names, the
    source's address, reasons, codecs and resolution."""
    words = [channel.channel]
    if pipe is not None:
        source = snapshot.sources.get(pipe.id)
        words += [pipe.pipe, pipe.input.state.value, pipe.output.state.value,
                  str(source.get("uri") or "") if source else "",
                  reason("input", pipe.input.state, pipe.input.reason, source),
                  reason("output", pipe.output.state, pipe.output.reason, None, snapshot.reported.get(pipe.id))]
        for side in (pipe.input, pipe.output):
            if side.record is not None:
                words.append(" ".join(str(side.record.get(field) or "") for field in ("vcodec", "acodec", "vresolution")))
    return "\n".join(words).lower()


def matches(snapshot: Snapshot, terms: tuple[str, ...], channel: ChannelView, pipe: PipeView | None) -> bool:
    """Every term holds: a state's name selects pipes with a side in it,
    "problem" those with a problem, any other word is looked for."""
    text: str | None = None
    for term in terms:
        if term == "problem":
            if not has_problem(pipe):
                return False
        elif term in STATE_WORDS:
            if pipe is None or term not in (pipe.input.state.value, pipe.output.state.value):
                return False
        else:
            if text is None:
                text = haystack(snapshot, channel, pipe)
            if term not in text:
                return False
    return True


def selected(snapshot: Snapshot, query: Query) -> list[tuple[ChannelView, PipeView | None]]:
    every = snapshot.entries
    if query.problems:
        every = snapshot.problem_entries
    if query.terms:
        every = [(channel, pipe) for channel, pipe in every if matches(snapshot, query.terms, channel, pipe)]
    return every


def page_document(snapshot: Snapshot, query: Query) -> dict[str, Any]:
    from avwatch_cli.serve.snapshot import pipe_json
    chosen = selected(snapshot, query)
    window = chosen[query.offset:query.offset + query.limit]
    channels: list[dict[str, Any]] = []
    last: ChannelView | None = None
    for channel, pipe in window:
        if channel is not last:
            last = channel
            channels.append({"channel": channel.channel, "live": channel.live, "pipes": []})
        if pipe is not None:
            channels[-1]["pipes"].append(pipe_json(pipe, snapshot.sources.get(pipe.id), snapshot.hls.get(pipe.id),
                                                   snapshot.generated_at, snapshot.reported.get(pipe.id)))
    end = query.offset + len(window)
    document = snapshot.head_document()
    document["channels"] = channels
    document["page"] = {"offset": query.offset, "limit": query.limit, "pipes": len(chosen),
                        "next": end if end < len(chosen) else None}
    document["events"] = [event.as_json() for event in snapshot.events]
    return document


class Answers:
    """One snapshot's answers, plain and gzipped, by query."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.kept: dict[tuple[Query, bool], bytes] = {}

    def get(self, snapshot: Snapshot, query: Query, gzipped: bool) -> bytes:
        with self.lock:
            found = self.kept.get((query, gzipped))
        if found is not None:
            return found
        if gzipped:
            plain = self.get(snapshot, query, False)
            compressor = zlib.compressobj(1, zlib.DEFLATED, 31)   # 31: with a gzip header and trailer
            found = compressor.compress(plain) + compressor.flush()
        else:
            from avwatch_cli.serve.snapshot import strict_json
            found = strict_json(page_document(snapshot, query))
        with self.lock:
            if len(self.kept) >= KEPT_ANSWERS:
                self.kept.pop(next(iter(self.kept)))
            self.kept[(query, gzipped)] = found
        return found
