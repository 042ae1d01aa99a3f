"""How the demo shows the two status records: a screen redrawn in place on
a terminal, plain lines when the output goes to a file or a pipe."""

import json
import shutil
import sys
import time
from typing import NamedTuple

from demo_content import picture, sound

# In the order they give way when the terminal is small: the last first.
FIELDS = ["acodec", "vcodec", "vresolution", "vfps", "bitrate", "vbitrate", "abitrate",
          "lastts", "name", "sequence", "atime", "vtime"]
BARS = "▁▂▃▄▅▆▇█"
EVENTS_SHOWN = 10


class Shrink(NamedTuple):
    """How much of the screen to draw: the first `fields` of FIELDS, the
    graph or not, the last `log` log lines and `events` events, blank lines
    between the parts unless tight, the analysers' picture and sound rows
    or not."""
    fields: int
    graph: bool
    log: int
    events: int
    tight: bool
    content: bool = True


# From the whole screen down to what an 80x24 terminal, or a smaller one,
# holds; the first that fits the terminal is drawn.
SHRINK = [
    Shrink(len(FIELDS), True, 8, EVENTS_SHOWN, False),
    Shrink(len(FIELDS), True, 4, 5, False),
    Shrink(len(FIELDS), True, 3, 3, True),
    Shrink(8, True, 3, 3, True),       # without name, sequence, atime, vtime
    Shrink(8, False, 3, 3, True),
    Shrink(5, False, 2, 2, True),      # codecs, size, frame rate and bitrate
    Shrink(5, False, 1, 1, True),
    Shrink(5, False, 1, 1, True, False),
    Shrink(3, False, 0, 1, True, False),
]


def sparkline(values, width):
    values = values[-width:]
    top = max(values, default=0)
    if top <= 0:
        return "▁" * len(values)
    return "".join(BARS[min(len(BARS) - 1, int(value / top * (len(BARS) - 1) + 0.5))] for value in values)


def kbps(value):
    return f"{value / 1000:,.0f} kb/s" if isinstance(value, (int, float)) and value else "-"


class Samples:
    """The bitrate of each record over time, one sample a second however
    often the screen is drawn."""

    def __init__(self, period=1.0):
        self.period = period
        self.history = {}
        self.last = None

    def add(self, records):
        now = time.monotonic()
        if self.last is not None and now - self.last < self.period:
            return
        self.last = now
        for key, record in records.items():
            bitrate = record.get("bitrate") if isinstance(record, dict) else None
            self.history.setdefault(key, []).append(bitrate if isinstance(bitrate, (int, float)) else 0)


