"""Breaking a copied HLS output on purpose, as the tests need it."""

import re
from pathlib import Path

PACKET = 188


def listed_segments(playlist: Path) -> list[Path]:
    return [playlist.parent / line for line in playlist.read_text().splitlines()
            if line and not line.startswith("#")]


def edit_tag(playlist: Path, tag: str, change) -> None:
    """Replaces the value of the first `tag` line with change(value)."""
    text = playlist.read_text()
    match = re.search(rf"^{re.escape(tag)}:(.*)$", text, re.M)
    if match is None:  # ffmpeg leaves out a zero sequence: add the tag
        text = text.replace("#EXTM3U\n", f"#EXTM3U\n{tag}:{change('0')}\n", 1)
    else:
        text = text[:match.start(1)] + change(match.group(1)) + text[match.end(1):]
    playlist.write_text(text)


def packets(data: bytes) -> list[bytes]:
    return [data[i:i + PACKET] for i in range(0, len(data) - PACKET + 1, PACKET)]


def pid(packet: bytes) -> int:
    return ((packet[1] & 0x1F) << 8) | packet[2]


def unit_start(packet: bytes) -> bool:
    return bool(packet[1] & 0x40)


def video_pid(data: bytes) -> int:
    """The PID of the first PES whose stream id is a video one (0xE0-0xEF)."""
    for packet in packets(data):
        if unit_start(packet) and pid(packet) not in (0, 0x1FFF):
            start = 4 + (1 + packet[4] if packet[3] & 0x20 else 0)
            if packet[start:start + 3] == b"\0\0\1" and 0xE0 <= packet[start + 3] <= 0xEF:
                return pid(packet)
    raise AssertionError("no video in the segment")


def drop_first_access_unit(data: bytes) -> bytes:
    """The segment without its first video access unit: it then starts on
    whatever frame followed the key frame."""
    video = video_pid(data)
    kept, starts = [], 0
    for packet in packets(data):
        if pid(packet) == video:
            starts += unit_start(packet)
            if starts < 2:
                continue
        kept.append(packet)
    return b"".join(kept)


def drop_packet_of(data: bytes, which_pid: int, index: int) -> bytes:
    """Without the index-th packet of one PID: one continuity error."""
    kept, seen = [], 0
    for packet in packets(data):
        if pid(packet) == which_pid:
            seen += 1
            if seen == index + 1:
                continue
        kept.append(packet)
    return b"".join(kept)
