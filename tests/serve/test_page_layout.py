"""The page's layout as an operator's screens show it, in a real Chromium on
a real `avwatch serve`: how many pipes a desktop screen holds, a phone's
width without clipped badges or words stacked one per line, and what each
side says (since when, where from, why).  Set AVWATCH_SCREENSHOTS=docs to
take the README's pictures."""

import json
import os
import time
from pathlib import Path

import pytest

from serve import browser
from serve.live_records import GOOD_INPUT, GOOD_OUTPUT, NO_PROBE_ANSWER, Writer

PIPES = 30
LONG_URI = "srt://ingest-west-03.example.net:9000?streamid=live/channel-with-a-long-name&passphrase=hunter2hunter2"
SHOWN_URI = "srt://ingest-west-03.example.net:9000?streamid=live/channel-with-a-long-name&passphrase=***"


@pytest.fixture(scope="module")
def chrome():
    if (why := browser.missing()) is not None:
        pytest.fail(why)
    client = browser.Browser(1400, 900)
    yield client
    client.close()


def viewport(chrome, width: int, height: int) -> None:
    """The page's own area at exactly this size, whatever the window adds."""
    chrome.driver.set_window_size(width, height)
    inner = chrome.script("return [window.innerWidth, window.innerHeight]")
    chrome.driver.set_window_size(2 * width - inner[0], 2 * height - inner[1])
    assert chrome.script("return [window.innerWidth, window.innerHeight]") == [width, height]


STALE_PROBLEMS = ["the playlist has not advanced for 9.02 s", 'a stray file in the segment folder: "core.14"']


def analysis_record(now: float, **changes) -> dict:
    record = {"bitrate": 5_012_000, "packets": 1_234_567, "continuity_errors": 0, "in_sync": True,
              "pat_present": True, "pmt_present": True, "data_age": 0.02, "delay_factor_ms": 3.2,
              "started": now - 600, "time": now, "error_times": {}}
    return record | changes


def hls_record(now: float, n: int, **changes) -> dict:
    record = {"time": now, "media_sequence": 118 + n, "bitrate": 1_980_000, "declared_bitrate": 2_000_000,
              "stale": False, "problems": [], "checks_failed": [], "since": now - 600}
    return record | changes


def records():
    """A channel service's worth of pipes: mostly healthy, a few in each
    kind of trouble, every input with its source record."""
    fresh, once = {}, {}
    for n in range(PIPES):
        channel = f"ch{n:02d}"
        once[f"ch:{channel}"] = {"live": n != 29}
        once[f"ch:{channel}:input:main"] = {"uri": f"udp://239.1.1.{n}:5000", "miface": "10.0.0.5",
                                            "pid": 1, "vpid": 256, "apid": 257}
        fresh[f"ch:{channel}:in:main"] = GOOD_INPUT
        fresh[f"ch:{channel}:out:main"] = GOOD_OUTPUT
    now = time.time()
    for n in set(range(PIPES)) - {3, 4, 5, 7}:   # the analysers' records, beside the monitors'
        once[f"ch:ch{n:02d}:ts:main"] = analysis_record(now)
        once[f"ch:ch{n:02d}:hls:main"] = hls_record(now, n)
    once["ch:ch08:ts:main"] = analysis_record(now, continuity_errors=3, pat_errors=1,
                                              error_times={"continuity_errors": now - 5, "pat_errors": now - 60})
    once["ch:ch09:hls:main"] = hls_record(now, 9, stale=True, problems=STALE_PROBLEMS,
                                          checks_failed=["stale", "stray_files"], since=now - 9)
    fresh["ch:ch03:in:main"] = NO_PROBE_ANSWER                        # no signal, from the start
    once["ch:ch04:input:main"] = {"uri": LONG_URI, "pid": "3"}         # long enough to be cut short
    once["ch:ch05:input:main"] = {"miface": "10.0.0.5"}                # no uri: its monitor only waits
    del fresh["ch:ch05:in:main"]
    fresh["ch:ch07:in:main"] = "{not json"
    return fresh, once


@pytest.fixture(scope="module")
def page(chrome, tmp_path_factory):
    """A redis-server holding the pipes, serve reading it, the page open."""
    from redis_sets import RedisNode, require_redis_server
    from serve.harness import Serve

    require_redis_server()
    server = RedisNode(tmp_path_factory.mktemp("redis")).start()
    client = server.client()
    fresh, once = records()
    client.mset({key: json.dumps(value) for key, value in once.items()})
    writer = Writer(client, fresh).start()
    serve = Serve("--redis", f"redis://127.0.0.1:{server.port}/0", "--refresh", "0.5", "--stale-after", "5")
    try:
        chrome.open(serve.base + "/")
        chrome.wait_for(lambda: len(chrome.rows()) == PIPES and "no signal" in chrome.text("#rows"),
                        what="every pipe")
        # One change after serve started, for a "since" it knows exactly.
        writer.records["ch:ch06:out:main"] = dict(GOOD_OUTPUT, bitrate=0)
        chrome.wait_for(lambda: "ch06 / main output" in chrome.text("#events"), what="the change")
        yield serve
    finally:
        writer.stop()
        serve.process.kill()
        serve.process.communicate()
        server.stop()


