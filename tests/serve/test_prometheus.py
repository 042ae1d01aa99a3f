"""The Prometheus side: the shipped alert rules under promtool, and a real
Prometheus server scraping `avwatch serve`."""

import contextlib
import json
import shutil
import subprocess
import time
import urllib.parse
import urllib.request
from pathlib import Path

import pytest

from machine import free_port
from serve.harness import OUTPUT, STREAM, wait_for

RULES = Path(__file__).resolve().parents[2] / "contrib" / "prometheus"


@contextlib.contextmanager
def running_prometheus(tool, tmp_path: Path, serve_port: int, rules: str):
    """A real Prometheus scraping serve every second with `rules` loaded;
    yields its instant query (no result while it is not up yet)."""
    config = tmp_path / "prometheus.yml"
    config.write_text(json.dumps({  # YAML is a superset of JSON
        "global": {"scrape_interval": "1s", "evaluation_interval": "1s"},
        "rule_files": [str(RULES / rules)],
        "scrape_configs": [{"job_name": "avwatch", "static_configs": [{"targets": [f"127.0.0.1:{serve_port}"]}]}],
    }))
    port = free_port()
    prometheus = subprocess.Popen(
        [tool("prometheus"), f"--config.file={config}", f"--storage.tsdb.path={tmp_path / 'data'}",
         f"--web.listen-address=127.0.0.1:{port}"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def query(expression):
        url = f"http://127.0.0.1:{port}/api/v1/query?" + urllib.parse.urlencode({"query": expression})
        try:
            with urllib.request.urlopen(url, timeout=5) as response:
                return json.load(response)["data"]["result"]
        except OSError:
            return []

    try:
        yield query
    finally:
        prometheus.terminate()
        prometheus.wait(15)


@pytest.fixture
def tool():
    def find(name):
        path = shutil.which(name)
        if path is None:
            pytest.fail(f"{name} is not installed (tools/bootstrap installs Debian's prometheus)")
        return path
    return find


@pytest.mark.parametrize("arguments", [["check", "rules", "avwatch.rules.yml"],
                                       ["test", "rules", "avwatch.rules.test.yml"],
                                       ["check", "rules", "avwatch-ts.rules.yml"],
                                       ["test", "rules", "avwatch-ts.rules.test.yml"],
                                       ["check", "rules", "avwatch-content.rules.yml"],
                                       ["test", "rules", "avwatch-content.rules.test.yml"]])
def test_alert_rules(tool, arguments):
    result = subprocess.run([tool("promtool"), *arguments], cwd=RULES, capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "SUCCESS" in result.stdout


def test_prometheus_scrapes_serve(tool, tmp_path, own_redis, start_serve):
    server = own_redis()
    server.client().set("ch:42", json.dumps({"live": True}))
    server.client().set("ch:42:in:main", json.dumps(STREAM))
    # Two channels whose ids differ only in escaping: the byte 0xff, and the text "\\xff".
    for key in (b"ch:dup\xff", b"ch:dup\\xff"):
        server.client().set(key, json.dumps({"live": True}))
        server.client().set(key + b":in:main", json.dumps(STREAM))
    serve = start_serve(f"redis://127.0.0.1:{server.port}/0", "--refresh", "0.5")
    with running_prometheus(tool, tmp_path, serve.port, "avwatch.rules.yml") as query:
        up = wait_for(lambda: query("avwatch_redis_up"), timeout=60, interval=0.5)
        assert up[0]["metric"]["job"] == "avwatch" and up[0]["value"][1] == "1"
        bitrate = wait_for(lambda: query('avwatch_input_bytes_per_second{channel="42"}'), timeout=30)
        assert float(bitrate[0]["value"][1]) == STREAM["bitrate"] / 8
        # One series each, and each one's alert may fire on its own.
        twins = wait_for(lambda: query('avwatch_health{channel=~"dup.*",side="output",state="missing"} == 1'),
                         timeout=30)
        assert sorted(found["metric"]["channel"] for found in twins) == ["dup\\\\xff", "dup\\xff"]
        # The output side has no record on a live channel: pending, not yet firing.
        alerts = wait_for(lambda: query('ALERTS{alertname="AvwatchMonitorMissing"}'), timeout=30)
        assert alerts[0]["metric"]["alertstate"] == "pending" and alerts[0]["metric"]["side"] == "output"
        twin_alerts = wait_for(lambda: len(found := query(
            'ALERTS{alertname="AvwatchMonitorMissing",channel=~"dup.*"}')) == 2 and found, timeout=30)
        assert {found["metric"]["channel"] for found in twin_alerts} == {"dup\\\\xff", "dup\\xff"}


def test_promtool_finds_nothing_to_complain_of_in_the_metrics(tool, own_redis, start_serve):
    """A real body holding every family, each kind of state and stream
    facts: names, units, help and types as Prometheus' own linter wants them."""
    client = own_redis().client()
    client.set("ch:ok", json.dumps({"live": True}))
    client.set("ch:ok:in:main", json.dumps(STREAM))
    client.set("ch:ok:out:main", json.dumps(OUTPUT))
    client.set("ch:bad", json.dumps({"live": True}))
    client.set("ch:bad:in:main", "{not json")
    client.set("ch:off", json.dumps({"live": False}))
    # The analysers' records: their families are linted too.
    now = time.time()
    client.set("ch:ok:ts:main", json.dumps({
        "bitrate": 1_128_000, "packets": 900, "continuity_errors": 3, "in_sync": True, "pat_present": True,
        "pmt_present": True, "media_loss_rate": 0.5, "delay_factor_ms": 4.2, "data_age": 0.01, "time": now}))
    client.set("ch:ok:hls:main", json.dumps({
        "time": now, "media_sequence": 12, "bitrate": 2_400_000, "declared_bitrate": 2_500_000, "stale": False,
        "problems": [], "checks_failed": ["over_target", "lag"], "continuity_errors": 0, "lag": -12.4,
        "sequence_resets": 1, "missing_segment_checks": 2}))
    # A monitor that should analyse its input and cannot.
    client.set("ch:bare", json.dumps({"live": True}))
    client.set("ch:bare:in:main", json.dumps(STREAM))
    client.set("ch:bare:ts:main", json.dumps({"analysis_failed": "no CAP_NET_RAW", "uri": "udp://:5000",
                                              "time": now}))
    serve = start_serve(f"redis://127.0.0.1:{client.connection_pool.connection_kwargs['port']}/0",
                        "--refresh", "0.3")
    serve.wait_for_state("bad", "main", "input", "malformed")
    wait_for(lambda: (pipe := serve.pipe("ok", "main")) and pipe["analysis"] and pipe["hls"])
    bare = wait_for(lambda: (pipe := serve.pipe("bare", "main")) and pipe["analysis"] and pipe)
    assert bare["input"]["state"] == "ok"   # the probe's verdict stands: no figures to weigh it against
    body = serve.request("/metrics")[2]
    for family in (b"avwatch_input_bytes_per_second", b"avwatch_stream_info", b"avwatch_ts_bytes_per_second",
                   b"avwatch_ts_errors_total", b"avwatch_hls_bytes_per_second",
                   b"avwatch_hls_declared_bytes_per_second", b"avwatch_hls_check_failed",
                   b'avwatch_ts_analysis_absent{channel="bare",pipe="main"} 1.0',
                   b'avwatch_hls_lag_seconds{channel="ok",pipe="main"} -12.4',
                   b"avwatch_hls_sequence_resets_total", b"avwatch_hls_missing_segment_checks_total"):
        assert family in body, family
    result = subprocess.run([tool("promtool"), "check", "metrics"], input=body, capture_output=True, timeout=60)
    assert result.returncode == 0 and not result.stdout + result.stderr, result.stdout + result.stderr


def write_playlist(folder: Path, first: int, count: int = 5) -> None:
    """A live 5 x 2-s media playlist from segment `first`, replaced whole as a packager does."""
    lines = ["#EXTM3U", "#EXT-X-VERSION:3", "#EXT-X-TARGETDURATION:2", f"#EXT-X-MEDIA-SEQUENCE:{first}"]
    for number in range(first, first + count):
        segment = folder / f"s{number}.ts"
        if not segment.exists():
            segment.write_bytes(b"\x47" + bytes(187))
        lines += ["#EXTINF:2.000,", segment.name]
    (folder / "chunks.tmp").write_text("\n".join(lines) + "\n")
    (folder / "chunks.tmp").rename(folder / "chunks.m3u8")


def test_prometheus_fires_on_a_segment_missing_between_scrapes(tool, tmp_path, own_redis, start_serve):
    """The HLS checker, serve and Prometheus as deployed: a segment deleted
    from a 5 x 2-s playlist is flagged for a check or two and rolls out; the
    shipped rule still fires, after the flag has gone.  A media sequence that
    goes back fires its alert too."""
    from avwatch_cli.analyze.hls_publisher import HlsPublisher

    server = own_redis()
    client = server.client()
    client.set("ch:h", json.dumps({"live": True}))
    client.set("ch:h:in:main", json.dumps(STREAM))
    client.set("ch:h:out:main", json.dumps(OUTPUT))
    folder = tmp_path / "html" / "h" / "main"
    folder.mkdir(parents=True)
    write_playlist(folder, 10)
    serve = start_serve(f"redis://127.0.0.1:{server.port}/0", "--refresh", "0.5")
    publisher = HlsPublisher(client, "h", "main", str(tmp_path / "html"))
    publisher.start()

    def record():
        return json.loads(client.get("ch:h:hls:main") or b"{}")

    try:
        with running_prometheus(tool, tmp_path, serve.port, "avwatch-hls.rules.yml") as query:
            wait_for(lambda: query('avwatch_hls_missing_segment_checks_total{channel="h"} == 0'), timeout=60)
            (folder / "s12.ts").unlink()
            wait_for(lambda: record().get("missing_segment_checks", 0) >= 1, timeout=10)
            write_playlist(folder, 13)   # s12 rolls out: the flag clears, the count stays
            wait_for(lambda: "segment_missing" not in record().get("checks_failed", ["segment_missing"]), timeout=10)
            firing = wait_for(lambda: query('ALERTS{alertname="AvwatchHlsSegmentsMissing",alertstate="firing"}'),
                              timeout=90, interval=1)
            assert firing[0]["metric"]["channel"] == "h" and firing[0]["metric"]["pipe"] == "main"
            assert not query('avwatch_hls_check_failed{check="segment_missing"}')   # long gone
            assert not query('ALERTS{alertname="AvwatchHlsMediaSequenceReset"}')

            write_playlist(folder, 1)   # the packager restarted its sequence
            reset = wait_for(lambda: query('ALERTS{alertname="AvwatchHlsMediaSequenceReset",alertstate="firing"}'),
                             timeout=30, interval=1)
            assert reset[0]["metric"]["pipe"] == "main" and record()["sequence_resets"] == 1
    finally:
        publisher.stop(delete=False)
