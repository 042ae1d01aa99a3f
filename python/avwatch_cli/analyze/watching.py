"""Opening the native watch, with its errors worded for the operator."""

from __future__ import annotations

import avwatch_analysis

from avwatch_cli.failures import FAILED, USAGE, Failure

# Exit status when the process lacks the privilege to receive the input.
NO_PRIVILEGE = FAILED


def open_watch(uri: str, program: int | None, window: float = 1.0) -> avwatch_analysis.Watch:
    try:
        return avwatch_analysis.Watch(uri, program=program, window=window)
    except PermissionError as error:
        raise Failure(str(error), NO_PRIVILEGE) from None
    except ValueError as error:
        raise Failure(f"cannot analyse {uri}: {error}", USAGE) from None
    except OSError as error:
        raise Failure(f"cannot receive {uri}: {error}", FAILED) from None
