"""The live page of a real `avwatch serve` reading a real redis-server, in a
real headless Chromium: rows and health badges, problems first, records
shown as text, the Redis banner, and the row cap that keeps 10,000 pipes
usable."""

import json

import pytest

from serve import browser
from serve.live_records import CONTINUITY_ERRORS, GOOD_INPUT, GOOD_OUTPUT, NO_PROBE_ANSWER, STALE_PLAYLIST, Writer

HOSTILE_CODEC = '<img src=x onerror="window.__pwned=1">'
HOSTILE_RAW = '<script>window.__pwned=2</script>{"bitrate":'
HOSTILE_CHANNEL = "<b onclick=x>7</b>"
HOSTILE_PIPE = "<i>alt</i>"
HOSTILE_REASON = '<img src=x onerror="window.__pwned=3">segment 41.ts: Connection refused'
STALE_AFTER = 3


@pytest.fixture(scope="module")
def chrome():
    if (why := browser.missing()) is not None:
        pytest.fail(why)
    client = browser.Browser()
    yield client
    client.close()


@pytest.fixture
def redis_service(own_redis):
    return own_redis()


@pytest.fixture
def open_page(chrome, redis_service, start_serve):
    """Starts `avwatch serve` on the test's Redis and opens its page."""
    def open_(refresh=0.5, stale_after=STALE_AFTER):
        serve = start_serve(f"redis://127.0.0.1:{redis_service.port}/0",
                            "--refresh", str(refresh), "--stale-after", str(stale_after))
        chrome.open(serve.base + "/")
        return serve
    return open_


def channel_and_pipe(row) -> str:
    channel, pipe = row["who"].split("\n")[:2]
    return f"{channel}/{pipe}"


def sides(row) -> tuple:
    return tuple(state for state, _ in row["badges"])


# Channel/pipe -> the states its input and output must reach, in the order the
# page must list them: problems first (the worse side decides), stopped last.
EXPECTED = {
    "news/backup": ("no_signal", "ok"),
    "sport/main": ("ok", "no_signal"),
    "weather/main": ("silent", "ok"),
    "movies/main": ("malformed", "ok"),
    "kids/main": ("missing", "ok"),
    "radio/main": ("degraded", "degraded"),
    f"{HOSTILE_CHANNEL}/{HOSTILE_PIPE}": ("ok", "ok"),
    "music/main": ("ok", "ok"),
    "news/main": ("ok", "ok"),
    "archive/main": ("stopped", "stopped"),
}


def settled(rows):
    """The rows once every pipe shows its expected states and the healthy
    ones have both sparklines drawn; None before."""
    if {channel_and_pipe(row): sides(row) for row in rows} != EXPECTED:
        return None
    healthy = [row for row in rows if sides(row) == ("ok", "ok")]
    return rows if all(len(row["lines"]) == 2 and all(row["lines"]) for row in healthy) else None


def records():
    """The records the writer keeps fresh, and the one left to go silent."""
    fresh = {
        "ch:news:in:main": GOOD_INPUT, "ch:news:out:main": GOOD_OUTPUT,
        "ch:news:in:backup": NO_PROBE_ANSWER, "ch:news:out:backup": dict(GOOD_OUTPUT, name="backup"),
        "ch:sport:in:main": GOOD_INPUT, "ch:sport:out:main": dict(GOOD_OUTPUT, bitrate=0),
        "avwatch:reason:ch:sport:out:main": {"reason": HOSTILE_REASON, "seen": 0, "passes": 3},
        "ch:movies:in:main": HOSTILE_RAW, "ch:movies:out:main": GOOD_OUTPUT,
        "ch:music:in:main": dict(GOOD_INPUT, vcodec=HOSTILE_CODEC), "ch:music:out:main": GOOD_OUTPUT,
        "ch:kids:out:main": GOOD_OUTPUT,
        "ch:radio:in:main": GOOD_INPUT, "ch:radio:out:main": GOOD_OUTPUT,
        "ch:radio:ts:main": CONTINUITY_ERRORS, "ch:radio:hls:main": STALE_PLAYLIST,
        "ch:weather:out:main": GOOD_OUTPUT,
        f"ch:{HOSTILE_CHANNEL}:in:{HOSTILE_PIPE}": GOOD_INPUT,
        f"ch:{HOSTILE_CHANNEL}:out:{HOSTILE_PIPE}": dict(GOOD_OUTPUT, name=HOSTILE_PIPE),
        "ch:archive:in:main": GOOD_INPUT, "ch:archive:out:main": GOOD_OUTPUT,
    }
    channels = {f"ch:{name}": {"live": name != "archive"}
                for name in ("news", "sport", "movies", "music", "kids", "radio", "weather", HOSTILE_CHANNEL,
                             "archive")}
    return fresh, channels


