"""How long the status records go unwritten when the master of a Sentinel
set dies under running monitors (tools/failover.py sets it up: a master, a
replica, three Sentinels taking the master for down after 1 s; the two
monitors as `avwatch monitor` processes, restarted 2 s after a failure as
the systemd unit does).

Prints, per round and as medians: when the Sentinels named the new master,
the pause in the writes of the input record (written every 3 s) and of the
output record (every 1 s here, the stand-in's 1 s fragments) around the
kill, and how long `avwatch serve` (refreshing every second) said Redis was
down.

Run inside the sandbox (the output monitor reads the media server's tree):
  tools/sandbox .venv/bin/python bench/failover.py [--rounds N]
"""

import argparse
import statistics
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))

from failover import INPUT_KEY, OUTPUT_KEY, FailoverRun, report  # noqa: E402
from media import make_ts_file  # noqa: E402


def one_round(folder: Path, media: Path):
    run = FailoverRun(folder, media)
    try:
        run.start()
        run.kill_master()
        run.wait_for_records()
        run.finish()
    finally:
        run.stop()
    statuses = [r.status for r in run.monitors["input"].runs]
    print(report(run.figures) + f"; input command exits: {statuses}", flush=True)
    return run.figures


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        media = make_ts_file(Path(scratch) / "input.ts", size="640x360")
        rounds = [one_round(Path(scratch) / f"round{n}", media) for n in range(args.rounds)]
    promoted = statistics.median(f.promoted for f in rounds)
    unwritten = {key: statistics.median(f.unwritten[key] for f in rounds) for key in (INPUT_KEY, OUTPUT_KEY)}
    serve_down = statistics.median(f.serve_down for f in rounds)
    print(f"median of {args.rounds}: new master named after {promoted:.1f} s; input record not updated for "
          f"{unwritten[INPUT_KEY]:.1f} s; output record not updated for {unwritten[OUTPUT_KEY]:.1f} s; "
          f"serve showed Redis down for {serve_down:.1f} s")


if __name__ == "__main__":
    main()
