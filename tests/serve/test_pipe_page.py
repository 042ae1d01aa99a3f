"""A pipe's own page, opened from its row, and the API behind it: an ffmpeg
stream whose SDT names the service runs through the real analyser while it
loses datagrams, its records go to a real redis-server, a real `avwatch
serve` judges them and a real Chromium draws the page."""

from __future__ import annotations

import json
import subprocess
import threading
import time
import urllib.parse

import pytest

from serve.live_records import GOOD_INPUT, GOOD_OUTPUT, STALE_PLAYLIST, Writer
from serve.test_page import chrome, open_page, redis_service  # noqa: F401  (the page's fixtures)

avwatch_analysis = pytest.importorskip("avwatch_analysis")

from avwatch_cli.analyze.record import ErrorTimes, make_record  # noqa: E402

# Names from the stream are the sender's to choose: markup must stay text.
SERVICE = '<script>window.__pwned = 1</script>Café "Une"'
PROVIDER = "Prov & <b onclick=x>Co</b>"
DATAGRAM = 7 * 188
PERIOD = 0.4


@pytest.fixture(scope="module")
def named_stream(tmp_path_factory) -> bytes:
    path = tmp_path_factory.mktemp("sdt") / "named.ts"
    subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i", "testsrc=size=160x120:rate=25",
                    "-f", "lavfi", "-i", "sine", "-t", "4", "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac",
                    "-metadata", f"service_name={SERVICE}", "-metadata", f"service_provider={PROVIDER}",
                    "-f", "mpegts", "-muxrate", "1000000", str(path)], check=True)
    return path.read_bytes()


class LossyAnalysis:
    """The analyser reading the stream in real time, one datagram lost per
    period, publishing its record as `avwatch monitor` does."""

    def __init__(self, client, key: str, stream: bytes):
        self.client, self.key, self.stream = client, key, stream
        self.analyser = avwatch_analysis.Analyser()
        self.times = ErrorTimes()
        self.started = time.time()
        self.at = 0
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def period(self) -> None:
        per_period = round(1_000_000 / 8 * PERIOD / DATAGRAM)
        start = time.monotonic()
        for i in range(per_period):
            if self.at + DATAGRAM > len(self.stream):
                self.at = 0
            datagram = self.stream[self.at:self.at + DATAGRAM]
            self.at += DATAGRAM
            if i != per_period // 2:
                self.analyser.datagram(datagram, start + PERIOD * i / per_period)
        report = self.analyser.close_window(start + PERIOD)
        record = make_record(report, uri="udp://239.1.1.1:5000", method="packet socket", started=self.started,
                             wall_end=time.time(), error_times=self.times)
        self.client.set(self.key, json.dumps(record))

    def run(self) -> None:
        while not self.stopping.wait(PERIOD):
            self.period()

    def start(self) -> LossyAnalysis:
        self.period()
        self.thread.start()
        return self

    def stop(self) -> None:
        self.stopping.set()
        self.thread.join()


@pytest.fixture
def faulty_pipe(redis_service, named_stream):  # noqa: F811
    client = redis_service.client()
    client.set("ch:9", json.dumps({"live": True}))
    hls = dict(STALE_PLAYLIST, since=time.time() - 30, playlist="/srv/hls/9/main.m3u8")
    writer = Writer(client, {"ch:9:in:main": GOOD_INPUT, "ch:9:out:main": GOOD_OUTPUT, "ch:9:hls:main": hls}).start()
    analysis = LossyAnalysis(client, "ch:9:ts:main", named_stream).start()
    yield client
    analysis.stop()
    writer.stop()


