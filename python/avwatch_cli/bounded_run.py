"""Running a program for at most a few seconds, leaving nothing behind."""

import os
import signal
import subprocess


def run_bounded(command: list[str], seconds: float) -> subprocess.CompletedProcess | None:
    """The finished run, or None when it outlasted `seconds`.

    The program runs in a process group of its own, and the whole group is
    killed at the bound (or on Ctrl-C, which a new session does not receive
    from the terminal): a prober blocked on a silent source would otherwise
    outlive us, and with it anything it started."""
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, errors="replace",
                               start_new_session=True)
    try:
        stdout, stderr = process.communicate(timeout=seconds)
    except BaseException as error:
        # Not yet reaped, so the group id cannot have been reused.
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        if isinstance(error, subprocess.TimeoutExpired):
            return None
        raise
    return subprocess.CompletedProcess(command, process.returncode, stdout, stderr)
