"""The judge's decoding of status records, with orjson: under churn every
record is decoded at every refresh, and orjson takes a fraction of the
standard library's time.  Only the usual record is taken from it; whatever
it refuses or finds unusual goes through health.decode, so the verdicts and
their reasons stay exactly the judge's own."""

from __future__ import annotations

import orjson

from avwatch_cli.health import LIMIT, MAX_RECORD_BYTES, decode


def fast_decode(raw: bytes | str | None) -> tuple[dict | None, str]:
    if raw is not None and len(raw) <= MAX_RECORD_BYTES and raw[:1] in (b"{", "{"):
        try:
            value = orjson.loads(raw)
        except orjson.JSONDecodeError:
            return decode(raw)
        if type(value) is dict:
            get = value.get
            if (type(get("acodec", "")) is str and type(get("vcodec", "")) is str
                    and type(get("vresolution", "")) is str and type(get("lastts", "")) is str
                    and type(vfps := get("vfps", 0)) is int and -LIMIT <= vfps < LIMIT
                    and type(vbitrate := get("vbitrate", 0)) is int and -LIMIT <= vbitrate < LIMIT
                    and type(abitrate := get("abitrate", 0)) is int and -LIMIT <= abitrate < LIMIT
                    and type(bitrate := get("bitrate")) is int and -LIMIT <= bitrate < LIMIT):
                return value, ""
    return decode(raw)
