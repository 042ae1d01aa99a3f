"""The demo, shortened, from start to stop (plain output: not a terminal)."""

import json
import re
import subprocess
import sys
from pathlib import Path

from machine import command_lines

DEMO = Path(__file__).resolve().parents[2] / "tools" / "demo.py"


def test_demo_shows_both_records_then_their_deletion(kestrel_root):
    result = subprocess.run([sys.executable, str(DEMO), "--seconds", "8"],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stdout + result.stderr
    records = {}
    for key, text in re.findall(r"^\s*[\d.]+s  (ch:42:(?:in|out):main)\s+(\{.*\})$", result.stdout, re.M):
        records.setdefault(key, []).append(json.loads(text))
    for key in ("ch:42:in:main", "ch:42:out:main"):
        assert any(record.get("vcodec") == "h264" and record["bitrate"] > 0 for record in records[key]), key
        assert re.search(rf"s  {key} deleted$", result.stdout, re.M)
    assert "both status keys are gone" in result.stdout

    # Everything the demo started has ended: its Redis and UDP ports are in no command line.
    ports = re.search(r"redis-server on 127.0.0.1:(\d+)", result.stdout)[1], \
        re.search(r"udp://127.0.0.1:(\d+)", result.stdout)[1]
    assert not [line for line in (" ".join(args) for args in command_lines().values()) if any(port in line for port in ports)]


def test_demo_serves_health_and_shows_the_input_drop_and_return(kestrel_root):
    """Long enough for the UDP outage before the end: serve sees the input go
    without signal and come back, while the output stays ok."""
    result = subprocess.run([sys.executable, str(DEMO), "--seconds", "26"],
                            capture_output=True, text=True, timeout=90)
    assert result.returncode == 0, result.stdout + result.stderr
    page = re.search(r"the live page at (http://127\.0\.0\.1:(\d+)/)", result.stdout)
    assert page, result.stdout
    changes = re.findall(r"^\s*[\d.]+s  (avwatch serve: .*|UDP sender .*)$", result.stdout, re.M)
    # The relay's losses make the input degraded for a while: it answers, faulty.
    expected = [r"UDP sender stopped",
                r"avwatch serve: input (ok|degraded) -> no_signal", r"UDP sender started again",
                r"avwatch serve: input no_signal -> (ok|degraded)", r"avwatch serve: input (ok|degraded) -> stopped"]
    found = iter(changes)
    for step in expected:   # in this order, other lines between
        assert any(re.match(step, line) for line in found), (step, changes)
    assert not [line for line in changes if line.startswith("avwatch serve: output ok ->")
                and "-> stopped" not in line], changes
    # The relay's losses: the analyser counts them, while the probe's record stays ok all along.
    losses = re.findall(r"^\s*[\d.]+s  analyser: \+(\d+) continuity errors", result.stdout, re.M)
    assert losses and int(losses[0]) > 0, result.stdout
    assert re.search(r"^\s*[\d.]+s  analyser: measured [\d,]+ b/s", result.stdout, re.M)
    # Once answering, the input lost its signal only with the outage: the losses degrade it, no more.
    outage = next(i for i, line in enumerate(changes) if line.startswith("UDP sender stopped"))
    assert not [line for line in changes[:outage] if re.match(r"avwatch serve: input (ok|degraded) -> no_signal", line)]
    assert [line for line in changes if re.match(r"avwatch serve: input \w+ -> degraded \(.*continuity errors \+\d+", line)]
    assert not [args for args in command_lines().values() if page[2] in " ".join(args)]


def test_demo_shows_the_hls_output_stale_and_recovering(kestrel_root):
    """From 30 s on, the encoder stops for a moment after the input outage:
    its playlist freezes, the HLS analyser calls it stale and serve the output
    degraded, while the module's record (its newest segment still recent)
    stays ok; then every check passes again.  Meanwhile, the content faults
    shortened, the input's picture turns black 2 s in, for 6 s: its analyser
    says so, while the output's picture stays clean."""
    result = subprocess.run([sys.executable, str(DEMO), "--seconds", "32", "--fault-seconds", "6"],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    lines = re.findall(r"^\s*[\d.]+s  (HLS .*|avwatch serve: output .*)$", result.stdout, re.M)
    expected = ["HLS analyser: every check passes", "HLS encoder stopped",
                "HLS analyser: stale: the playlist has not advanced", "HLS encoder started again",
                "the media sequence went back", "HLS analyser: every check passes"]
    found = iter(line for line in lines if line.startswith("HLS"))
    for step in expected:   # in this order, other lines between
        assert any(step in line for line in found), (step, lines)
    # serve, judging from the analyser's record and the module's alike (lines of one
    # second may come in either order): degraded by the stale playlist, then ok.
    paused = lines[next(i for i, line in enumerate(lines) if line.startswith("HLS encoder stopped")):]
    found = iter(line for line in paused if line.startswith("avwatch serve"))
    for step in ["avwatch serve: output ok -> degraded (HLS: stale playlist", "avwatch serve: output degraded -> ok"]:
        assert any(line.startswith(step) for line in found), (step, lines)
    # The module's record stays ok meanwhile: its newest segment is still recent.
    assert not [line for line in paused if "-> no_signal" in line or "playlist is empty" in line], lines
    # The input analyser's record saw the black picture, then the picture back; the output's stayed clean.
    content = re.findall(r"^\s*[\d.]+s  ((?:input|output) analyser: .*|UDP sender: .*)$", result.stdout, re.M)
    found = iter(content)
    for step in ["UDP sender: a black picture", "input analyser: a black picture",
                 "UDP sender: moving picture and tone again", "input analyser: moving picture and sound"]:
        assert any(line.startswith(step) for line in found), (step, content)
    assert any(line.startswith("output analyser: moving picture and sound") for line in content), content
    assert not [line for line in content if line.startswith("output analyser: a ")], content