def pipe_page(chrome) -> dict:  # noqa: F811
    """What the pipe page shows, read in one script call."""
    return chrome.script("""
        const texts = (css) => Array.from(document.querySelectorAll(css)).map((n) => n.textContent);
        const row = (css) => Array.from(document.querySelectorAll(css + ' td')).map((n) => n.textContent);
        return {
          name: document.getElementById('name').textContent,
          sides: Array.from(document.querySelectorAll('#sides [data-side]')).map((n) => n.dataset.state),
          services: texts('#programs td.service'), providers: texts('#programs td.provider'),
          markup: document.querySelectorAll('main script, main b, main [onclick]').length,
          pids: Array.from(document.querySelectorAll('#pids tbody tr')).map((tr) =>
                  Array.from(tr.cells).map((c) => c.textContent)),
          continuity: row('#indicators tr[data-indicator=continuity_errors]'),
          dots: Array.from(document.querySelectorAll('#faults svg circle')).map((c) => c.dataset.kind),
          hls: texts('#hls td'),
          analysis: (document.querySelector('details[data-record=analysis] pre') || {}).textContent || '',
          pwned: window.__pwned === undefined ? null : window.__pwned,
        };""")


def test_the_row_opens_the_pipe_page_with_its_services_pids_indicators_faults_and_records(
        chrome, open_page, faulty_pipe):  # noqa: F811
    open_page()
    link = chrome.wait_for(lambda: chrome.find("#rows a.pipe"), what="the pipe's link")[0]
    assert link.text == "main"
    link.click()
    # The continuity errors reach the chart once serve has counted a rise.
    shown = chrome.wait_for(lambda: (page := pipe_page(chrome))["continuity"] and "continuity_errors" in page["dots"]
                            and "degraded_seconds" in page["dots"] and page,
                            timeout=30, what="the pipe page with its faults charted")
    assert shown["name"] == "9 / main"
    assert shown["sides"] == ["degraded", "degraded"]
    assert (shown["services"], shown["providers"]) == ([SERVICE], [PROVIDER])
    assert shown["markup"] == 0 and shown["pwned"] is None
    by_pid = {int(cells[0]): cells for cells in shown["pids"]}
    assert by_pid[256][2:5] == ["video", "h264", "PCR of 1"] and by_pid[257][2:4] == ["audio", "aac"]
    assert by_pid[0x11][4] == "SDT/BAT" and by_pid[0x1000][4] == "PMT of 1"
    assert by_pid[256][5].endswith("kb/s") or by_pid[256][5].endswith("Mb/s")
    assert any(int(cells[6]) > 0 for cells in shown["pids"])   # the losses break some PID's count
    label, priority, count, _, since, last = shown["continuity"]
    assert (label, priority) == ("continuity count error", "1") and int(count) > 0
    assert since != "–" and last != "–" and "ago" in last
    assert shown["hls"][0] == STALE_PLAYLIST["problems"][0] and shown["hls"][1] == "stale" and "ago" in shown["hls"][2]
    record = json.loads(shown["analysis"])
    assert record["programs"][0]["service_name"] == SERVICE and record["pids"]


@pytest.mark.parametrize("query, status", [
    ({"channel": "9", "pipe": "main"}, 200),
    ({"channel": "9", "pipe": "backup"}, 404),
    ({"channel": "nine", "pipe": "main"}, 404),
    ({"channel": "9"}, 400),
])
def test_the_pipe_api_answers_for_known_pipes_only(redis_service, start_serve, faulty_pipe, query, status):  # noqa: F811
    serve = start_serve(f"redis://127.0.0.1:{redis_service.port}/0", "--refresh", "0.5")
    serve.wait_for_state("9", "main", "input", "degraded")
    code, headers, body = serve.request("/api/pipe?" + urllib.parse.urlencode(query))
    assert code == status
    if status != 200:
        return
    document = json.loads(body)
    assert headers["Content-Type"].startswith("application/json") and headers["Cache-Control"] == "no-store"
    assert document["status"]["input"]["state"] == "degraded"
    assert set(document["records"]) == {"input", "output", "analysis", "hls"}
    assert document["records"]["analysis"]["programs"][0]["provider_name"] == PROVIDER
    assert document["records"]["input"]["vcodec"] == "h264" and document["records"]["hls"]["stale"] is True
    faults = document["faults"]
    assert len(faults["minutes"]) == 60 and set(faults["counts"]) == set(faults["kinds"])
    # The status stays bounded: the PID lists are only here.
    status_body = serve.request("/api/status")[2].decode()
    assert '"pids"' not in status_body and "service_name" not in status_body
