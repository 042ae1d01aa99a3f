"""The probe keeps its promise whatever happens around it (an answer or an
error within its 3 s limit, nothing left behind, no crash): a guard that is
stopped, hung or killed, descriptors closed behind the module's back,
limits changed after the guard started, a prober that escapes or floods,
sub-interpreters."""

import json
import os
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

import pytest

import avwatch
from machine import free_port, processes_naming

WORKER = Path(__file__).with_name("faulty_worker.py")
LIMIT = 3.0
# What a probe may take past its limit: the guard's confirmation of an end
# that is waited for, and a loaded machine.
GRACE = 1.0


# A prober's answer that reduces to an h264 record.
CANNED_ANSWER = json.dumps({"streams": [{"codec_type": "video", "codec_name": "h264", "width": 1280, "height": 720,
                                         "r_frame_rate": "25/1"}]})


@pytest.fixture(autouse=True)
def real_subprocess(monkeypatch):
    monkeypatch.setattr(avwatch, "subprocess", subprocess)


def run_worker(scenario, ts_file, ports=(), path=None, env=None, timeout=60):
    env = {**os.environ, "WORKER_FILE": str(ts_file), "WORKER_PORTS": " ".join(ports), **(env or {})}
    if path is not None:
        env["WORKER_PATH"] = f"{path}:{os.environ['PATH']}"
    result = subprocess.run([sys.executable, str(WORKER), scenario], capture_output=True, text=True, env=env,
                            timeout=timeout)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


@pytest.fixture
def fake_chain():
    """A folder for a fake `nice` that users other than root may run."""
    folder = Path(tempfile.mkdtemp(prefix="avwatch-fake-chain-"))
    folder.chmod(0o755)

    def write(script):
        (folder / "nice").write_text("#!/bin/sh\n" + textwrap.dedent(script))
        (folder / "nice").chmod(0o755)
        return folder

    yield write
    shutil.rmtree(folder)


def test_a_stopped_guard_costs_each_probe_at_most_its_limit(ts_file, fake_chain):
    # A canned answer: eight probes at once fit in what the replaced guard
    # leaves of the limit, however loaded the machine.
    path = fake_chain(f"echo '{CANNED_ANSWER}'\n")
    facts = run_worker("stopped-guard", ts_file, path=path)
    # Replaced within the limit, so the probes still answer.
    assert {outcome for outcome, _ in facts["results"]} == {"h264"}
    assert max(seconds for _, seconds in facts["results"]) < LIMIT + GRACE
    assert facts["stuck_gap"] < 0.5, "the interpreter stopped running Python"
    assert not facts["old_guard_alive"] and len(facts["guards"]) == 1


def test_ctrl_c_interrupts_a_probe_on_a_stopped_guard(ts_file):
    facts = run_worker("stopped-guard-ctrl-c", ts_file, [str(free_port(socket.SOCK_DGRAM))])
    assert facts["outcome"] == "KeyboardInterrupt"
    assert facts["after_interrupt"] < 0.5


SLOW_EXEC = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <string.h>
#include <unistd.h>
/* An exec that hangs (a search path entry on a dead network mount) for
   chains that probe a path under /slow-start. */
