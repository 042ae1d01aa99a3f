"""A worker for the probe's fault tests: meets one fault around its probes
(a guard stopped or killed, descriptors closed behind the module's back,
limits changed, sub-interpreters) and prints what the test checks as one
JSON object.

    python faulty_worker.py SCENARIO

WORKER_FILE names a media file that probes answer for, WORKER_PORTS silent
UDP ports, WORKER_PATH a PATH for probes with fake chains.
"""

import json
import os
import resource
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import avwatch

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
from machine import children_running  # noqa: E402

FILE = os.environ.get("WORKER_FILE", "")
PORTS = os.environ.get("WORKER_PORTS", "").split()


def say(**facts):
    print(json.dumps(facts), flush=True)


def guards():
    return children_running(os.getpid(), "avwatch-guard")


def silent_uri(port):
    return f"udp://127.0.0.1:{port}?localaddr=127.0.0.1"


def timed(function, *args):
    started = time.monotonic()
    try:
        outcome = function(*args)["vcodec"]
    except BaseException as error:  # noqa: B036 - Ctrl-C is one of the outcomes
        outcome = type(error).__name__
    return outcome, round(time.monotonic() - started, 2)


def stopped_guard():
    """Probes from many threads while the guard is stopped; a ticker thread
    measures how long the interpreter went without running Python."""
    os.environ["PATH"] = os.environ["WORKER_PATH"]
    avwatch.get_ffprobe_info(FILE)
    [guard] = guards()
    os.kill(guard, signal.SIGSTOP)
    ticks = [time.monotonic()]
    done = threading.Event()

    def tick():
        while not done.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.01)

    ticker = threading.Thread(target=tick)
    ticker.start()
    results = [None] * 8
    threads = [threading.Thread(target=lambda n=n: results.__setitem__(n, timed(avwatch.get_ffprobe_info, FILE)))
               for n in range(len(results))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    done.set()
    ticker.join()
    stuck_gap = max(later - earlier for earlier, later in zip(ticks, ticks[1:]))
    say(results=results, stuck_gap=round(stuck_gap, 2), old_guard_alive=Path(f"/proc/{guard}").exists(),
        guards=guards())


def stopped_guard_ctrl_c():
    signal.signal(signal.SIGINT, signal.default_int_handler)
    avwatch.get_ffprobe_info(FILE)
    [guard] = guards()
    os.kill(guard, signal.SIGSTOP)
    interrupted = []
    threading.Timer(0.5, lambda: (interrupted.append(time.monotonic()), os.kill(os.getpid(), signal.SIGINT))).start()
    outcome, _ = timed(avwatch.get_ffprobe_info, silent_uri(PORTS[0]))
    os.kill(guard, signal.SIGCONT)  # or it would hold the worker's stderr for ever
    say(outcome=outcome, after_interrupt=round(time.monotonic() - interrupted[0], 2))


def slow_start():
    """One chain's exec hangs (see the preload); another probe goes on."""
    slow = []
    thread = threading.Thread(target=lambda: slow.append(timed(avwatch.get_ffprobe_info, "/slow-start/seg.ts")))
    thread.start()
    time.sleep(0.3)
    other = timed(avwatch.get_ffprobe_info, FILE)
    thread.join()
    say(other=other, slow=slow[0])


def guard_killed_repeatedly():
    """Six threads probe silent ports while the guard is killed every
    10-100 ms; the worker then leaves with its threads inside probes."""
    outcomes = []

    def probe_forever(port):
        while True:
            outcomes.append(timed(avwatch.get_ffprobe_info, silent_uri(port))[0])

    for port in PORTS:
        threading.Thread(target=probe_forever, args=(port,), daemon=True).start()
    until = time.monotonic() + 4
    kills = 0
    while time.monotonic() < until:
        for guard in guards():
            os.kill(guard, signal.SIGKILL)
            kills += 1
        time.sleep(0.01 + (kills % 10) / 100)
    say(kills=kills, outcomes=sorted(set(outcomes)))


def guard_killed_as_worker_leaves():
    """Six threads are inside probes of silent ports when the worker leaves
    with its guard stopped, and the guard is killed just after: nobody is
    left to end the chains but the worker's own exit."""
    for port in PORTS:
        threading.Thread(target=avwatch.get_ffprobe_info, args=(silent_uri(port),), daemon=True).start()
    time.sleep(1)
    [guard] = guards()
    os.kill(guard, signal.SIGSTOP)
    subprocess.Popen(["sh", "-c", f"sleep 0.5; kill -KILL {guard}"], start_new_session=True,
                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    say(kills=1, outcomes=[])


def kept_descriptors():
    """The socket to the guard and the guard's pidfd: the only ones the
    worker holds between probes."""
    targets = {}
    for fd in os.listdir("/proc/self/fd"):
        try:
            targets[int(fd)] = os.readlink(f"/proc/self/fd/{fd}")
        except FileNotFoundError:  # the listing's own
            continue
    [link] = [fd for fd, target in targets.items() if target.startswith("socket:")]
    [pidfd] = [fd for fd, target in targets.items() if "pidfd" in target]
    return link, pidfd


def closed_behind_our_back(reuse):
    """The kept descriptors are closed, and with `reuse` their numbers go
    to a socket of a pair and a pidfd of the worker's own."""
    first = avwatch.get_ffprobe_info(FILE)["vcodec"]
    [old_guard] = guards()
    link, pidfd = kept_descriptors()
    os.closerange(3, 1024)
    peer, sleeper = None, None
    if reuse:
        sleeper = os.posix_spawn("/bin/sleep", ["sleep", "30"], os.environ)
        os.dup2(os.pidfd_open(sleeper), pidfd)
        ours, peer = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        os.dup2(ours.fileno(), link)
    later = [avwatch.get_ffprobe_info(FILE)["vcodec"] for _ in range(2)]
    heard = None
    if peer is not None:
        try:
            heard = len(peer.recv(4096, socket.MSG_DONTWAIT))
        except BlockingIOError:
            pass
    sleeper_alive = sleeper is not None and os.waitpid(sleeper, os.WNOHANG) == (0, 0)
    if sleeper is not None:
        os.kill(sleeper, signal.SIGKILL)
        os.waitpid(sleeper, 0)
    time.sleep(0.5)
    avwatch.get_ffprobe_info(FILE)  # collects the old guard, which has ended by now
    say(first=first, later=later, heard=heard, sleeper_alive=sleeper_alive,
        old_guard_left=Path(f"/proc/{old_guard}").exists())


def limit_raised():
    """The guard starts under a low descriptor limit; the worker raises it
    and probes from more threads than the old limit has room for."""
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (64, hard))
    os.environ["PATH"] = os.environ["WORKER_PATH"]
    avwatch.get_ffprobe_info(FILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (4096, hard))
    outcomes = []
    threads = [threading.Thread(target=lambda: outcomes.append(timed(avwatch.get_ffprobe_info, FILE)[0]))
               for _ in range(48)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    say(outcomes=sorted(set(outcomes)), count=len(outcomes))


def processes_exhausted(guard_as):
    """No process left under RLIMIT_NPROC: the probe fails as a fork of
    the worker's own would, whoever the guard runs as."""
    os.environ["PATH"] = os.environ["WORKER_PATH"]
    if guard_as == "root":
        avwatch.get_ffprobe_info(FILE)
    os.setresgid(65534, 65534, 65534)
    os.setresuid(65534, 65534, 65534)
    if guard_as == "worker":
        avwatch.get_ffprobe_info(FILE)
    resource.setrlimit(resource.RLIMIT_NPROC, (1, 1))
    errors = []
    for probe in (lambda: os.posix_spawn("/bin/true", ["true"], os.environ), lambda: avwatch.get_ffprobe_info(FILE)):
        try:
            probe()
            errors.append(None)
        except OSError as error:
            errors.append([type(error).__name__, error.errno])
    say(subprocess=errors[0], probe=errors[1])


if __name__ == "__main__":
    scenario = sys.argv[1]
    if scenario.startswith("closed"):
        closed_behind_our_back(scenario == "closed-reused")
    elif scenario.startswith("nproc-"):
        processes_exhausted(scenario.removeprefix("nproc-"))
    else:
        {
            "stopped-guard": stopped_guard,
            "stopped-guard-ctrl-c": stopped_guard_ctrl_c,
            "slow-start": slow_start,
            "guard-killed-repeatedly": guard_killed_repeatedly,
            "guard-killed-as-worker-leaves": guard_killed_as_worker_leaves,
            "limit-raised": limit_raised,
        }[scenario]()
