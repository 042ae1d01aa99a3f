"""A worker process for the guard tests: probes as a channel worker does and
prints what the test checks, one JSON line per fact.

    python probing_worker.py silent       probe the silent UDP ports in
                                          WORKER_PORTS, one thread each, forever
    python probing_worker.py fork         fork while a silent probe runs
    python probing_worker.py sigchld-ignore | sigchld-reap
                                          probe with SIGCHLD ignored, or
                                          with a handler that reaps any child
    python probing_worker.py drops        probe as root, then give up root,
                                          lower a limit, renice, enter the
                                          folder WORKER_CWD and probe with
                                          the `nice` of folder WORKER_FACTS

WORKER_FILE names a media file that probes answer for; WORKER_SLEEPER=1
makes the silent worker fork a child that outlives it first.
"""

import json
import os
import resource
import signal
import sys
import threading
import time
import warnings
from pathlib import Path

import avwatch

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
from machine import children_running, parent_pid  # noqa: E402

# Forking with threads running is the very case under test.
warnings.filterwarnings("ignore", "This process .* is multi-threaded", DeprecationWarning)

FILE = os.environ.get("WORKER_FILE", "")
PORTS = os.environ.get("WORKER_PORTS", "").split()


def say(**fact):
    print(json.dumps(fact), flush=True)


def probe_silent(port):
    return avwatch.get_ffprobe_info(f"udp://127.0.0.1:{port}?localaddr=127.0.0.1", "1", "256", "257")


def guard_pids():
    return children_running(os.getpid(), "avwatch-guard")


def silent():
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))  # an abort leaves no core file
    if os.environ.get("WORKER_SLEEPER") == "1" and os.fork() == 0:
        time.sleep(30)  # holds copies of the worker's descriptors, never execs
        os._exit(0)
    for port in PORTS:
        threading.Thread(target=lambda port=port: [probe_silent(port) for _ in iter(int, 1)], daemon=True).start()
    # The other probes wait on silent inputs; this one must still answer.
    say(vcodec=avwatch.get_ffprobe_info(FILE)["vcodec"], guards=guard_pids())
    time.sleep(60)


def fork():
    results = []
    waiting = threading.Thread(target=lambda: results.append(probe_silent(PORTS[0])))
    waiting.start()
    time.sleep(0.5)
    child = os.fork()
    if child == 0:
        say(child_vcodec=avwatch.get_ffprobe_info(FILE)["vcodec"])
        os._exit(0)
    os.waitpid(child, 0)
    waiting.join()
    say(parent_silent=results[0]["vcodec"], parent_vcodec=avwatch.get_ffprobe_info(FILE)["vcodec"])


def sigchld(mode):
    reaped = []

    def reap(signum, frame):
        while True:
            try:
                pid, _ = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                return
            if pid == 0:
                return
            reaped.append(pid)

    signal.signal(signal.SIGCHLD, signal.SIG_IGN if mode == "ignore" else reap)
    vcodecs = [avwatch.get_ffprobe_info(FILE)["vcodec"] for _ in range(3)]
    results = []
    waiting = threading.Thread(target=lambda: results.append(probe_silent(PORTS[0])))
    waiting.start()
    time.sleep(0.5)
    # The chain in flight: pid -> (process group, parent).
    chain = {}
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                if PORTS[0].encode() in cmdline.read():
                    chain[int(pid)] = (os.getpgid(int(pid)), parent_pid(int(pid)))
        except OSError:
            continue
    # The leader (nice, then cpulimit) may have exited already: it stays
    # uncollected, a zombie, until its group is killed.
    leader_parents = [parent_pid(group) for group in {group for group, _ in chain.values()}]
    waiting.join()
    say(vcodecs=vcodecs, silent=results[0]["vcodec"], reaped=reaped, guards=guard_pids(), worker=os.getpid(),
        leader_parents=leader_parents,
        chain_parents=sorted({up for group, up in chain.values()}),
        guard_session=os.getsid(guard_pids()[0]), worker_session=os.getsid(0))


def drops():
    first = avwatch.get_ffprobe_info(FILE)["vcodec"]
    os.chdir(os.environ["WORKER_CWD"])
    os.nice(3)
    resource.setrlimit(resource.RLIMIT_NOFILE, (200, 300))
    os.setgroups([4242, 4343])
    os.setresgid(65534, 65534, 65534)
    os.setresuid(65534, 65534, 65534)
    os.environ["PATH"] = os.environ["WORKER_FACTS"] + ":" + os.environ["PATH"]
    avwatch.get_ffprobe_info(FILE)
    say(first=first)


if __name__ == "__main__":
    scenario = sys.argv[1]
    if scenario == "silent":
        silent()
    elif scenario == "fork":
        fork()
    elif scenario == "drops":
        drops()
    else:
        sigchld(scenario.removeprefix("sigchld-"))
