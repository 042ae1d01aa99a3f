"""Stands in for the prober chain (nice ... ffprobe) in runner tests: does
what FAKE_PROBER_MODE says, ignoring its arguments."""

import json
import os
import signal
import sys
import time


def answer(codec_name="fake"):
    return json.dumps({"streams": [{"codec_type": "audio", "codec_name": codec_name, "bit_rate": "1000"}]})


def signal_mask_bits(field):
    # As the shell that exec's us saw them: the interpreter ignores SIGPIPE itself.
    words = os.environ["FAKE_PROBER_SIGNALS"].split()
    return int(words[words.index(field + ":") + 1], 16)


def facts():
    """How this process was started, as the test checks it."""
    inherited = int(os.environ["FAKE_PROBER_INHERITABLE_FD"])
    try:
        os.fstat(inherited)
        fd_inherited = True
    except OSError:
        fd_inherited = False
    return {
        "stdin": os.readlink("/proc/self/fd/0"),
        "leads_own_group": os.getpgid(0) == os.getpid(),
        "fd_inherited": fd_inherited,
        "blocked_signals": signal_mask_bits("SigBlk"),
        "sigpipe_ignored": bool(signal_mask_bits("SigIgn") & (1 << (signal.SIGPIPE - 1))),
        "arguments": sys.argv[1:],
    }


mode = os.environ["FAKE_PROBER_MODE"]
if mode == "facts":
    print(answer(json.dumps(facts())))
elif mode == "chatter":
    print(answer())
    print("Process 1 detected")
elif mode == "linger":
    # A wrapper's helper that keeps stdout open long after the answer.
    helper = os.fork()
    if helper == 0:
        time.sleep(30)
        os._exit(0)
    with open(os.environ["FAKE_PROBER_PIDFILE"], "w") as pidfile:
        pidfile.write(str(helper))
    print(answer())
elif mode == "fail":
    print(answer())
    sys.exit(1)
elif mode == "killed":
    print(answer(), flush=True)
    os.kill(os.getpid(), signal.SIGKILL)
elif mode == "undecodable":
    sys.stdout.buffer.write(b"\xff\xfe\n")
elif mode == "silent":
    pass
else:
    sys.exit(f"unknown mode {mode}")
