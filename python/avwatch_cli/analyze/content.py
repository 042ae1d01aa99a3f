"""What a viewer sees and hears, as the published records carry it: the
four flags at the top (black, frozen, silent, loudness) and "content", made
from the analyser report's "content"."""

from __future__ import annotations

from typing import Any

VIDEO_FIELDS = ("pid", "codec", "supported", "width", "height", "pictures", "luma", "decode_errors")
AUDIO_FIELDS = ("pid", "codec", "supported", "channels", "sample_rate", "frames", "decode_errors")
LEVEL_FIELDS = ("momentary", "short_term", "integrated", "sample_peak")


def _rounded(value: float | None, digits: int) -> float | None:
    return None if value is None else round(value, digits)


def _since(flag: bool | None, seconds: float | None, wall_end: float) -> float | None:
    """When the current run began on the wall clock: only while the check is true."""
    return round(wall_end - (seconds or 0.0), 3) if flag else None


def _video(video: dict[str, Any], wall_end: float) -> dict[str, Any]:
    out = {name: video.get(name) for name in VIDEO_FIELDS}
    out["luma"] = _rounded(out["luma"], 2)
    out["black_since"] = _since(video.get("black"), video.get("black_seconds"), wall_end)
    out["frozen_since"] = _since(video.get("frozen"), video.get("frozen_seconds"), wall_end)
    return out


def _audio(audio: dict[str, Any], wall_end: float) -> dict[str, Any]:
    out = {name: audio.get(name) for name in AUDIO_FIELDS}
    out["silent_since"] = _since(audio.get("silent"), audio.get("silent_seconds"), wall_end)
    out.update({name: _rounded(audio.get(name), 2) for name in LEVEL_FIELDS})
    return out


def content_fields(content: dict[str, Any] | None, wall_end: float,
                   thumbnail_time: float | None = None) -> dict[str, Any]:
    """The record's "black", "frozen", "silent" (the first audio stream),
    "loudness" (its short-term LUFS) and "content", from a report's
    "content" (None or absent: nothing decoded, every flag null).
    `wall_end`: the report's end on the wall clock; `thumbnail_time`: when
    the newest thumbnail was stored."""
    content = content or {}
    video = content.get("video")
    audio = content.get("audio") or []
    first = audio[0] if audio else {}
    return {
        "black": video.get("black") if video else None,
        "frozen": video.get("frozen") if video else None,
        "silent": first.get("silent"),
        "loudness": _rounded(first.get("short_term"), 2),
        "content": {
            "video": _video(video, wall_end) if video else None,
            "audio": [_audio(stream, wall_end) for stream in audio],
            "thumbnail_time": _rounded(thumbnail_time, 3),
        },
    }


def content_summary(record: dict[str, Any]) -> str | None:
    """The flags for a terminal line: what is wrong, and the loudness."""
    parts = [name.upper() for name in ("black", "frozen", "silent") if record.get(name)]
    if record.get("loudness") is not None:
        parts.append(f"{record['loudness']:.1f} LUFS")
    return " ".join(parts) or None