def test_rows_badges_and_records_as_text(chrome, redis_service, open_page, tmp_path):
    client = redis_service.client()
    fresh, channels = records()
    client.mset({key: json.dumps(record) for key, record in channels.items()})
    client.set("ch:weather:in:main", json.dumps(GOOD_INPUT))   # written once: its monitor is gone
    writer = Writer(client, fresh).start()
    try:
        open_page()
        rows = chrome.wait_for(lambda: settled(chrome.rows()), what="every pipe in its state, with sparklines")
        # While the records are fresh: the problem filter takes the degraded
        # pipe, and "stale" finds it by its reason.
        problems = [pipe for pipe, states in EXPECTED.items() if set(states) - {"ok", "stopped"}]
        for typed, expected in [("problem", problems), ("stale", ["radio/main"])]:
            chrome.type_filter(typed)
            chrome.wait_for(lambda: [channel_and_pipe(row) for row in chrome.rows()] == expected,
                            what=f"the rows for {typed!r}")
        chrome.type_filter("")
    finally:
        writer.stop()

    assert [channel_and_pipe(row) for row in rows] == list(EXPECTED)
    by_pipe = {channel_and_pipe(row): row for row in rows}
    # Each state in words and in a colour of its own.
    badges = {state: (text, colour) for row in rows for (state, text), colour in zip(row["badges"], row["colours"])}
    assert badges["no_signal"][0] == "no signal" and badges["silent"][0] == "silent"
    assert len({colour for _, colour in badges.values()}) == len(badges), badges
    # Both sides' facts, side by side.
    assert "h264 · aac · 1280x720 · 25 fps" in by_pipe["news/main"]["input"]
    assert "Mb/s" in by_pipe["news/main"]["input"] and "segment 41.ts" in by_pipe["news/main"]["output"]
    assert "no write for" in by_pipe["weather/main"]["input"]
    # The output monitor's own reason, before the judge's.
    assert f"{HOSTILE_REASON}; bitrate 0" in by_pipe["sport/main"]["output"]

    # Markup from Redis is shown literally and never runs.
    assert HOSTILE_CODEC in by_pipe["music/main"]["input"]
    assert HOSTILE_RAW in by_pipe["movies/main"]["input"]
    assert chrome.script("return window.__pwned") is None
    assert not chrome.find("#rows img, #rows script, #rows b, #rows i")

    # Answering sides with faults measured: among the problems, the fault
    # named, the measured rate first and the probe's estimate marked.
    radio = by_pipe["radio/main"]
    assert "continuity errors +12" in radio["input"] and "HLS: stale playlist" in radio["output"]
    assert radio["input"].index("Mb/s measured") < radio["input"].index("est. ")
    assert badges["degraded"][0] == "degraded"
    assert "degraded" in chrome.text("#counts")

    assert "weather / main input" in chrome.wait_for(lambda: chrome.text("#events"), what="the events")
    assert "keyspace notifications" in chrome.text("#freshness")
    assert not chrome.text("#banner")
    chrome.screenshot(tmp_path / "serve.png")


def test_banner_while_redis_or_serve_is_unreachable(chrome, redis_service, open_page):
    client = redis_service.client()
    client.mset({"ch:news": json.dumps({"live": True}), "ch:news:in:main": json.dumps(GOOD_INPUT),
                 "ch:news:out:main": json.dumps(GOOD_OUTPUT)})
    serve = open_page(stale_after=60)
    chrome.wait_for(lambda: [channel_and_pipe(row) for row in chrome.rows()] == ["news/main"], what="the row")
    assert not chrome.text("#banner")

    redis_service.stop()
    banner = chrome.wait_for(lambda: chrome.text("#banner"), what="the banner")
    assert "Redis is unreachable: " in banner and ".." not in banner and "the last known, read " in banner
    assert [channel_and_pipe(row) for row in chrome.rows()] == ["news/main"]   # the last snapshot stays
    # ...greyed, each row marked, and the counts say they are the last known too.
    assert chrome.wait_for(lambda: shown_as_last_known(chrome), what="the rows greyed") == \
        {"greyed": True, "mark": '" · last known"', "counts": "last known:"}
    redis_service.start()
    chrome.wait_for(lambda: not chrome.text("#banner"), what="the banner's end")
    assert chrome.wait_for(lambda: shown_as_last_known(chrome)["greyed"] is False, what="the rows as read")

    serve.stop()   # and when serve itself is gone, the page says that instead
    assert "avwatch serve is not answering" in chrome.wait_for(lambda: chrome.text("#banner"), what="the banner")


def shown_as_last_known(chrome) -> dict:
    return chrome.script("""
        const row = document.querySelector('#rows tr');
        return {greyed: parseFloat(getComputedStyle(row).opacity) < 1,
                mark: getComputedStyle(row.querySelector('.pipe'), '::after').content,
                counts: (document.querySelector('#counts .known') || {}).textContent || ''};""")


@pytest.mark.parametrize("pipes, refresh", [(10_000, 1), (50_000, 4)])
def test_many_pipes_draw_a_bounded_table_and_filter(chrome, redis_service, open_page, pipes, refresh):
    client = redis_service.client()
    troubled = {17, 4242, 9999}
    with client.pipeline(transaction=False) as pipe:
        for n in range(pipes):
            pipe.set(f"ch:c{n}", '{"live": true}')
            pipe.set(f"ch:c{n}:in:main", json.dumps(GOOD_INPUT))
            pipe.set(f"ch:c{n}:out:main", json.dumps(dict(GOOD_OUTPUT, bitrate=0) if n in troubled else GOOD_OUTPUT))
        pipe.execute()
    open_page(refresh=refresh, stale_after=300)
    rows = chrome.wait_for(lambda: len(drawn := chrome.rows()) == 200 and drawn, timeout=120, what="the rows")
    assert [channel_and_pipe(row) for row in rows[:4]] == ["c17/main", "c4242/main", "c9999/main", "c0/main"]
    assert f"{pipes - 200:,} more — use the filter" in chrome.text("#note")
    assert chrome.script("return document.getElementsByTagName('*').length") < 10_000   # nothing hidden either

    def named(prefix: str) -> set[str]:   # the channels whose names hold it (it starts them all)
        return {f"c{n}" for n in range(pipes) if f"c{n}".startswith(prefix)}

    for typed, expected in [("c4242", named("c4242")), ("no_signal", {"c17", "c4242", "c9999"}),
                            ("c999 ok", named("c999"))]:
        chrome.type_filter(typed)
        chrome.wait_for(lambda: {row["who"].split("\n")[0] for row in chrome.rows()} == expected,
                        timeout=10 * refresh, what=f"the rows for {typed!r}")
