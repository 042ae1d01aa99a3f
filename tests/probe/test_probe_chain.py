"""The prober chain run for real: nice, cpulimit and ffprobe on generated
media, and a stand-in chain for how the runner starts, waits and cleans up."""

import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import avwatch
from machine import free_port, gone_soon, processes_naming
from probe_fakes import DEFAULT_RECORD, RECORD_KEYS

pytestmark = pytest.mark.usefixtures("real_subprocess")


@pytest.fixture
def real_subprocess(monkeypatch):
    monkeypatch.setattr(avwatch, "subprocess", subprocess)


def test_a_file_through_the_real_chain(ts_file):
    started = time.monotonic()
    record = avwatch.get_ffprobe_info(str(ts_file))
    elapsed = time.monotonic() - started
    assert list(record) == RECORD_KEYS
    assert (record["vcodec"], record["acodec"], record["vresolution"], record["vfps"]) == ("h264", "aac", "1280x720", 25)
    assert record["vbitrate"] > 0 and record["abitrate"] > 0
    assert record["bitrate"] == record["vbitrate"] + record["abitrate"]
    # The wrapper's limiter lingers about 2 s on the pipes; the answer must not wait for it.
    assert elapsed < 1.0


def test_a_live_udp_stream_within_the_limit(udp_stream):
    record = avwatch.get_ffprobe_info(udp_stream.uri + "?localaddr=127.0.0.1", "1", "256", "257")
    assert (record["vcodec"], record["acodec"], record["vresolution"], record["vfps"]) == ("h264", "aac", "640x360", 25)
    assert record["abitrate"] > 0


def test_a_silent_source_times_out_without_leaks_or_holding_the_lock(ts_file):
    port = str(free_port(socket.SOCK_DGRAM))
    results = []
    waiting = threading.Thread(target=lambda: results.append(
        avwatch.get_ffprobe_info(f"udp://127.0.0.1:{port}?localaddr=127.0.0.1", "1", "256", "257")))
    waiting.start()
    time.sleep(0.3)
    assert processes_naming(port), "the chain did not start"
    # While that probe waits, this thread runs Python and probes too.
    assert avwatch.get_ffprobe_info(str(ts_file))["vcodec"] == "h264"
    assert waiting.is_alive()
    waiting.join(10)
    assert results == [DEFAULT_RECORD]
    assert gone_soon(port)


def test_ctrl_c_kills_the_chain_and_raises(monkeypatch):
    port = str(free_port(socket.SOCK_DGRAM))
    timer = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
    started = time.monotonic()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        avwatch.get_ffprobe_info(f"udp://127.0.0.1:{port}", "1", "256", "257")
    # Not the 3 s of a timeout followed by the interrupt.
    assert time.monotonic() - started < 2.0
    assert gone_soon(port)


def test_a_missing_nice_raises_file_not_found(monkeypatch, tmp_path):
    monkeypatch.setenv("PATH", str(tmp_path))
    with pytest.raises(FileNotFoundError) as raised:
        avwatch.get_ffprobe_info("/seg.ts")
    assert raised.value.filename == "nice"


# ---- a stand-in chain: a fake nice first on PATH ----

@pytest.fixture
def fake_chain(monkeypatch, tmp_path):
    nice = tmp_path / "bin" / "nice"
    nice.parent.mkdir()
    nice.write_text('#!/bin/sh\nexport FAKE_PROBER_SIGNALS="$(grep ^Sig /proc/$$/status | tr "\\n" " ")"\n'
                    f'exec "{sys.executable}" "{Path(__file__).with_name("fake_nice.py")}" "$@"\n')
    nice.chmod(0o755)
    monkeypatch.setenv("PATH", f"{nice.parent}:{os.environ['PATH']}")
    monkeypatch.setenv("FAKE_PROBER_PIDFILE", str(tmp_path / "helper.pid"))

    def probe(mode, uri="/seg.ts"):
        monkeypatch.setenv("FAKE_PROBER_MODE", mode)
        return avwatch.get_ffprobe_info(uri)
    probe.pidfile = tmp_path / "helper.pid"
    return probe


def test_the_chain_starts_like_the_interpreters_subprocess(fake_chain, monkeypatch):
    read_end, write_end = os.pipe()
    os.set_inheritable(write_end, True)
    monkeypatch.setenv("FAKE_PROBER_INHERITABLE_FD", str(write_end))
    blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR1})
    try:
        facts = json.loads(fake_chain("facts", "/dir with space/é.ts")["acodec"])
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
        os.close(read_end)
        os.close(write_end)
    assert facts == {"stdin": "/dev/null", "leads_own_group": True, "fd_inherited": False, "blocked_signals": 0,
                     "sigpipe_ignored": False, "arguments": facts["arguments"]}
    assert facts["arguments"][0] == "-n" and facts["arguments"][-1] == "/dir with space/é.ts"


@pytest.mark.parametrize("mode, expected", [
    ("chatter", 1000),   # wrapper text after the answer
    ("linger", 1000),    # a helper keeps stdout open for 30 s: not waited for
    ("fail", 0),         # the started process's status counts
    ("killed", 0),
    ("silent", 0),
])
def test_the_answer_and_the_status_of_the_started_process(fake_chain, mode, expected):
    assert fake_chain(mode)["abitrate"] == expected


def test_a_lingering_helper_is_killed(fake_chain):
    assert fake_chain("linger")["acodec"] == "fake"
    helper = int(fake_chain.pidfile.read_text())
    deadline = time.monotonic() + 2
    while time.monotonic() < deadline:
        try:
            state = Path(f"/proc/{helper}/stat").read_text().rsplit(")", 1)[1].split()[0]
        except (FileNotFoundError, ProcessLookupError):  # gone while it was read
            break
        if state == "Z":
            break
        time.sleep(0.02)
    else:
        pytest.fail(f"helper {helper} still runs")


def test_undecodable_output_raises(fake_chain):
    with pytest.raises(UnicodeDecodeError):
        fake_chain("undecodable")
