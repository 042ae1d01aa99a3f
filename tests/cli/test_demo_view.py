"""The demo's screen fits the terminal it is given, its header (with the
page's address) always on the first lines."""

import io
import re
import time

import pytest

from demo_view import View

TITLE = "avwatch demo: channel 42, pipe main; live page at http://127.0.0.1:8080/"
STATUS = "12.0 s of 60; Ctrl-C ends the demo"
KEYS = {"ch:42:in:main": "input", "ch:42:out:main": "output"}
RECORD = {"acodec": "aac", "vcodec": "h264", "vresolution": "640x360", "vfps": 25, "vbitrate": 900000,
          "abitrate": 128000, "bitrate": 1100000, "lastts": "segment-000012.ts", "name": "main",
          "sequence": 12, "atime": 1.5, "vtime": 1.5}
CONTENT = {"input": "ch:42:ts:main", "output": "ch:42:hls:main"}


def black_and_silent() -> dict:
    now = time.time()
    return {"black": True, "frozen": True, "silent": True, "loudness": None,
            "content": {"video": {"black_since": now - 12.2, "frozen_since": now - 11.2},
                        "audio": [{"silent_since": now - 4.2}]}}


CLEAN = {"black": False, "frozen": False, "silent": False, "loudness": -20.04,
         "content": {"video": {"black_since": None, "frozen_since": None}, "audio": [{"silent_since": None}]}}
LOG = [f"18:00:{second:02} INFO input: state line number {second} " + "x" * 60 for second in range(30)]


class Terminal(io.StringIO):
    def isatty(self):
        return True


def frames(output: str) -> list[list[str]]:
    """Each drawn frame as its lines, control sequences removed."""
    drawn = re.split(r"\x1b\[\d+F", output)
    return [re.sub(r"\x1b\[[KJ]", "", frame).split("\n")[:-1] for frame in drawn if frame]


@pytest.mark.parametrize("content", [None, CONTENT], ids=["records", "with-content"])
@pytest.mark.parametrize("columns, lines", [(80, 24), (100, 30), (132, 50), (60, 14), (40, 8)])
def test_every_frame_fits_with_its_header(monkeypatch, columns, lines, content):
    monkeypatch.setenv("COLUMNS", str(columns))
    monkeypatch.setenv("LINES", str(lines))
    terminal = Terminal()
    view = View(TITLE, KEYS, terminal, content=content)
    for step in range(15):
        view.note(f"event {step}: something happened to the pipe")
        view.show({"ch:42:in:main": RECORD, "ch:42:out:main": None, "ch:42:ts:main": black_and_silent()}, STATUS, LOG[:step * 2],
                  {"input": ("ok", ""), "output": ("missing", "no record while the channel is live")})
    drawn = frames(terminal.getvalue())
    assert len(drawn) == 29   # the first event comes before the first screen
    for frame in drawn:
        # The newline after the last line would scroll a frame as high as the terminal.
        assert len(frame) <= lines - 1, frame
        assert frame[:2] == [TITLE[:columns], STATUS[:columns]]
        assert all(len(line) <= columns for line in frame)
    # The newest event stays in view, however small the terminal.
    assert any("event 14" in line for line in drawn[-1])


def test_a_large_terminal_shows_everything(monkeypatch):
    monkeypatch.setenv("COLUMNS", "160")
    monkeypatch.setenv("LINES", "60")
    terminal = Terminal()
    View(TITLE, KEYS, terminal).show({"ch:42:in:main": RECORD}, STATUS, LOG[:3], {})
    screen = "\n".join(frames(terminal.getvalue())[-1])
    for field in RECORD:
        assert f"  {field} " in screen
    assert "bitrate over time" in screen and "monitor log:" in screen


def test_the_analysers_picture_and_sound_beside_each_side(monkeypatch):
    monkeypatch.setenv("COLUMNS", "120")
    monkeypatch.setenv("LINES", "60")
    terminal = Terminal()
    View(TITLE, KEYS, terminal, content=CONTENT).show(
        {"ch:42:in:main": RECORD, "ch:42:out:main": RECORD, "ch:42:ts:main": black_and_silent(),
         "ch:42:hls:main": CLEAN}, STATUS)
    rows = {line.split()[0]: re.split(r"\s{2,}", line.strip())[1:]
            for line in frames(terminal.getvalue())[-1] if line.startswith("  ") and line.split()}
    assert rows["picture"] == ["black 12 s, frozen 11 s", "moving"]
    assert rows["sound"] == ["silent 4 s", "-20.0 LUFS"]
    # Before a record, or before the analyser decoded anything: a dash.
    terminal = Terminal()
    View(TITLE, KEYS, terminal, content=CONTENT).show(
        {"ch:42:in:main": RECORD, "ch:42:ts:main": {"black": None, "silent": None}}, STATUS)
    screen = frames(terminal.getvalue())[-1]
    assert [line.split() for line in screen if line.split()[:1] in (["picture"], ["sound"])] == \
        [["picture", "-", "-"], ["sound", "-", "-"]]
