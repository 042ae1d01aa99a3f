"""Argument types for the MPEG-TS numbers of a udp:// probe.  Checked when
parsed: a typo would otherwise come back as an empty record, looking like a
dead input."""

import argparse
import re

MAX_PROGRAM = 0xFFFF  # program_number is a 16-bit field
MAX_PID = 0x1FFF      # a PID is a 13-bit field

DECIMAL = re.compile(r"[0-9]+")
HEXADECIMAL = re.compile(r"0[xX][0-9a-fA-F]+")


def program_number(text: str) -> str:
    """A decimal program number, as ffprobe prints program ids."""
    if not DECIMAL.fullmatch(text):
        raise argparse.ArgumentTypeError(f"{text!r} is not a program number (decimal, e.g. 1)")
    return str(_in_range(int(text), MAX_PROGRAM, text))


def stream_pid(text: str) -> str:
    """A PID in decimal or as ffprobe prints stream ids (0x100), passed on as
    decimal text: the probe matches that against both forms."""
    if DECIMAL.fullmatch(text):
        value = int(text)
    elif HEXADECIMAL.fullmatch(text):
        value = int(text, 16)
    else:
        raise argparse.ArgumentTypeError(f"{text!r} is not a PID (decimal like 256, or hexadecimal like 0x100)")
    return str(_in_range(value, MAX_PID, text))


def _in_range(value: int, maximum: int, text: str) -> int:
    if value > maximum:
        raise argparse.ArgumentTypeError(f"{text} is out of range (0 to {maximum})")
    return value
