"""serve with the input analyser's records: shown beside the input's status,
exported per pipe, and never mistaken for a channel of its own."""

import json

import pytest

from serve.harness import STREAM, wait_for

avwatch_analysis = pytest.importorskip("avwatch_analysis")


def analysis_record() -> dict:
    """A record made as `avwatch monitor` makes it, from an analysed stream
    with one lost packet."""
    from analysis.ts_builder import packet, pat, pmt, psi_packet
    from avwatch_cli.analyze.record import ErrorTimes, make_record

    analyser = avwatch_analysis.Analyser()
    analyser.datagram(psi_packet(0, 0, pat({1: 0x1000})) + psi_packet(0x1000, 0, pmt(1, 0x100, [(0x1B, 0x100)])), 0.1)
    analyser.datagram(packet(0x100, 0, b"x") + packet(0x100, 2, b"x"), 0.2)
    report = analyser.close_window(0.4)
    return make_record(report, uri="udp://127.0.0.1:5000", method="packet socket", started=1000.0,
                       wall_end=1001.0, error_times=ErrorTimes())


@pytest.mark.parametrize("ts_value, shown", [
    ("valid", True),
    ('{"bitrate": "fast"}', False),
    ("not json", False),
])
def test_analysis_record_in_status_and_metrics(redis_server, broker, start_serve, ts_value, shown):
    broker.set("ch:42", json.dumps({"live": True}))
    broker.set("ch:42:in:main", json.dumps(STREAM))
    record = analysis_record()
    broker.set("ch:42:ts:main", json.dumps(record) if ts_value == "valid" else ts_value)
    serve = start_serve(f"redis://127.0.0.1:{redis_server.port}/0", "--refresh", "0.3")
    pipe = wait_for(lambda: serve.pipe("42", "main"))
    assert [entry["channel"] for entry in serve.status()["channels"]] == ["42"]
    assert pipe["input"]["state"] == "ok"
    metrics = serve.metrics()
    labels = (("channel", "42"), ("pipe", "main"))
    if not shown:
        assert pipe["analysis"] is None
        assert ("avwatch_ts_bytes_per_second", labels) not in metrics
        return
    assert pipe["analysis"]["bitrate"] == record["bitrate"] and pipe["analysis"]["continuity_errors"] == 1
    assert "pids" not in pipe["analysis"]
    assert metrics[("avwatch_ts_bytes_per_second", labels)] == record["bitrate"] / 8
    assert metrics[("avwatch_ts_errors_total", (("channel", "42"), ("indicator", "continuity_errors"),
                                                 ("pipe", "main")))] == 1
    assert metrics[("avwatch_ts_pat_present", labels)] == 1
    assert not any(name.startswith("avwatch_ts") and dict(items).get("pid") for name, items in metrics)
