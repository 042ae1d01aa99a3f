"""`avwatch serve` watching the real monitors (`avwatch monitor`) on a live
synthetic channel: a UDP input from ffmpeg and the HLS stand-in's output."""

import json
import os
import shutil
import subprocess
import sys
import time

import pytest

from hls_standin import HlsStandIn
from serve import browser
from serve.harness import wait_for


# serve's default refresh (2 s) and a short one: the analyser's alarm makes
# an input that stops show as fast at either.
@pytest.mark.parametrize("refresh", [["--refresh", "0.5"], []], ids=["refresh-0.5", "refresh-default"])
def test_serve_follows_the_monitors(broker, redis_server, kestrel_root, udp_stream, start_serve, refresh):
    url = f"redis://127.0.0.1:{redis_server.port}/0"
    broker.set("ch:9", json.dumps({"live": True}))
    broker.set("ch:9:input:main", json.dumps({"uri": udp_stream.uri, "miface": "127.0.0.1",
                                              "pid": 1, "vpid": 256, "apid": 257}))
    serve = start_serve(url, *refresh)
    if (why := browser.missing()) is not None:
        pytest.fail(why)
    page = browser.Browser()
    page.open(serve.base + "/")
    with HlsStandIn(kestrel_root / "trunk/objs/nginx/html", "9", "main", fragment=1):
        monitor = subprocess.Popen([sys.executable, "-m", "avwatch_cli", "monitor", "--redis", url,
                                    "--channel", "9", "--pipe", "main"],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        try:
            output = serve.wait_for_state("9", "main", "output", "ok", timeout=60)
            source = serve.wait_for_state("9", "main", "input", "ok", timeout=60)
            assert (source["record"]["vcodec"], source["record"]["vresolution"]) == ("h264", "640x360")
            assert output["record"]["bitrate"] > 0 and output["record"]["lastts"].endswith(".ts")

            # The analyser's measurement leads where it runs (it needs CAP_NET_RAW on unicast).
            analysed = wait_for(lambda: serve.pipe("9", "main"), timeout=5)["analysis"] is not None
            if analysed:
                measured = wait_for(lambda: (side := serve.side("9", "main", "input"))["bitrate_measured"] and side)
                assert measured["bitrate"] > 0 and measured["estimated_bitrate"] == measured["record"]["bitrate"]

            stopped_at = time.monotonic()
            udp_stream.stop()
            gone = serve.wait_for_state("9", "main", "input", "no_signal", timeout=60)
            shown = time.monotonic() - stopped_at
            wait_for(lambda: serve.metrics().get(("avwatch_health", (("channel", "9"), ("pipe", "main"),
                                                                     ("side", "input"), ("state", "no_signal")))))
            exported = time.monotonic() - stopped_at
            page.wait_for(lambda: any(state == "no_signal" for row in page.rows() for state, _ in row["badges"]),
                          what="the input's no_signal badge")
            # Reported, not asserted: how long the operator waits to see it.
            print(f"\ninput stopped -> no_signal in {shown:.2f} s in /api/status, {exported:.2f} s in /metrics, "
                  f"{time.monotonic() - stopped_at:.2f} s on the page ({gone['reason']})")
            if analysed:   # the analyser saw it, long before the probe would have
                assert gone["reason"].startswith("the analyser got no data"), gone
            assert serve.side("9", "main", "output")["state"] == "ok"

            broker.set("ch:9", json.dumps({"live": False}))
            wait_for(lambda: monitor.poll() is not None, timeout=60)
            serve.wait_for_state("9", "main", "output", "stopped")
        finally:
            page.close()
            if monitor.poll() is None:
                monitor.kill()
            monitor.communicate()
    changes = [(event["side"], event["from"], event["to"]) for event in reversed(serve.status()["events"])]
    assert ("input", "ok", "no_signal") in changes and ("output", "ok", "stopped") in changes


@pytest.mark.skipif(os.geteuid() != 0 or shutil.which("setpriv") is None, reason="needs root and setpriv")
def test_an_input_the_monitor_cannot_analyse_is_exported(broker, redis_server, udp_stream, start_serve):
    """The monitor without CAP_NET_RAW, as a unit that lacks it: its unicast
    input cannot be analysed, which serve shows and exports (one series, for
    this pipe only) while the probe's verdict stands."""
    url = f"redis://127.0.0.1:{redis_server.port}/0"
    broker.set("ch:9", json.dumps({"live": True}))
    broker.set("ch:9:input:main", json.dumps({"uri": udp_stream.uri, "miface": "127.0.0.1",
                                              "pid": 1, "vpid": 256, "apid": 257}))
    serve = start_serve(url, "--refresh", "0.5")
    absent = ("avwatch_ts_analysis_absent", (("channel", "9"), ("pipe", "main")))
    monitor = subprocess.Popen(["setpriv", "--bounding-set=-net_raw", "--inh-caps=-net_raw", sys.executable, "-m",
                                "avwatch_cli", "monitor", "--redis", url, "--channel", "9", "--pipe", "main",
                                "--input"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        pipe = wait_for(lambda: (found := serve.pipe("9", "main")) and found["analysis"] and found, timeout=30)
        assert "CAP_NET_RAW" in pipe["analysis"]["analysis_failed"], pipe["analysis"]
        assert serve.metrics()[absent] == 1
        assert serve.wait_for_state("9", "main", "input", "ok", timeout=60)["bitrate_measured"] is False

        broker.set("ch:9", json.dumps({"live": False}))   # the channel stops: nothing is missing
        wait_for(lambda: monitor.poll() is not None, timeout=60)
        wait_for(lambda: absent not in serve.metrics())
        assert broker.get("ch:9:ts:main") is None
    finally:
        if monitor.poll() is None:
            monitor.kill()
        monitor.communicate()
