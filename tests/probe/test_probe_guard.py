"""No prober process outlives its worker, the chain is never the worker's
child, and the program is found on PATH as the interpreter finds it."""

import contextlib
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import pytest

import avwatch
from machine import children_of, children_running, command_lines, free_port, processes_naming

WORKER = Path(__file__).with_name("probing_worker.py")


@pytest.fixture(autouse=True)
def real_subprocess(monkeypatch):
    monkeypatch.setattr(avwatch, "subprocess", subprocess)


def start_worker(scenario, ts_file, ports, **env):
    return subprocess.Popen([sys.executable, str(WORKER), scenario], stdout=subprocess.PIPE, text=True,
                            env={**os.environ, "WORKER_FILE": str(ts_file), "WORKER_PORTS": " ".join(ports), **env})


def chain_processes(ports):
    """Live nice, cpulimit and ffprobe processes probing any of `ports`."""
    return [pid for port in ports for pid in processes_naming(f"127.0.0.1:{port}")
            if Path(command_lines().get(pid, [""])[0]).name in ("nice", "cpulimit", "ffprobe")]


def wait_until(condition, limit):
    deadline = time.monotonic() + limit
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.01)
    return condition()


@pytest.mark.parametrize("ending, threads, sleeper", [
    pytest.param(signal.SIGKILL, 1, False, id="kill"),
    pytest.param(signal.SIGTERM, 1, False, id="term"),   # the default action: no Python code runs
    pytest.param(signal.SIGABRT, 1, False, id="abort"),
    pytest.param(signal.SIGKILL, 3, False, id="kill-three-threads"),
    pytest.param(signal.SIGKILL, 1, True, id="kill-with-forked-child-alive"),
])
def test_no_prober_outlives_its_worker(ts_file, ending, threads, sleeper):
    ports = [str(free_port(socket.SOCK_DGRAM)) for _ in range(threads)]
    worker = start_worker("silent", ts_file, ports, WORKER_SLEEPER="1" if sleeper else "0")
    try:
        # A file probes while the silent ones wait: they never block each other.
        started = json.loads(worker.stdout.readline())
        assert started["vcodec"] == "h264"
        assert wait_until(lambda: all(chain_processes([port]) for port in ports), 5), "the chains did not start"
        time.sleep(0.5)  # well inside the probes' 3 s limit
        killed = time.monotonic()
        os.kill(worker.pid, ending)
        assert worker.wait(5) == -ending
        assert wait_until(lambda: not chain_processes(ports), 5), f"left running: {chain_processes(ports)}"
        print(f"last prober process gone {(time.monotonic() - killed) * 1000:.0f} ms after the worker was sent {ending.name}")
        assert wait_until(lambda: not set(started["guards"]) & set(command_lines()), 5), "the guard outlived the worker"
    finally:
        worker.kill()
        worker.wait()


def test_a_forked_child_probes_on_its_own_and_leaves_the_parents_probe_alone(ts_file):
    worker = start_worker("fork", ts_file, [str(free_port(socket.SOCK_DGRAM))])
    output, _ = worker.communicate(timeout=20)
    facts = {key: value for line in output.splitlines() for key, value in json.loads(line).items()}
    assert worker.returncode == 0
    assert facts == {"child_vcodec": "h264", "parent_silent": "", "parent_vcodec": "h264"}


@pytest.mark.parametrize("mode", ["ignore", "reap"])
def test_the_chain_is_never_the_workers_child(ts_file, mode):
    """Whatever the worker does with SIGCHLD, it has no chain process to
    collect: the guard is the leaders' parent, and only the guard collects
    them, after killing their groups, so no group id it signals is recycled."""
    port = str(free_port(socket.SOCK_DGRAM))
    worker = start_worker(f"sigchld-{mode}", ts_file, [port])
    output, _ = worker.communicate(timeout=20)
    facts = json.loads(output)
    assert worker.returncode == 0
    assert facts["vcodecs"] == ["h264"] * 3 and facts["silent"] == ""
    assert facts["reaped"] == []
    [guard] = facts["guards"]
    assert facts["leader_parents"] == [guard]
    assert facts["worker"] not in facts["chain_parents"]
    # The worker's terminal and group signals never reach the guard.
    assert facts["guard_session"] == guard != facts["worker_session"]
    assert chain_processes([port]) == []


# Stands in for the chain: notes what it started with, answers nothing.
FACT_TELLER = """#!/bin/sh
cat /proc/$$/status > "$WORKER_FACTS/status"
cat /proc/$$/limits > "$WORKER_FACTS/limits"
cut -d' ' -f19 /proc/$$/stat > "$WORKER_FACTS/niceness"
readlink /proc/$$/cwd > "$WORKER_FACTS/cwd"
echo '{}'
"""