class View:
    def __init__(self, title, keys, stream=sys.stdout, content=None):
        self.title = title
        self.keys = keys  # {key: label}
        # {label: analysis record key}: what each side's analyser sees and hears.
        self.content = content or {}
        self.stream = stream
        self.live = stream.isatty()
        self.samples = Samples()
        self.started = time.monotonic()
        self.drawn_lines = 0
        self.last_shown = {}
        self.events = []
        self.frame = None  # the last frame's arguments, redrawn when an event comes
        self.closed = False

    def elapsed(self):
        return time.monotonic() - self.started

    def show(self, records, status_line, log_lines=(), health=None):
        """records: {key: decoded record or None when the key is absent};
        health: {label: (state, reason)} as avwatch serve judges each side."""
        self.samples.add({key: records.get(key) for key in self.keys})
        if self.live:
            self.frame = (records, status_line, log_lines, health or {})
            self._redraw(*self.frame)
        else:
            self._print_changes(records)

    def note(self, text):
        """An event: part of the screen while it is drawn, else a plain line."""
        line = f"{self.elapsed():6.1f}s  {text}"
        if self.live and not self.closed:
            self.events.append(line)
            if self.frame is not None:
                self._redraw(*self.frame)
            return
        self.stream.write(line + "\n")
        self.stream.flush()

    def close(self):
        """Leaves the last screen as it stands; later events follow as lines."""
        if self.live and not self.closed and self.frame is None:
            self.stream.write("".join(event + "\n" for event in self.events))
        self.closed = True

    def _print_changes(self, records):
        for key in self.keys:
            record = records.get(key)
            previous = self.last_shown.get(key, "unseen")
            if record != previous:
                self.last_shown[key] = record
                if record is None and previous != "unseen":
                    continue  # the deletion is an event of its own
                shown = "(absent)" if record is None else json.dumps(record)
                self.stream.write(f"{self.elapsed():6.1f}s  {key:<16} {shown}\n")
        self.stream.flush()

    def _redraw(self, records, status_line, log_lines, health):
        size = shutil.get_terminal_size((100, 30))
        width = size.columns
        # One line short of the height: the last line's newline would scroll
        # the frame, and with it the header, out of view.
        lines = self._fit(size.lines - 1, width, records, status_line, log_lines, health)
        out = []
        if self.drawn_lines:
            out.append(f"\x1b[{self.drawn_lines}F")  # back to the first line of the last frame
        out.extend(f"{line[:width]}\x1b[K\n" for line in lines)
        out.append("\x1b[J")
        self.stream.write("".join(out))
        self.stream.flush()
        self.drawn_lines = len(lines)

    def _fit(self, height, width, records, status_line, log_lines, health):
        """The fullest frame that fits the height: less of it level by level,
        the title and status line (with the page's address) always first."""
        for level in range(len(SHRINK)):
            lines = self._frame(SHRINK[level], width, records, status_line, log_lines, health)
            if len(lines) <= height:
                return lines
        # Smaller still: the header, what fits of the table, the newest event.
        newest = self.events[-1:]
        return lines[:max(height - len(newest), 2)] + newest

    def _frame(self, shrink, width, records, status_line, log_lines, health):
        column = max(24, (width - 16) // len(self.keys))
        gap = [] if shrink.tight else [""]
        lines = [f"{self.title}", status_line, *gap]
        lines.append(" " * 14 + "".join(f"{label:<{column}}" for label in self.keys.values()))
        if not shrink.tight:
            lines.append(" " * 14 + "".join(f"{key:<{column}}" for key in self.keys))
        if health:
            cells = [state if state == "ok" or not reason else f"{state}: {reason}"
                     for state, reason in (health.get(label, ("…", "")) for label in self.keys.values())]
            lines.append(f"  {'health':<12}" + "".join(f"{cell[:column - 1]:<{column}}" for cell in cells))
        if self.content and shrink.content:
            for row, describe in (("picture", picture), ("sound", sound)):
                cells = [describe(records.get(self.content.get(label, ""))) for label in self.keys.values()]
                lines.append(f"  {row:<12}" + "".join(f"{cell[:column - 1]:<{column}}" for cell in cells))
        for field in FIELDS[:shrink.fields]:
            lines.append(f"  {field:<12}" + "".join(f"{cell[:column - 1]:<{column}}"
                                                    for cell in self._cells(records, field)))
        if shrink.graph:
            lines.extend(gap)
            lines.append("  bitrate over time, one column a second:")
            graph_width = max(10, width - 32)
            for key, label in self.keys.items():
                history = self.samples.history.get(key, [])
                lines.append(f"  {label:<8} {sparkline(history, graph_width):<{graph_width}} "
                             f"{kbps(history[-1] if history else 0):>12}")
        if shrink.log:
            lines.extend(gap)
            lines.append("  monitor log:")
            shown = list(log_lines)[-shrink.log:] or ["(nothing yet)"]
            lines.extend(f"    {line[:width - 5]}" for line in shown)
        lines.extend(gap)
        lines.extend(self.events[-shrink.events:])
        return lines

    def _cells(self, records, field):
        cells = []
        for key in self.keys:
            record = records.get(key)
            if record is None:
                cells.append("(absent)" if field == "acodec" else "")
            elif not isinstance(record, dict) or field not in record:
                cells.append("·")
            else:
                value = record[field]
                text = json.dumps(value) if not isinstance(value, str) else value or '""'
                if field.endswith("bitrate"):
                    text += f"  ({kbps(value)})" if value else ""
                cells.append(text)
        return cells
