import json, subprocess, sys, time, urllib.parse, urllib.request, shutil
from pathlib import Path
import pytest
from machine import free_port
from serve.harness import wait_for

RULES = Path(__file__).resolve().parents[2] / "contrib" / "prometheus"


@pytest.mark.parametrize("run", range(3))
def test_measure(broker, redis_server, udp_stream, start_serve, tmp_path, run):
    url = f"redis://127.0.0.1:{redis_server.port}/0"
    broker.set("ch:9", json.dumps({"live": True}))
    broker.set("ch:9:input:main", json.dumps({"uri": udp_stream.uri, "miface": "127.0.0.1", "pid": 1, "vpid": 256, "apid": 257}))
    serve = start_serve(url)
    config = tmp_path / "p.yml"
    config.write_text(json.dumps({"global": {"scrape_interval": "1s", "evaluation_interval": "1s"},
        "rule_files": [str(RULES / "avwatch.rules.yml"), str(RULES / "avwatch-ts.rules.yml")],
        "scrape_configs": [{"job_name": "a", "static_configs": [{"targets": [f"127.0.0.1:{serve.port}"]}]}]}))
    port = free_port()
    prom = subprocess.Popen([shutil.which("prometheus"), f"--config.file={config}", f"--storage.tsdb.path={tmp_path/'d'}",
                             f"--web.listen-address=127.0.0.1:{port}"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    monitor = subprocess.Popen([sys.executable, "-m", "avwatch_cli", "monitor", "--redis", url, "--channel", "9", "--pipe", "main", "--input"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    def query(e):
        try:
            with urllib.request.urlopen(f"http://127.0.0.1:{port}/api/v1/query?" + urllib.parse.urlencode({"query": e}), timeout=5) as r:
                return json.load(r)["data"]["result"]
        except OSError:
            return []
    try:
        serve.wait_for_state("9", "main", "input", "ok", timeout=60)
        wait_for(lambda: query('avwatch_health{state="ok",side="input"} == 1'), timeout=60)
        time.sleep(3)
        t0 = time.monotonic(); udp_stream.stop()
        serve.wait_for_state("9", "main", "input", "no_signal", timeout=60); api = time.monotonic() - t0
        wait_for(lambda: query('ALERTS{alertname="AvwatchInputNoSignal"}'), timeout=60, interval=0.05); pend = time.monotonic() - t0
        wait_for(lambda: query('ALERTS{alertname="AvwatchInputNoData"}'), timeout=60, interval=0.05); nd = time.monotonic() - t0
        print(f"\nAPI {api:.2f} s; AvwatchInputNoSignal pending {pend:.2f} s; AvwatchInputNoData pending {nd:.2f} s")
    finally:
        monitor.kill(); monitor.wait(); prom.terminate(); prom.wait(15)
