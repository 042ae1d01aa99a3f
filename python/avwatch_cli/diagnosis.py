"""Why a probe got no usable answer.  The probe itself runs ffprobe quietly
and only says "nothing"; this runs it once more with its errors shown and
turns what it says into one phrase for the operator."""

import json
import logging
import re
import shlex
from collections.abc import Mapping

from avwatch_cli.bounded_run import run_bounded

log = logging.getLogger("avwatch.cli")

# What -v shows of the second run: enough for a decoder's complaints, not a flood.
SHOWN_LINES = 20

# The probe's own limit: a source silent this long is silent to the monitors too.
BOUND = 3.0

# ffprobe prefixes its library messages with their context, "[tcp @ 0x55...] ".
CONTEXT = re.compile(r"^\[[^]]* @ 0x[0-9a-f]+\] ")


def listing(uri: str) -> dict | str:
    """What ffprobe finds in the source (its programs and streams), or why it
    found nothing."""
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
    return found


def explain(uri: str, program: str = "", video: str = "", audio: str = "") -> str:
    found = listing(uri)
    if isinstance(found, str):
        return found
    if uri.startswith("udp"):
        carried = "; ".join(describe(entry) for entry in found.get("programs") or []) or "no programs"
        if not (program and (video or audio)):
            # The probe keeps no stream of a udp:// source it is not told to keep.
            return (f"ffprobe found streams, but none was asked for: it carries {carried} (give --program "
                    "and --video or --audio from these)")
        mismatch = program_mismatch(found.get("programs") or [], program, video, audio)
        if mismatch:
            return mismatch
    return ("ffprobe found streams on a second try: the source is intermittent or slow to start "
            f"(the probe gives up after {BOUND:g} s)")


def missing_streams(uri: str, record: Mapping[str, object], program: str, video: str, audio: str) -> str:
    """For a probe that kept some stream: why a PID asked for gave none
    ("" when each gave one, or ffprobe cannot tell)."""
    lost = [(kind, pid) for kind, pid, codec in (("video", video, "vcodec"), ("audio", audio, "acodec"))
            if pid and not record.get(codec)]
    if not lost:
        return ""
    found = listing(uri)
    programs = found.get("programs") or [] if isinstance(found, dict) else []
    carried = "; ".join(describe(entry) for entry in programs) or "no programs"
    return "; ".join(f"no {kind} stream with PID {pid} kept: program {program} carries {carried} "
                     f"(check --{kind})" for kind, pid in lost)


def prober_error(uri: str, stderr: str) -> str:
    """ffprobe's own reason.  A failed open ends with "<uri>: <reason>", where
    the reason may be a stale one ("Inappropriate ioctl for device" after a
    failed bind): the library's messages just before it, without their
    context prefix, come first.  Otherwise its last message."""
    lines = [line.strip() for line in stderr.splitlines() if line.strip()]
    for index in range(len(lines) - 1, -1, -1):
        if lines[index].startswith(f"{uri}: "):
            last = lines[index][len(uri) + 2:]
            earlier = [CONTEXT.sub("", line) for line in lines[max(0, index - 2):index] if CONTEXT.match(line)]
            if not earlier or any(last in line for line in earlier):
                return last   # the earlier message says the same, at more length
            return "; ".join([*earlier, last])
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
