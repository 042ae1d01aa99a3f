"""The external programs that every probe runs, checked before the first
probe: a missing wrapper otherwise shows up as an empty record, not an error."""

import os
import shutil

from avwatch_cli.failures import MISSING_PROGRAM, Failure

# The probe runs ffprobe under nice and cpulimit; each must be on PATH.
PROBE_CHAIN = {
    "nice": "coreutils",
    "cpulimit": "cpulimit",
    "ffprobe": "ffmpeg",
}


def require_probe_chain() -> None:
    missing = [name for name in PROBE_CHAIN if shutil.which(name) is None]
    if missing:
        packages = " ".join(sorted({PROBE_CHAIN[name] for name in missing}))
        names = ", ".join(missing)
        raise Failure(
            f"{names} not found on PATH ({os.environ.get('PATH', '')}); every probe runs "
            f"'nice -n 5 cpulimit -l 60 -- ffprobe'. Install it (Debian: apt-get install {packages}) "
            "or add its folder to PATH.",
            MISSING_PROGRAM)
