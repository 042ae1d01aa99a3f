"""The avwatch_serve_accel module as installed, unconfigured, or None when
it is not installed or AVWATCH_SERVE_PURE is set to 1.  Apart from native,
which configures it with serve's classes: the functions that need none
(pick) are used by the modules those classes come from."""

from __future__ import annotations

import os
from typing import Any


def found() -> Any:
    if os.environ.get("AVWATCH_SERVE_PURE") == "1":
        return None
    try:
        import avwatch_serve_accel  # type: ignore[import-not-found]
    except ImportError:
        return None
    return avwatch_serve_accel


module = found()
