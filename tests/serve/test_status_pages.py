"""/api/status in pages and /metrics without always-0 series, on a real
`avwatch serve` over a real redis-server holding pipes with both analysers'
records, a few of them in trouble."""

import json
import sys
import time
from pathlib import Path

import pytest

from serve.harness import NO_ANSWER, OUTPUT, STREAM, wait_for

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
from analysis_records import hls_record, ts_record  # noqa: E402

PIPES = 120
NO_SIGNAL = {7, 40, 41, 119}      # inputs whose probe gets no answer
MISSING = {55}                     # no output record


def fill(client) -> None:
    batch = client.pipeline(transaction=False)
    now = time.time()
    for n in range(PIPES):
        channel = f"ch:c{n:03d}"
        batch.set(channel, json.dumps({"live": True}))
        batch.set(f"{channel}:in:main", json.dumps(NO_ANSWER if n in NO_SIGNAL else STREAM))
        if n not in MISSING:
            batch.set(f"{channel}:out:main", json.dumps(OUTPUT))
        if n not in NO_SIGNAL:   # an analyser seeing data would outweigh the failed probe
            batch.set(f"{channel}:ts:main", ts_record(n, 0, now))
        batch.set(f"{channel}:hls:main", hls_record(n, 0, now))
    batch.set("ch:empty", json.dumps({"live": True}))   # a channel without pipes: one entry of its own
    batch.execute()


def pipes_of(answer: dict) -> list[tuple[str, str | None]]:
    return [(channel["channel"], pipe["pipe"]) for channel in answer["channels"] for pipe in channel["pipes"]] + [
        (channel["channel"], None) for channel in answer["channels"] if not channel["pipes"]]


def test_pages_problems_filter_and_series(own_redis, start_serve):
    server = own_redis()
    fill(server.client())
    serve = start_serve(f"redis://127.0.0.1:{server.port}/0", "--refresh", "0.5")
    wait_for(lambda: serve.status()["counts"]["ok"] >= 2 * PIPES - 2 * len(NO_SIGNAL) - len(MISSING) - 5)
    time.sleep(1.5)   # one more snapshot, every record read

    def get(query: str) -> dict:
        code, _, body = serve.request("/api/status" + query)
        assert code == 200, body
        return json.loads(body)

    # Page after page: every entry exactly once, in the snapshot's order.
    seen, offset = [], 0
    while offset is not None:
        answer = get(f"?limit=25&offset={offset}")
        assert answer["page"]["pipes"] == PIPES + 1 and len(pipes_of(answer)) <= 25
        assert answer["counts"] == get("")["counts"] and "events" in answer
        seen += [(channel["channel"], pipe["pipe"]) for channel in answer["channels"] for pipe in channel["pipes"]]
        seen += [(channel["channel"], None) for channel in answer["channels"] if not channel["pipes"]]
        offset = answer["page"]["next"]
    assert sorted(seen, key=str) == sorted([(f"c{n:03d}", "main") for n in range(PIPES)] + [("empty", None)],
                                           key=str)

    problems = get("?problems=1")
    expected = {(f"c{n:03d}", "main") for n in NO_SIGNAL | MISSING}
    assert set(pipes_of(problems)) == expected and problems["page"]["next"] is None
    assert set(pipes_of(get("?filter=no_signal"))) == {(f"c{n:03d}", "main") for n in NO_SIGNAL}
    assert set(pipes_of(get("?filter=c04+problem"))) == {("c040", "main"), ("c041", "main")}

    # A pipe with both analysers' records, healthy: a bounded number of
    # series, health only for its current state, an indicator that never
    # counted without a series, the one the rules take the increase of kept.
    metrics = serve.metrics()
    labels = (("channel", "c001"), ("pipe", "main"))
    series = [name for name, items in metrics if ("channel", "c001") in items]
    assert len(series) <= 30, series
    assert sorted(dict(items)["state"] for name, items in metrics
                  if name == "avwatch_health" and ("channel", "c001") in items) == ["ok", "ok"]
    assert metrics[("avwatch_ts_errors_total", (*labels[:1], ("indicator", "continuity_errors"), labels[1]))] == 0
    assert ("avwatch_ts_errors_total", (*labels[:1], ("indicator", "pat_errors"), labels[1])) not in metrics
    assert metrics[("avwatch_ts_bytes_per_second", labels)] > 0 and metrics[("avwatch_hls_media_sequence", labels)]


@pytest.mark.parametrize("query", ["?limit=0", "?limit=5001", "?offset=-1", "?limit=x", "?filter=" + "x" * 201])
def test_a_query_out_of_bounds_is_refused(own_redis, start_serve, query):
    server = own_redis()
    serve = start_serve(f"redis://127.0.0.1:{server.port}/0")
    code, _, body = serve.request("/api/status" + query)
    assert code == 400 and body


@pytest.mark.parametrize("chunk", [1, 7, 5000])
def test_analysers_records_read_in_chunks_land_on_their_own_pipes(own_redis, monkeypatch, chunk):
    """Each pipe shows its own analysers' records however the keys are cut
    into chunks, some pipes having none, and a record gone is seen gone."""
    from avwatch_cli.serve import chunks
    from avwatch_cli.serve.refresher import Refresher
    monkeypatch.setattr(chunks, "CHUNK_KEYS", chunk)
    client = own_redis().client()
    now = time.time()
    for n in range(30):
        client.set(f"ch:{n}", json.dumps({"live": True}))
        client.set(f"ch:{n}:in:main", json.dumps(STREAM))
        client.set(f"ch:{n}:out:main", json.dumps(OUTPUT))
        if n % 4:
            client.set(f"ch:{n}:ts:main", ts_record(n, 0, now))
        if n % 3:
            client.set(f"ch:{n}:hls:main", hls_record(n, 0, now))
    refresher = Refresher(client, "redis://127.0.0.1", refresh_seconds=1.0, stale_after=30.0, forget_after=0.0)
    refresher.write_times.stopping.set()
    for round_number in (1, 2):
        if round_number == 2:
            client.delete("ch:5:ts:main", "ch:4:hls:main")
            client.set("ch:6:ts:main", ts_record(6, 2, now))
        refresher.refresh()
        shown = {pipe.channel: pipe for pipe in refresher.snapshot.pipes()}
        hls = refresher.snapshot.hls
        for n in range(30):
            has_ts = n % 4 and not (round_number == 2 and n == 5)
            analysis = shown[str(n)].analysis
            assert (analysis and analysis["bitrate"]) == (
                3_669_760 + n + (2 if round_number == 2 and n == 6 else 0) if has_ts else None), n
            has_hls = n % 3 and not (round_number == 2 and n == 4)
            record = hls.get(shown[str(n)].id)
            assert (record and record["media_sequence"]) == (118 + n if has_hls else None), n
