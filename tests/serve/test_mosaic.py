"""The mosaic of a real `avwatch serve` over a real redis-server holding 100
channels with thumbnails, some black, frozen, silent, loud and one without
signal, in a real headless Chromium: problems first with the right overlays,
pictures fetched only for the tiles on screen, a phone's width, and a tile
opening its pipe's page with both pictures.  Saves the wall at 1920x1080 to
the file AVWATCH_MOSAIC_SCREENSHOT names, when it names one."""

import os
import subprocess
import time
from pathlib import Path

import pytest

from serve import browser
from serve.harness import wait_for
from serve.live_records import GOOD_INPUT, GOOD_OUTPUT, NO_PROBE_ANSWER, Writer
from serve.test_content_verdict import CLEAN_INPUT, CLEAN_OUTPUT, hls, ts
from serve.test_page_layout import viewport

CHANNELS = 100
SCREENSHOT = os.environ.get("AVWATCH_MOSAIC_SCREENSHOT")
# channel -> (ts record changes, hls record changes, overlays expected as (kind, text))
FAULTS = {
    "17": ({"black": True}, {"black": True}, {("black", "black")}),
    "33": ({"black": True}, {}, {("black", "black in")}),
    "58": ({}, {"black": True, "silent": True}, {("black", "black out"), ("silent", "silent out")}),
    "5": ({"frozen": True}, {"frozen": True}, {("frozen", "frozen")}),
    "71": ({}, {"frozen": True}, {("frozen", "frozen out")}),
    "44": ({"silent": True}, {}, {("silent", "silent in")}),
    "62": ({"loudness": -12.0}, {}, {("loudness", "loud +11.0 LU in")}),
    "83": ({}, {"loudness": -31.5}, {("loudness", "quiet \u22128.5 LU out")}),
}
NO_SIGNAL = "99"


class ThumbnailWriter(Writer):
    """Writes the records as Writer does, their thumbnails' time renewed
    every 20 s as monitors renew theirs."""

    def write(self, step: int) -> None:
        made = time.time() // 20 * 20
        for record in self.records.values():
            content = record.get("content") if isinstance(record, dict) else None
            if isinstance(content, dict) and content.get("thumbnail_time") is not None:
                content["thumbnail_time"] = made
        super().write(step)


def pictured(record: dict) -> dict:
    return {**record, "content": {**record["content"], "thumbnail_time": time.time()}}


@pytest.fixture(scope="module")
def pictures(tmp_path_factory) -> list[bytes]:
    """Ten test cards and a black picture, as monitors store them (JPEG, 320 px wide)."""
    folder = tmp_path_factory.mktemp("thumbs")
    subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i", "testsrc2=size=320x180:rate=1",
                    "-frames:v", "10", str(folder / "card%02d.jpg")], check=True)
    subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i", "color=black:size=320x180",
                    "-frames:v", "1", str(folder / "black.jpg")], check=True)
    return [path.read_bytes() for path in sorted(folder.glob("card*.jpg"))] + [(folder / "black.jpg").read_bytes()]


@pytest.fixture
def wall(own_redis, start_serve, pictures):
    server = own_redis()
    client = server.client()
    records = {}
    for n in range(1, CHANNELS + 1):
        channel = str(n)
        analysis, check, _ = FAULTS.get(channel, ({}, {}, None))
        client.set(f"ch:{channel}", '{"live": true}')
        if channel == NO_SIGNAL:
            records |= {f"ch:{channel}:in:main": NO_PROBE_ANSWER, f"ch:{channel}:ts:main": ts(data_age=5.0, bitrate=0)}
        else:
            records |= {f"ch:{channel}:in:main": GOOD_INPUT, f"ch:{channel}:ts:main": pictured(ts(**analysis))}
            black = analysis.get("black") or check.get("black")
            for side in ("input", "output"):
                client.set(f"ch:{channel}:thumb:main:{side}", pictures[-1] if black else pictures[n % 10], ex=600)
        output = hls(**check) if channel == NO_SIGNAL else pictured(hls(**check))
        records |= {f"ch:{channel}:out:main": dict(GOOD_OUTPUT), f"ch:{channel}:hls:main": output}
    writer = ThumbnailWriter(client, records, moving=False).start()
    serve = start_serve(f"redis://127.0.0.1:{server.port}/0", "--refresh", "0.5", "--stale-after", "5")
    yield serve
    writer.stop()


@pytest.fixture(scope="module")
def chrome():
    if (why := browser.missing()) is not None:
        pytest.fail(why)
    client = browser.Browser(1920, 1080)
    yield client
    client.close()


def tiles(chrome) -> list[dict]:
    return chrome.script("""
        const seen = (node) => { const r = node.getBoundingClientRect();
          return r.bottom > 0 && r.top < innerHeight && r.right > 0 && r.left < innerWidth; };
        return Array.from(document.querySelectorAll('#wall .tile')).map((tile) => ({
          name: tile.querySelector('.name').textContent, state: tile.dataset.state,
          overlays: Array.from(tile.querySelectorAll('.overlay')).map((o) => [o.dataset.kind, o.textContent]),
          signal: Boolean(tile.querySelector('.signal')), visible: seen(tile),
          left: Math.round(tile.getBoundingClientRect().left),
          loaded: (tile.querySelector('img').getAttribute('src') || '') !== '' && tile.querySelector('img').complete
                  && tile.querySelector('img').naturalWidth > 0,
        }));""")


