"""The live page in a real headless Chromium: rows and health badges, problems
first, records shown as text, the Redis banner, and the row cap that keeps
10,000 pipes usable."""

import os
import time

import pytest

import browser
from page_stub import EMPTY, GOOD, GOOD_OUT, PageStub, side

HOSTILE_CODEC = '<img src=x onerror="window.__pwned=1">'
HOSTILE_RAW = '<script>window.__pwned=2</script>{"bitrate":'
HOSTILE_CHANNEL = "<b onclick=x>7</b>"


@pytest.fixture(scope="module")
def chrome():
    if (why := browser.missing()) is not None:
        pytest.fail(why)
    client = browser.Browser()
    yield client
    client.close()


@pytest.fixture
def stub():
    server = PageStub()
    yield server
    server.close()


def pipe(pid, name, input_side, output_side):
    return {"id": pid, "pipe": name, "input": input_side, "output": output_side}


def channel(cid, live, *pipes):
    return {"channel": cid, "live": live, "pipes": list(pipes)}


def sample_channels():
    ok_out = side("ok", GOOD_OUT)
    return [
        channel("1", True, pipe("p1", "main", side("ok", GOOD), ok_out)),
        channel("2", True, pipe("p2", "main", side("no_signal", EMPTY, reason="the probe got no answer"), ok_out)),
        channel("3", True, pipe("p3", "main", side("malformed", None, HOSTILE_RAW, "not JSON"), ok_out)),
        channel("4", True, pipe("p4", "main", side("ok", dict(GOOD, vcodec=HOSTILE_CODEC)), ok_out)),
        channel("5", True, pipe("p5", "main", side("missing", reason="no record"),
                                side("silent", GOOD_OUT, reason="no write for 42 s"))),
        channel("6", False, pipe("p6", "main", side("stopped"), side("stopped"))),
        channel(HOSTILE_CHANNEL, True, pipe("p7", "<i>alt</i>", side("ok", GOOD), ok_out)),
    ]


def test_rows_badges_and_records_as_text(chrome, stub, tmp_path):
    now = time.time()
    stub.publish(sample_channels(), events=[
        {"time": now, "channel": "2", "pipe": "main", "side": "input", "from": "ok", "to": "no_signal",
         "reason": "the probe got no answer"}])
    stub.history = {f"p{n}": {"t": [now - 8, now - 6, now - 4, now - 2, now],
                             "input": [1e6, 1.1e6, None, 1.2e6, 1.3e6], "output": [9e5, 1e6, 1e6, 1.1e6, 1e6]}
                    for n in range(1, 8)}
    chrome.open(stub.url)
    rows = chrome.wait_for(lambda: (r := chrome.rows()) and all(all(r_["lines"]) for r_ in r) and r,
                           what="rows with sparklines")

    # Problems first (the worst side decides), stopped last; both sides in words and colour.
    order = [row["who"].split("\n")[0] for row in rows]
    assert order == ["2", "5", "3", HOSTILE_CHANNEL, "1", "4", "6"]
    states = {row["who"].split("\n")[0]: [state for state, _ in row["badges"]] for row in rows}
    assert states["5"] == ["missing", "silent"] and states["6"] == ["stopped", "stopped"]
    words = {state: text for row in rows for state, text in zip(
        [s for s, _ in row["badges"]], [t for _, t in row["badges"]])}
    assert words["no_signal"] == "no signal" and words["malformed"] == "malformed"
    colours = {state: colour for row in rows for (state, _), colour in zip(row["badges"], row["colours"])}
    assert len(set(colours.values())) == len(colours), colours

    by_channel = {row["who"].split("\n")[0]: row for row in rows}
    assert "h264 · aac · 640x360 · 25 fps" in by_channel["1"]["input"]
    assert "1.23 Mb/s" in by_channel["1"]["input"] and "segment 12.ts" in by_channel["1"]["output"]

    # Markup from Redis is shown literally and never runs.
    assert HOSTILE_CODEC in by_channel["4"]["input"]
    assert HOSTILE_RAW in by_channel["3"]["input"]
    assert "<i>alt</i>" in by_channel[HOSTILE_CHANNEL]["who"]
    assert chrome.script("return window.__pwned") is None
    assert not chrome.find("#rows img, #rows script, #rows b, #rows i")

    # A gap in the history breaks the input line into two strokes.
    assert by_channel["1"]["lines"][0].count("M") == 2
    assert "2 / main input" in chrome.text("#events") and "notifications" in chrome.text("#freshness")
    assert not chrome.text("#banner")
    chrome.screenshot(tmp_path / "serve.png")
    if target := os.environ.get("AVWATCH_SCREENSHOT"):
        chrome.screenshot(target)


def test_banner_while_redis_is_unreachable(chrome, stub):
    stub.publish(sample_channels(), redis_up=False, error="Error 111 connecting to 127.0.0.1:6379. Connection refused.")
    chrome.open(stub.url)
    banner = chrome.wait_for(lambda: chrome.text("#banner"), what="the banner")
    assert "Redis is unreachable" in banner and "Connection refused" in banner
    stub.publish(sample_channels())
    chrome.wait_for(lambda: not chrome.text("#banner"), what="the banner's end")


def test_ten_thousand_pipes_draw_a_bounded_table_and_filter(chrome, stub):
    good = pipe("", "main", side("ok", GOOD), side("ok", GOOD_OUT))
    channels = [channel(f"c{n}", True, dict(good, id=f"p{n}")) for n in range(10_000)]
    for n in (17, 4242, 9999):
        channels[n]["pipes"][0]["output"] = side("no_signal", dict(GOOD_OUT, bitrate=0))
    stub.publish(channels)
    chrome.open(stub.url)
    rows = chrome.wait_for(chrome.rows, what="rows")
    assert len(rows) == 200
    assert [row["who"].split("\n")[0] for row in rows[:3]] == ["c17", "c4242", "c9999"]
    assert "9,800 more — use the filter" in chrome.text("#note")

    for typed, expected in [("c4242", {"c4242"}), ("no_signal", {"c17", "c4242", "c9999"}),
                            ("c999 ok", {"c999", *(f"c999{n}" for n in range(10))})]:
        chrome.type_filter(typed)
        chrome.wait_for(lambda: {row["who"].split("\n")[0] for row in chrome.rows()} == expected,
                        what=f"the rows for {typed!r}")
