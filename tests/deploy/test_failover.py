"""The master of a Sentinel set dies while both monitors run under a
supervisor: the output monitor logs its failed passes and publishes again
once a replica is promoted; the input monitor ends with the connection
error, its command exits 1, and the supervisor's restart publishes again."""

import pytest

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
    failover.finish()
    print(report(failover.figures))

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
