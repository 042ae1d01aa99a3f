"""What reading the output monitors' reasons adds to `avwatch serve`'s refresh.

A redis-server started here holds N channels with one pipe each (channel
record, input source record, both status records), and a reason record for
one pipe in a hundred.  Timed, interleaved round by round:

  steady:  a refresh with nothing new and neither the source records nor
           the reasons due (most refreshes);
  due:     the same refresh with the reason keys due again (one refresh in
           every READ_EVERY_SECONDS / --refresh, five at the defaults).

Run: .venv/bin/python bench/serve_reasons.py [--pipes N] [--rounds N]
The last line reads "refresh of N pipes with the reasons due: X ms; steady
Y ms; ratio R; amortised ratio A".
"""

import argparse
import json
import sys
import tempfile
import time
from pathlib import Path

import redis

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))
sys.path.insert(0, str(Path(__file__).resolve().parent))

from redis_sets import RedisNode  # noqa: E402
from serve import fill  # noqa: E402

from avwatch_cli.serve.heap import tune_collection  # noqa: E402
from avwatch_cli.serve.refresher import Refresher  # noqa: E402
from avwatch_cli.serve.reported import READ_EVERY_SECONDS  # noqa: E402

REFRESH_SECONDS = 2.0


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--pipes", type=int, default=10_000)
    parser.add_argument("--rounds", type=int, default=15)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as workdir:
        server = RedisNode(Path(workdir)).start()
        try:
            client = redis.Redis(port=server.port)
            fill(client, args.pipes)
            client.mset({f"avwatch:reason:ch:{100000 + n}:out:main":
                         json.dumps({"reason": "no playlist", "since": time.time(), "seen": time.time(),
                                     "passes": 1}) for n in range(0, args.pipes, 100)})
            tune_collection()
            refresher = Refresher(client, "", refresh_seconds=REFRESH_SECONDS, stale_after=3600.0,
                                  forget_after=300.0)
            refresher.refresh()
            assert len(refresher.reported.by_id) == len(range(0, args.pipes, 100))
            steady, due = [], []
            for _ in range(args.rounds):
                for force, found in ((False, steady), (True, due)):
                    if force:
                        refresher.reported.read_at = float("-inf")
                    started = time.perf_counter()
                    refresher.refresh()
                    found.append(time.perf_counter() - started)
            refresher.write_times.stopping.set()
            refresher.write_times.stop()
        finally:
            server.stop()
    steady_ms, due_ms = sorted(steady)[len(steady) // 2] * 1e3, sorted(due)[len(due) // 2] * 1e3
    per_read = READ_EVERY_SECONDS / REFRESH_SECONDS
    amortised = (steady_ms * (per_read - 1) + due_ms) / per_read / steady_ms
    print(f"refresh of {args.pipes:,} pipes with the reasons due: {due_ms:.1f} ms; steady {steady_ms:.1f} ms; "
          f"ratio {due_ms / steady_ms:.2f}; amortised ratio {amortised:.3f}")


if __name__ == "__main__":
    main()