int execve(const char *path, char *const argv[], char *const envp[]) {
    for (char *const *arg = argv; *arg; ++arg)
        if (strstr(*arg, "/slow-start/"))
            sleep(5);
    int (*real)(const char *, char *const[], char *const[]) = dlsym(RTLD_NEXT, "execve");
    return real(path, argv, envp);
}
"""


def test_a_chain_slow_to_exec_holds_up_no_other_probe(ts_file, tmp_path):
    (tmp_path / "slow.c").write_text(SLOW_EXEC)
    library = tmp_path / "slow.so"
    subprocess.run(["gcc", "-shared", "-fPIC", "-o", str(library), str(tmp_path / "slow.c"), "-ldl"], check=True)
    # After the sanitizer runtime, which must come first.
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(library)]))
    facts = run_worker("slow-start", ts_file, env={"LD_PRELOAD": preload})
    assert facts["other"][0] == "h264" and facts["other"][1] < 1.5
    assert facts["slow"][0] == "" and facts["slow"][1] < LIMIT + GRACE


@pytest.mark.parametrize("scenario, kills", [("guard-killed-repeatedly", 20), ("guard-killed-as-worker-leaves", 0)])
def test_no_chain_outlives_a_worker_whose_guard_was_killed(ts_file, scenario, kills):
    ports = [str(free_port(socket.SOCK_DGRAM)) for _ in range(6)]
    try:
        facts = run_worker(scenario, ts_file, ports)
        assert facts["kills"] > kills
        assert set(facts["outcomes"]) <= {"", "RuntimeError"}
        deadline = time.monotonic() + 5
        while any(processes_naming(port) for port in ports) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert [pid for port in ports for pid in processes_naming(port)] == []
    finally:
        for pid in [pid for port in ports for pid in processes_naming(port)]:
            os.kill(pid, signal.SIGKILL)


@pytest.mark.parametrize("scenario", ["closed", "closed-reused"])
def test_descriptors_closed_behind_the_modules_back(ts_file, scenario):
    facts = run_worker(scenario, ts_file)
    assert facts["first"] == "h264" and facts["later"] == ["h264", "h264"]
    assert facts["heard"] is None, "the probe wrote to a socket that is no longer the guard's"
    assert facts["sleeper_alive"] == (scenario == "closed-reused"), "a process that is not the guard was killed"
    assert not facts["old_guard_left"]


def test_a_descriptor_limit_raised_after_the_guard_started_holds(ts_file, fake_chain):
    path = fake_chain("sleep 1\necho '{}'\n")
    facts = run_worker("limit-raised", ts_file, path=path)
    assert facts == {"outcomes": [""], "count": 48}


@pytest.mark.skipif(os.geteuid() != 0, reason="changes user")
@pytest.mark.parametrize("guard_as", ["root", "worker"])
def test_no_process_left_fails_as_the_interpreters_own_fork(ts_file, fake_chain, guard_as):
    path = fake_chain("echo '{}'\n")
    facts = run_worker(f"nproc-{guard_as}", ts_file, path=path)
    assert facts["subprocess"] == ["BlockingIOError", 11]
    assert facts["probe"] == facts["subprocess"]


def test_a_prober_that_escapes_into_its_own_session_is_ended(fake_chain, monkeypatch):
    marker = f"{time.monotonic_ns() % 10**6}.25"
    path = fake_chain(f"setsid sleep {marker} &\necho '{{}}'\n")
    monkeypatch.setenv("PATH", f"{path}:{os.environ['PATH']}")
    assert avwatch.get_ffprobe_info("/seg.ts")["vcodec"] == ""
    deadline = time.monotonic() + 2
    while processes_naming(marker) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert processes_naming(marker) == []


def test_endless_prober_output_is_not_kept(fake_chain, monkeypatch):
    path = fake_chain("exec cat /dev/zero\n")
    monkeypatch.setenv("PATH", f"{path}:{os.environ['PATH']}")
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    started = time.monotonic()
    assert avwatch.get_ffprobe_info("/seg.ts")["vcodec"] == ""
    assert time.monotonic() - started < LIMIT + GRACE
    assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before < 64 * 1024  # kB


SUB_INTERPRETERS = textwrap.dedent("""
    import _testcapi, sys
    file, order = sys.argv[1], sys.argv[2]
    probe = "print(avwatch.get_ffprobe_info(%r)['vcodec'], flush=True)" % file
    attempt = '''
    try:
        import avwatch
        %s
    except (ImportError, RuntimeError) as error:
        print(type(error).__name__, error, flush=True)
    ''' % probe
    if order == "sub-first":
        _testcapi.run_in_subinterp(attempt)
        import avwatch
        exec(probe)
    else:
        import avwatch
        exec(probe)
        _testcapi.run_in_subinterp(attempt)
        exec(probe)
""")


REFUSED_IN_SUB = ("RuntimeError avwatch serves only interpreter 0, which imported it first; "
                  "it cannot be called from interpreter 1")


@pytest.mark.parametrize("order, expected", [
    # The sub-interpreter has ended: the main one takes the module over.
    # (From 3.13 the interpreter loads such a module in the main one first.)
    ("sub-first", ["h264", "h264"] if sys.version_info < (3, 13) else [REFUSED_IN_SUB, "h264"]),
    ("main-first", ["h264", REFUSED_IN_SUB, "h264"]),
])
def test_sub_interpreters_never_crash_nor_mix(ts_file, order, expected):
    result = subprocess.run([sys.executable, "-c", SUB_INTERPRETERS, str(ts_file), order], capture_output=True,
                            text=True, timeout=60)
    assert (result.returncode, result.stdout.splitlines()) == (0, expected), result.stderr
