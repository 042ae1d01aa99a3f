"""Why the output monitor publishes nothing, as `avwatch serve` shows it:
the reason a real `avwatch monitor` publishes, and values nobody should
have written under its key."""

import json
import subprocess
import sys
import time

from hls_standin import HlsStandIn
from serve.harness import INITIAL, wait_for

REASON_KEY = "avwatch:reason:ch:7:out:main"
STALE_AFTER = 4


def test_serve_shows_the_monitor_s_reason_while_the_monitor_lives(broker, redis_server, kestrel_root,
                                                                  start_serve):
    url = f"redis://127.0.0.1:{redis_server.port}/0"
    broker.set("ch:7", json.dumps({"live": True}))
    serve = start_serve(url, "--refresh", "0.5", "--stale-after", str(STALE_AFTER))
    with HlsStandIn(kestrel_root / "trunk/objs/nginx/html", "7", "main", fragment=1) as server:
        monitor = subprocess.Popen([sys.executable, "-m", "avwatch_cli", "monitor", "--redis", url,
                                    "--channel", "7", "--pipe", "main", "--output"],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            serve.wait_for_state("7", "main", "output", "ok", timeout=60)
            server.playlist.unlink()

            def silent_with_reason():
                side = serve.side("7", "main", "output")
                return side if side["state"] == "silent" and "playlist.m3u8" in side["reason"] else None
            output = wait_for(silent_with_reason, timeout=30)
            published = " ".join(json.loads(broker.get(REASON_KEY))["reason"].split())
            # The monitor's words first, then the judge's.
            assert output["reason"].startswith(published[:100]) and "no write for" in output["reason"]

            # A monitor killed outright leaves its key behind: its reason goes
            # stale with it, and serve says again only that nothing writes.
            monitor.kill()
            monitor.wait()
            wait_for(lambda: "playlist" not in serve.side("7", "main", "output")["reason"], timeout=30)
            assert serve.side("7", "main", "output")["state"] == "silent"
            assert broker.get(REASON_KEY) is not None
        finally:
            if monitor.poll() is None:
                monitor.kill()
                monitor.wait()


def test_hostile_reason_values_never_reach_the_page_whole(broker, redis_server, start_serve):
    now = time.time()
    values = {   # pipe: (what is under its reason key, what serve adds to the output's reason)
        "fine": (json.dumps({"reason": "bind failed:\nAddress already in use", "seen": now}),
                 "bind failed: Address already in use"),
        "long": (json.dumps({"reason": "x" * 60_000, "seen": now}), "x" * 300),
        "control": (json.dumps({"reason": "a\u001b[2Jb\u0000", "seen": now}), "a\ufffd[2Jb\ufffd"),
        "huge": ("x" * 1_000_000, None),
        "binary": (b"\xff\xfe\x00{", None),
        "deep": ("[" * 10_000 + "]" * 10_000, None),
        "types": (json.dumps({"reason": {"text": "x"}, "seen": "now"}), None),
        "number": ('{"reason": "x", "seen": 1' + "0" * 400 + "}", None),
        "stale": (json.dumps({"reason": "old news", "seen": now - 600}), None),
        "future": (json.dumps({"reason": "no end", "seen": now + 10**9}), None),
    }
    broker.set("ch:8", json.dumps({"live": True}))
    for pipe, (value, _) in values.items():
        broker.set(f"ch:8:in:{pipe}", json.dumps(INITIAL))
        broker.set(f"avwatch:reason:ch:8:out:{pipe}", value)
    serve = start_serve(f"redis://127.0.0.1:{redis_server.port}/0", "--refresh", "0.5")
    wait_for(lambda: "bind failed" in (serve.side("8", "fine", "output") or {}).get("reason", ""))
    for pipe, (_, added) in values.items():
        output = serve.side("8", pipe, "output")
        judged = "no record while the channel is live"
        assert (output["state"], output["reason"]) == ("missing", f"{added}; {judged}" if added else judged), pipe
    assert serve.process.poll() is None
