"""Exit statuses of the avwatch command and the one error type that carries
a message for the operator."""

OK = 0
FAILED = 1            # a monitor ended with an error, or a probe got no usable answer
USAGE = 2             # bad arguments, or a Redis password or database the server refuses (argparse uses 2 too)
MISSING_PROGRAM = 3   # nice, cpulimit or ffprobe is not on PATH
REDIS_UNAVAILABLE = 4 # the Redis server cannot be reached
NO_CHANNEL = 5        # the channel record is missing or unusable
INTERRUPTED = 130     # stopped by Ctrl-C or SIGTERM (128 + SIGINT, as shells report it)


class Failure(Exception):
    """An error the operator can act on: the message says what to do."""

    def __init__(self, message: str, status: int):
        super().__init__(message)
        self.status = status