def requested(chrome) -> set[str]:
    """The channels whose thumbnails the page asked for."""
    return set(chrome.script("""
        return performance.getEntriesByType('resource').map((e) => e.name).filter((n) => n.includes('/api/thumbnail'))
          .map((n) => new URL(n).searchParams.get('channel'));"""))


def served(serve) -> float:
    return serve.metrics().get(("avwatch_thumbnail_requests_total", (("result", "served"),)), 0.0)


def test_the_mosaic_puts_problems_first_and_loads_only_what_is_seen(chrome, wall):
    serve = wall
    viewport(chrome, 1920, 1080)
    chrome.open(serve.base + "/")
    chrome.wait_for(lambda: chrome.find("#rows img.thumb"), what="the rows' thumbnails")
    chrome.find("#mosaic-link")[0].click()
    faulty = {f"{channel} / main" for channel in FAULTS}

    def settled():
        shown = tiles(chrome)
        return (len(shown) == CHANNELS and {tile["name"] for tile in shown[1:1 + len(FAULTS)]} == faulty
                and all(tile["loaded"] for tile in shown if tile["visible"] and tile["name"] != f"{NO_SIGNAL} / main")
                and shown)

    shown = chrome.wait_for(settled, timeout=40, what="100 tiles, problems first, the visible ones pictured")
    chrome.script("performance.setResourceTimingBufferSize(100000)")
    # At 1920x1080 the whole wall of 100 is on one screen.
    assert all(tile["visible"] for tile in shown), [tile["name"] for tile in shown if not tile["visible"]]
    if SCREENSHOT:
        chrome.screenshot(Path(SCREENSHOT))
    first = shown[0]
    assert (first["name"], first["state"], first["signal"]) == (f"{NO_SIGNAL} / main", "no_signal", True)
    by_name = {tile["name"]: tile for tile in shown}
    for channel, (_, _, overlays) in FAULTS.items():
        tile = by_name[f"{channel} / main"]
        assert (tile["state"], {tuple(overlay) for overlay in tile["overlays"]}) == ("degraded", overlays), channel
    # The faultier first among the degraded; the healthy after them, in natural order.
    assert shown[1]["name"] == "58 / main"
    healthy = [tile["name"] for tile in shown[1 + len(FAULTS):]]
    assert healthy == [f"{n} / main" for n in range(1, CHANNELS + 1) if str(n) not in FAULTS and str(n) != NO_SIGNAL]
    assert not any(tile["overlays"] or tile["signal"] for tile in shown[1 + len(FAULTS):])

    # A phone: one or two columns, no sideways scrolling, and only the tiles on
    # screen ask for their pictures.
    chrome.driver.execute_cdp_cmd("Network.clearBrowserCache", {})   # the desktop's pictures are not the phone's
    before = served(serve)
    viewport(chrome, 390, 844)
    chrome.open(serve.base + "/mosaic")
    phone = chrome.wait_for(lambda: (shown := tiles(chrome)) and len(shown) == CHANNELS and all(
        tile["loaded"] for tile in shown if tile["visible"] and tile["name"] != f"{NO_SIGNAL} / main") and shown,
        timeout=30, what="the wall at a phone's width")
    assert len({tile["left"] for tile in phone}) in (1, 2)
    assert chrome.script("return document.documentElement.scrollWidth") <= 390
    on_screen = {tile["name"].split(" / ")[0] for tile in phone if tile["visible"]}
    assert 2 <= len(on_screen) <= 20
    asked = requested(chrome)
    assert asked and asked <= on_screen - {NO_SIGNAL}, (asked, on_screen)
    # Each on-screen picture once (twice at most, for a picture renewed meanwhile); none of the other 80-odd.
    # (/metrics counts as of serve's latest snapshot: it may trail by a refresh.)
    count = wait_for(lambda: (found := served(serve) - before) >= len(asked) and found)
    assert count <= 2 * len(on_screen)
    chrome.script("window.scrollTo(0, document.body.scrollHeight)")
    bottom = chrome.wait_for(lambda: (shown := tiles(chrome)) and all(
        tile["loaded"] for tile in shown if tile["visible"]) and shown, what="the last tiles pictured")
    at_bottom = {tile["name"].split(" / ")[0] for tile in bottom if tile["visible"]}
    assert "100" in at_bottom and requested(chrome) <= on_screen | at_bottom

    # A tile opens its pipe's page, with both sides' pictures.
    viewport(chrome, 1920, 1080)
    chrome.open(serve.base + "/mosaic")
    tile = chrome.wait_for(lambda: [found for found in chrome.find("#wall .tile")
                                    if found.get_attribute("data-id") and "33 / main" in found.text], what="tile 33")[0]
    tile.click()
    figures = chrome.wait_for(lambda: (found := chrome.script("""
        return Array.from(document.querySelectorAll('#content figure')).map((f) => ({side: f.dataset.side,
          loaded: f.querySelector('img').complete && f.querySelector('img').naturalWidth > 0,
          fault: (f.querySelector('.fault') || {}).textContent || ''}));""")) and all(
        figure["loaded"] for figure in found) and found, what="the pipe page's pictures")
    assert [(figure["side"], figure["fault"]) for figure in figures] == [("input", "black"), ("output", "")]
    assert chrome.text("#name") == "33 / main"
