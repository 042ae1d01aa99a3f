"""How the demo shows the two status records: a screen redrawn in place on
a terminal, plain lines when the output goes to a file or a pipe."""

import json
import shutil
import sys
import time

FIELDS = ["acodec", "vcodec", "vresolution", "vfps", "vbitrate", "abitrate", "bitrate",
          "lastts", "name", "sequence", "atime", "vtime"]
BARS = "▁▂▃▄▅▆▇█"
EVENTS_SHOWN = 10


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
    def __init__(self, title, keys, stream=sys.stdout):
        self.title = title
        self.keys = keys  # {key: label}
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
        width = shutil.get_terminal_size((100, 30)).columns
        column = max(24, (width - 16) // len(self.keys))
        lines = [f"{self.title}", status_line, ""]
        lines.append(" " * 14 + "".join(f"{label:<{column}}" for label in self.keys.values()))
        lines.append(" " * 14 + "".join(f"{key:<{column}}" for key in self.keys))
        if health:
            cells = [state if state == "ok" or not reason else f"{state}: {reason}"
                     for state, reason in (health.get(label, ("…", "")) for label in self.keys.values())]
            lines.append(f"  {'health':<12}" + "".join(f"{cell[:column - 1]:<{column}}" for cell in cells))
        for field in FIELDS:
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
            lines.append(f"  {field:<12}" + "".join(f"{cell[:column - 1]:<{column}}" for cell in cells))
        lines.append("")
        lines.append("  bitrate over time, one column a second:")
        graph_width = max(10, width - 32)
        for key, label in self.keys.items():
            history = self.samples.history.get(key, [])
            lines.append(f"  {label:<8} {sparkline(history, graph_width):<{graph_width}} "
                         f"{kbps(history[-1] if history else 0):>12}")
        lines.append("")
        lines.append("  monitor log:")
        lines.extend(f"    {line[:width - 5]}" for line in (log_lines or ["(nothing yet)"]))
        lines.append("")
        lines.extend(self.events[-EVENTS_SHOWN:])
        out = []
        if self.drawn_lines:
            out.append(f"\x1b[{self.drawn_lines}F")  # back to the first line of the last frame
        out.extend(f"{line[:width]}\x1b[K\n" for line in lines)
        out.append("\x1b[J")
        self.stream.write("".join(out))
        self.stream.flush()
        self.drawn_lines = len(lines)