# Measured in the page, in one call: rows whole on screen, badges cut by
# their line, cell or the screen, lines that wrapped, and sideways scrolling.
LAYOUT = """
const width = window.innerWidth, height = window.innerHeight;
const rows = Array.from(document.querySelectorAll('#rows tr'));
const inside = (inner, outer) => inner.left >= outer.left - 0.5 && inner.right <= outer.right + 0.5;
const badges = Array.from(document.querySelectorAll('#rows .badge, #counts .badge'));
const lineHeight = parseFloat(getComputedStyle(document.documentElement).getPropertyValue('--line-height'));
return {
  whole: rows.filter((tr) => tr.getBoundingClientRect().bottom <= height).length,
  rowHeights: rows.map((tr) => tr.getBoundingClientRect().height),
  clipped: badges.filter((badge) => {
    const box = badge.getBoundingClientRect();
    const holder = badge.parentElement.closest('.line, td, .counts').getBoundingClientRect();
    return !inside(box, holder) || box.right > width || badge.scrollWidth > badge.clientWidth + 1;
  }).map((badge) => badge.textContent),
  wrapped: Array.from(document.querySelectorAll('#rows .line, #rows .channel, #rows .pipe'))
    .filter((line) => line.getBoundingClientRect().height > 1.5 * lineHeight).map((line) => line.textContent),
  names: rows.map((tr) => tr.querySelector('.channel').getBoundingClientRect().width),
  sideways: document.documentElement.scrollWidth - width,
};
"""


@pytest.mark.parametrize("width, height, whole_rows, row_height", [
    (1400, 900, 25, 34),    # a desktop screen: 25 pipes at least, two lines each
    (420, 900, 8, 100),     # a phone: a pipe to a block of five lines
])
def test_layout_fits_the_screen(chrome, page, tmp_path, width, height, whole_rows, row_height):
    viewport(chrome, width, height)
    layout = chrome.wait_for(lambda: (found := chrome.script(LAYOUT)) and found["rowHeights"] and found,
                             what="the layout")
    name = "serve.png" if width > 1000 else "serve-narrow.png"
    chrome.screenshot(Path(os.environ.get("AVWATCH_SCREENSHOTS") or tmp_path) / name)
    assert layout["whole"] >= whole_rows, layout
    assert max(layout["rowHeights"]) <= row_height, layout["rowHeights"]
    assert layout["clipped"] == [] and layout["wrapped"] == [], layout
    assert layout["sideways"] <= 0, "the page scrolls sideways"
    assert min(layout["names"]) >= 30, "channel names squeezed out"


def test_each_side_says_since_when_where_from_and_why(chrome, page):
    viewport(chrome, 1400, 900)
    rows = {row["who"].split("\n")[0]: row for row in chrome.rows()}
    healthy = rows["ch10"]["input"]
    assert "program 1 · v 256 · a 257 · udp://239.1.1.10:5000 on 10.0.0.5" in healthy
    assert "for ≥" in healthy   # it was so when serve first read it: no earlier time is known
    # Nothing where there is nothing: a probe without an answer has no rates or codecs to show.
    quiet = rows["ch03"]["input"]
    assert "the probe got no answer" in quiet
    assert not any(word in quiet for word in ("fps", "b/s", "·  ·")), quiet
    assert 'no "uri": the input monitor waits for one' in rows["ch05"]["input"]
    assert "no signal for " in rows["ch06"]["output"] and "for ≥" not in rows["ch06"]["output"]
    # The analysers' records on the second lines: the input's measured rate and faults, the
    # output's HLS verdict first when it fails; the details in the summary's title.
    assert "measured 5.01 Mb/s · no faults since" in healthy
    assert "HLS 1.98 Mb/s measured of 2.00 Mb/s declared · media sequence 128 · every check passes since" \
        in rows["ch10"]["output"]
    assert "since" in rows["ch08"]["input"] and "continuity 3 (last" in rows["ch08"]["input"]
    assert "HLS playlist stale, 1 more problem since" in rows["ch09"]["output"]
    summaries = chrome.script("""return Object.fromEntries(['ch08', 'ch09'].map((name) => [name,
        Array.from(document.querySelectorAll('#rows tr')).find((tr) => tr.querySelector('.channel').textContent === name)
          .querySelector(name === 'ch08' ? 'td.input .analysed' : 'td.output .analysed').title]))""")
    assert "delay factor 3 ms" in summaries["ch08"] and "PAT 1 (last" in summaries["ch08"]
    assert all(problem in summaries["ch09"] for problem in STALE_PROBLEMS), summaries
    # A line too long for its cell is cut short on screen and whole in its title; secrets never show.
    title = chrome.script("""return Array.from(document.querySelectorAll('#rows tr'))
        .find((tr) => tr.querySelector('.channel').textContent === 'ch04').querySelector('td.input .detail').title""")
    assert title == f"program 3 · {SHOWN_URI}"
    assert "hunter2" not in chrome.driver.page_source and b"hunter2" not in page.request("/api/status")[2]

    # Problems the pipes had before serve started are events, dated.
    events = chrome.text("#events")
    for where in ("ch03 / main input: no signal when first read", "ch05 / main input: missing when first read",
                  "ch07 / main input: malformed when first read", "ch06 / main output: ok → no signal"):
        assert where in events
    assert chrome.script("return document.querySelector('#events .when').textContent").count(":") == 2
    links = chrome.script("return Array.from(document.querySelectorAll('nav.links a')).map((a) => a.href)")
    assert links == [page.base + "/api/status", page.base + "/metrics"]
