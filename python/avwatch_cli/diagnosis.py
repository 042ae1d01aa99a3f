"""Why a probe got no usable answer.  The probe itself runs ffprobe quietly
and only says "nothing"; this runs it once more with its errors shown and
turns what it says into one phrase for the operator."""

import json
import logging
import re
import shlex

from avwatch_cli.bounded_run import run_bounded

log = logging.getLogger("avwatch.cli")

# What -v shows of the second run: enough for a decoder's complaints, not a flood.
SHOWN_LINES = 20

# The probe's own limit: a source silent this long is silent to the monitors too.
BOUND = 3.0

# ffprobe prefixes its library messages with their context, "[tcp @ 0x55...] ".
CONTEXT = re.compile(r"^\[[^]]* @ 0x[0-9a-f]+\] ")


def explain(uri: str, program: str = "", video: str = "", audio: str = "") -> str:
    command = ["nice", "-n", "5", "ffprobe", "-v", "error", "-analyzeduration", "2000000",
               "-show_entries", "program=program_id:stream=id,codec_type", "-of", "json", "-i", uri]
    try:
        answer = run_bounded(command, BOUND)
    except OSError as error:
        return f"ffprobe could not be run again to find out why: {error}"
    log.debug("asked why: %s -> %s", shlex.join(command),
              "no end within the bound" if answer is None else f"status {answer.returncode}")
    if answer is None:
        return f"no data within {BOUND:g} s"
    for line in answer.stderr.splitlines()[-SHOWN_LINES:]:
        log.debug("ffprobe: %s", line)
    if answer.returncode != 0:
        return prober_error(uri, answer.stderr) or f"ffprobe exited with status {answer.returncode}"
    try:
        found = json.loads(answer.stdout)
    except ValueError:
        return "ffprobe printed no readable answer"
    if not isinstance(found, dict) or not found.get("streams"):
        return "ffprobe found no streams in it"
    if uri.startswith("udp") and program:
        mismatch = program_mismatch(found.get("programs") or [], program, video, audio)
        if mismatch:
            return mismatch
    return ("ffprobe found streams on a second try: the source is intermittent or slow to start "
            f"(the probe gives up after {BOUND:g} s)")


def prober_error(uri: str, stderr: str) -> str:
    """ffprobe's own reason: the line it ends with on a failed open is
    "<uri>: <reason>"; otherwise its last message without the context."""
    lines = [line.strip() for line in stderr.splitlines() if line.strip()]
    for line in reversed(lines):
        if line.startswith(f"{uri}: "):
            return line[len(uri) + 2:]
    return CONTEXT.sub("", lines[-1]) if lines else ""


def program_mismatch(programs: list, program: str, video: str, audio: str) -> str:
    """What the stream carries, when the requested program or PIDs are not in it."""
    carried = "; ".join(describe(entry) for entry in programs) or "no programs"
    chosen = [entry for entry in programs if str(entry.get("program_id")) == program]
    if not chosen:
        return f"the stream has no program {program}: it carries {carried} (check --program)"
    wanted = {int(pid) for pid in (video, audio) if pid}
    if wanted and not any(stream_pid(stream) in wanted for stream in chosen[0].get("streams") or []):
        return f"no stream of program {program} has PID {' or '.join(map(str, sorted(wanted)))}: " \
               f"it carries {carried} (check --video and --audio)"
    return ""


def describe(program: dict) -> str:
    streams = ", ".join(f"{stream.get('codec_type') or 'stream'} {stream_pid(stream)} ({stream.get('id')})"
                        for stream in program.get("streams") or [])
    return f"program {program.get('program_id')} with {streams or 'no streams'}"


def stream_pid(stream: dict) -> int | None:
    """ffprobe prints MPEG-TS stream ids in hexadecimal, "0x100"."""
    try:
        return int(str(stream.get("id")), 16)
    except ValueError:
        return None
