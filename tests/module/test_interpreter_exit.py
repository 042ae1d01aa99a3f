"""A worker that exits while daemon threads are still inside avwatch calls:
the interpreter ends those threads as they try to take the lock back, and
the process must exit as cleanly as the same program written in Python."""

import os
import signal
import socket
import subprocess
import sys
import textwrap

import pytest

from machine import free_port, processes_naming

# Three probes of a UDP input nobody sends to (waiting in the runner) and
# three monitors pausing in time.sleep, all in daemon threads; the main
# thread leaves while every one of them is inside its call.
WORKER = textwrap.dedent("""
    import json, sys, threading, time
    import redis
    import avwatch

    port, silent = int(sys.argv[1]), sys.argv[2]
    broker = redis.StrictRedis(host="127.0.0.1", port=port)
    broker.set("ch:exit", json.dumps({"live": True}))
    for n in range(2):
        broker.set(f"ch:exit:input:in{n}", json.dumps({}))  # no URI yet: the monitor pauses
    calls = [(avwatch.get_ffprobe_info, (f"udp://127.0.0.1:{silent}?localaddr=127.0.0.1", "1", "256", "257"))] * 3
    calls += [(avwatch.ffmpeg_input_bitrate, ("exit", f"in{n}", broker)) for n in range(2)]
    calls += [(avwatch.ffmpeg_output_bitrate, ("exit", "out", broker))]
    for function, args in calls:
        threading.Thread(target=function, args=args, daemon=True).start()
    time.sleep(0.6)
    print("leaving", flush=True)
""")

# Under the sanitizers, enough runs to catch a report that comes one exit in a few.
RUNS = 50 if "ASAN_OPTIONS" in os.environ else 10


@pytest.mark.usefixtures("kestrel_root")
def test_exit_with_daemon_threads_inside_calls(redis_server):
    silent = str(free_port(socket.SOCK_DGRAM))
    try:
        for run in range(RUNS):
            result = subprocess.run([sys.executable, "-c", WORKER, str(redis_server.port), silent],
                                    capture_output=True, text=True, timeout=60)
            assert (result.returncode, result.stdout) == (0, "leaving\n"), f"run {run}: {result.stderr}"
            assert "terminate called" not in result.stderr
    finally:
        # A thread ended by the exit itself (not by the unwind) leaves its
        # chain: clear what these workers started.
        for pid in processes_naming(silent):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
