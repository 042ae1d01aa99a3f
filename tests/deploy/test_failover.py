"""The master of a Sentinel set dies while both monitors run under a
supervisor and `avwatch serve` watches: the output monitor logs its failed
passes and publishes again once a replica is promoted; the input monitor
ends with the connection error, its command exits 1, and the supervisor's
restart publishes again; serve shows Redis down, then reads the new master
and hears its writes."""

import pytest

from redis_sets import wait_until

from failover import INPUT_KEY, OUTPUT_KEY, FailoverRun, report

LOST_CONNECTION = ("ConnectionError", "MasterNotFoundError", "TimeoutError")


@pytest.fixture
def failover(tmp_path, kestrel_root, ts_file):
    run = FailoverRun(tmp_path, ts_file)
    yield run
    run.stop()


def test_monitors_through_a_failover(failover):
    failover.start()
    failover.kill_master()
    failover.wait_for_records()
    new_master = failover.deployment.replica.client()
    flags = new_master.config_get("notify-keyspace-events")["notify-keyspace-events"]
    new_master.close()
    # serve heard of the writes on the new master, having turned on the
    # deletions' events there as well.
    serve = failover.serve
    wait_until(lambda: serve.samples[-1][2] is not None and serve.samples[-1][2] < 2, 10,
               "serve to see the output record written")
    failover.finish()
    print(report(failover.figures))
    assert "g" in flags or "A" in flags, flags
    assert failover.figures.serve_down > 0
    assert "Redis unreachable" in failover.serve_log and "Redis reachable" in failover.serve_log

    [output] = failover.monitors["output"].runs
    assert output.status == 0, output.stderr
    assert "Error in ffmpeg_output_bitrate: " in output.stderr
    assert "output monitor ended: channel ch:42 stopped" in output.stderr

    input_runs = failover.monitors["input"].runs
    first, last = input_runs[0], input_runs[-1]
    assert first.status == 1, first.stderr
    assert any(f"input monitor failed: {name}" in first.stderr for name in LOST_CONNECTION), first.stderr
    # Restarted while the Sentinels still named the dead master, a run
    # finds Redis unreachable (4); the one after the promotion publishes.
    assert {run.status for run in input_runs[1:-1]} <= {1, 4}
    assert last.status == 0, last.stderr
    assert failover.figures.unwritten.keys() == {INPUT_KEY, OUTPUT_KEY}