@pytest.mark.skipif(os.geteuid() != 0, reason="gives up root")
def test_the_chain_takes_what_the_worker_has_now_not_what_the_guard_has(ts_file):
    """A worker that gives up root after its first probe (which started the
    guard as root) probes as the user it became, with its limits, nice value
    and directory of the moment, as a child of its own would start."""
    facts = Path(tempfile.mkdtemp(prefix="avwatch-worker-facts-"))
    try:
        facts.chmod(0o777)  # the worker's new user writes here
        (facts / "nice").write_text(FACT_TELLER)
        (facts / "nice").chmod(0o755)
        private = facts / "private"
        private.mkdir(mode=0o700)  # root's: the new user may not enter it
        worker = start_worker("drops", ts_file, [], WORKER_FACTS=str(facts), WORKER_CWD=str(private))
        output, _ = worker.communicate(timeout=20)
        assert worker.returncode == 0 and json.loads(output) == {"first": "h264"}
        status = (facts / "status").read_text()
        assert "\nUid:\t65534\t65534\t65534\t65534\n" in status
        assert "\nGid:\t65534\t65534\t65534\t65534\n" in status
        assert "\nGroups:\t4242 4343 \n" in status
        assert (facts / "limits").read_text().split("Max open files")[1].split()[:2] == ["200", "300"]
        assert (facts / "niceness").read_text().strip() == "3"
        assert (facts / "cwd").read_text().strip() == str(private)
    finally:
        shutil.rmtree(facts)


# ---- finding the program on PATH ----

def not_executable(folder):
    folder.mkdir()
    (folder / "nice").write_text("#!/bin/sh\nexit 1\n")
    (folder / "nice").chmod(0o644)


def without_interpreter_line(folder):
    folder.mkdir()
    (folder / "nice").write_text("echo this is no program\n")
    (folder / "nice").chmod(0o755)


def not_a_folder(folder):
    folder.write_text("")


@pytest.mark.parametrize("earlier", [
    [not_executable],
    [without_interpreter_line],
    [not_a_folder, without_interpreter_line, not_executable],
])
def test_unusable_programs_earlier_on_path_are_passed_over(ts_file, tmp_path, monkeypatch, earlier):
    folders = [tmp_path / f"bin{i}" for i in range(len(earlier))]
    for make, folder in zip(earlier, folders):
        make(folder)
    monkeypatch.setenv("PATH", os.pathsep.join([*map(str, folders), "", os.environ["PATH"]]))
    assert avwatch.get_ffprobe_info(str(ts_file))["vcodec"] == "h264"


@pytest.mark.parametrize("earlier", [
    [not_executable],
    [without_interpreter_line],
    [not_a_folder, without_interpreter_line, not_executable],
    [not_a_folder],
])
def test_when_nothing_runs_the_error_is_the_interpreters(tmp_path, monkeypatch, earlier):
    folders = [tmp_path / f"bin{i}" for i in range(len(earlier))]
    for make, folder in zip(earlier, folders):
        make(folder)
    monkeypatch.setenv("PATH", os.pathsep.join(map(str, folders)))
    with pytest.raises(OSError) as expected:
        subprocess.run(["nice"])
    with pytest.raises(OSError) as raised:
        avwatch.get_ffprobe_info("/seg.ts")
    assert (type(raised.value), raised.value.errno, raised.value.filename) == \
        (type(expected.value), expected.value.errno, "nice")


def test_the_chain_runs_in_the_workers_current_directory(ts_file, monkeypatch):
    avwatch.get_ffprobe_info(str(ts_file))  # the guard is up before the change
    monkeypatch.chdir(ts_file.parent)
    assert avwatch.get_ffprobe_info(ts_file.name)["vcodec"] == "h264"


def my_guards():
    return children_running(os.getpid(), "avwatch-guard")


def test_a_guard_that_was_killed_is_collected_and_replaced(ts_file):
    avwatch.get_ffprobe_info(str(ts_file))
    [first] = my_guards()
    os.kill(first, signal.SIGKILL)
    # At once: the request may reach the dying guard, which never serves it.
    assert avwatch.get_ffprobe_info(str(ts_file))["vcodec"] == "h264"
    assert [pid for pid in my_guards() if pid != first]
    assert wait_until(lambda: not Path(f"/proc/{first}").exists(), 5), "the dead guard was not collected"


def test_a_guard_killed_during_a_probe_fails_that_probe_only(ts_file):
    port = str(free_port(socket.SOCK_DGRAM))
    avwatch.get_ffprobe_info(str(ts_file))
    [guard] = my_guards()
    threading.Timer(0.5, os.kill, (guard, signal.SIGKILL)).start()
    try:
        with pytest.raises(RuntimeError, match="guard ended"):
            avwatch.get_ffprobe_info(f"udp://127.0.0.1:{port}?localaddr=127.0.0.1", "1", "256", "257")
        # The worker itself ends the chain that the dead guard left.
        assert wait_until(lambda: chain_processes([port]) == [], 2), "the dead guard's chain runs on"
    finally:
        for pid in chain_processes([port]):
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)
    assert avwatch.get_ffprobe_info(str(ts_file))["vcodec"] == "h264"


def test_the_guard_collects_all_that_the_chains_leave(ts_file):
    """cpulimit's limiter and ffprobe come to the guard when their parents
    die; none stays a zombie."""
    for _ in range(3):
        avwatch.get_ffprobe_info(str(ts_file))
    [guard] = my_guards()
    assert wait_until(lambda: children_of(guard) == [], 5), f"left: {children_of(guard)}"
