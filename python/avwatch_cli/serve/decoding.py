"""The judge's decoding of status records, with orjson: under churn every
record is decoded at every refresh, and orjson takes a fraction of the
standard library's time.  Only the usual record is taken from it; whatever
it refuses or finds unusual goes through health.decode, so the verdicts and
their reasons stay exactly the judge's own."""

from __future__ import annotations

import orjson

from avwatch_cli.health import LIMIT, MAX_RECORD_BYTES, decode


# The usual record's fields and the exact type each must have when present
# (absent ones take the default, which has that type; "bitrate" must be there).
CHECKED = ("acodec", "vcodec", "vresolution", "lastts", "vfps", "vbitrate", "abitrate", "bitrate")
DEFAULTS = ("", "", "", "", 0, 0, 0, None)
TYPES = (str, str, str, str, int, int, int, int)
NUMBERS = CHECKED[4:]
ZEROS = DEFAULTS[4:7] + (0,)


def fast_decode(raw: bytes | str | None) -> tuple[dict | None, str]:
    if raw is not None and len(raw) <= MAX_RECORD_BYTES and raw[:1] in (b"{", "{"):
        try:
            value = orjson.loads(raw)
        except orjson.JSONDecodeError:
            return decode(raw)
        if type(value) is dict:
            get = value.get
            # The checks of health.decode's usual case, run by map in C: every
            # rewritten record comes through here at every refresh.  orjson
            # gives no integer below -2**63, so only the top needs checking.
            if (tuple(map(type, map(get, CHECKED, DEFAULTS))) == TYPES
                    and max(map(get, NUMBERS, ZEROS)) < LIMIT):
                return value, ""
    return decode(raw)
