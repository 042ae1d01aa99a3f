"""One refresh of `avwatch serve` against the floor of reading the same keys.

A redis-server started here holds 10,000 channels with one pipe each: the
channel record, the input source record and both status records.  Timed:

  refresh:   the serve's refresh (discover the keys, read them, judge every
             side, build the snapshot, record the history sample), as it runs
             every --refresh seconds: keys and records as they were last time;
  first:     the same on a fresh refresher, where every key and record is new;
  rewritten: the same after every status record got a new value;
  floor:     the same keys read by redis-py alone, SCAN + MGET in the same
             batches, nothing done with them;
  /metrics:  rendering the exposition of that snapshot with prometheus_client,
             in full (the first scrape) and after a rewritten refresh (the
             families whose rows did not change are reused);
  /api/status: encoding that snapshot as JSON.

Then the same channels in a Redis Cluster of three masters (started here
too), timed against its floor: SCAN on each master, then per master one
non-transactional pipeline with an MGET per hash slot (an MGET may not span
slots), the slot grouping done beforehand.

Churn: for 10,000, 50,000 and 100,000 pipes (--churn-pipes), each on a
redis-server of its own, every status record is rewritten with a new value
before each timed refresh (what live monitors do between two refreshes),
against the floor of reading the same keys (SCAN + MGET in the same batches)
and decoding every value with orjson; the keys include the input source
records and the output reasons, which serve reads every 10 s, so at every
refresh at these scales, and here at every timed one; then the /metrics and /api/status
bodies of that snapshot, and the process's memory per pipe.

Then churn again at 100,000 pipes (--analysis-pipes) with both analysers'
records per pipe as `avwatch monitor` writes them (bench/analysis_records.py),
rewritten before each timed refresh too; the floor reads and decodes them.

Run: .venv/bin/python bench/serve.py [--pipes N] [--rounds N] [--churn-pipes N,N,...] [--analysis-pipes N,...]
The lines before the churn ones read "cluster refresh of N pipes: X ms; floor
Y ms; ratio R" and "refresh of N pipes: X ms; floor Y ms; ratio R"; the last
one "churn refresh of N pipes with analysis records: X ms; floor Y ms; ratio R",
after the memory and series per pipe.
"""

import argparse
import json
import multiprocessing
import os
import statistics
import sys
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import orjson
import redis

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))

from redis_sets import ClusterSet, RedisNode  # noqa: E402
from timing import median_seconds  # noqa: E402

from analysis_records import hls_record, ts_record  # noqa: E402
from avwatch_cli.output_reason import reason_key  # noqa: E402
from avwatch_cli.serve.command import tune_interpreter  # noqa: E402
from avwatch_cli.serve.status_pages import Query  # noqa: E402
from avwatch_cli.serve.reader import MGET_BATCH, PATTERN, SCAN_COUNT  # noqa: E402
from avwatch_cli.serve.refresher import Refresher  # noqa: E402
from avwatch_cli.serve.sources import source_key  # noqa: E402
from avwatch_cli.serve.web import Exposition  # noqa: E402

STREAM = {"acodec": "aac", "vcodec": "h264", "vresolution": "1280x720", "vfps": 25,
          "vbitrate": 2_400_000, "abitrate": 128_000, "bitrate": 2_528_000}


def output_record(pipe: str, n: int) -> dict:
    return {"acodec": "", "vcodec": "", "sequence": None, "atime": "", "vtime": "", "bitrate": 2_600_000 + n,
            "vbitrate": 0, "abitrate": 0, "vfps": 0, "vresolution": "", "lastts": f"{n}.ts", "name": pipe}


def fill(client: redis.Redis, pipes: int, analysis: bool = False) -> None:
    """`analysis`: with both analysers' records, as `avwatch monitor` writes them."""
    batch = client.pipeline(transaction=False)
    now = time.time()
    for n in range(pipes):
        channel = f"ch:{100000 + n}"
        batch.set(channel, json.dumps({"live": True}))
        batch.set(f"{channel}:input:main", json.dumps({"uri": f"udp://239.0.0.1:{1000 + n}", "pid": 1}))
        # Every record different, as the monitors' bitrates are.
        batch.set(f"{channel}:in:main", json.dumps(dict(STREAM, bitrate=STREAM["bitrate"] + n)))
        batch.set(f"{channel}:out:main", json.dumps(output_record("main", n)))
        if analysis:
            batch.set(f"{channel}:ts:main", ts_record(n, 0, now))
            batch.set(f"{channel}:hls:main", hls_record(n, 0, now))
        if n % 1000 == 999:
            batch.execute()
    batch.execute()


def floor_read(client: redis.Redis, keys: list) -> None:
    """SCAN for the names, MGET of the records the refresh reads."""
    list(client.scan_iter(match=PATTERN, count=SCAN_COUNT))
    batch = client.pipeline(transaction=False)
    for start in range(0, len(keys), MGET_BATCH):
        batch.mget(keys[start:start + MGET_BATCH])
    batch.execute()


def cluster_floor_read(cluster, groups: list) -> None:
    """SCAN on every master, then per master one pipeline of an MGET per slot."""
    for node in cluster.get_primaries():
        list(cluster.get_redis_connection(node).scan_iter(match=PATTERN, count=SCAN_COUNT))
    for node, slots in groups:
        batch = node.pipeline(transaction=False)
        for keys in slots:
            batch.mget(keys)
        batch.execute()


def slot_groups(cluster, keys: list) -> list:
    """[(a master's client, [the keys of one slot, ...]), ...]"""
    by_slot: dict = {}
    for key in keys:
        by_slot.setdefault(cluster.keyslot(key), []).append(key)
    by_node: dict = {}
    for slot, slot_keys in by_slot.items():
        node = cluster.nodes_manager.get_node_from_slot(slot)
        by_node.setdefault(node.name, (cluster.get_redis_connection(node), []))[1].append(slot_keys)
    return list(by_node.values())


def cluster_figures(pipes: int, rounds: int, keys: list) -> tuple[float, float]:
    with tempfile.TemporaryDirectory() as workdir:
        cluster_set = ClusterSet(Path(workdir)).start()
        try:
            cluster = cluster_set.client()
            fill(cluster, pipes)
            refresher = Refresher(cluster, cluster_set.url, refresh_seconds=2.0, stale_after=30.0,
                                  forget_after=300.0)
            groups = slot_groups(cluster, keys)
            refresh, floor = interleaved_medians(refresher.refresh, lambda: cluster_floor_read(cluster, groups),
                                                 rounds)
            snapshot = refresher.snapshot
            assert snapshot.redis_up and snapshot.counts()["ok"] == 2 * pipes, snapshot.counts()
            refresher.stop()
            cluster.close()
        finally:
            cluster_set.stop()
    return refresh, floor


def interleaved_medians(first, second, rounds: int) -> tuple[float, float]:
    first()
    second()
    times: tuple[list, list] = ([], [])
    for _ in range(rounds):
        for action, found in ((first, times[0]), (second, times[1])):
            started = time.perf_counter()
            action()
            found.append(time.perf_counter() - started)
    return statistics.median(times[0]), statistics.median(times[1])


def after_rewrites(client: redis.Redis, refresher: Refresher, pipes: int, rounds: int) -> tuple[float, float]:
    """The median refresh after every status record was rewritten with a new
    bitrate (the writes themselves untimed), as when every monitor wrote
    once since the last refresh, and the median /metrics rendering of the
    snapshot it made."""
    exposition = Exposition(lambda: refresher.snapshot)
    exposition.body()
    refreshes, renders = [], []
    for round_number in range(rounds):
        batch = client.pipeline(transaction=False)
        for n in range(pipes):
            channel = f"ch:{100000 + n}"
            batch.set(f"{channel}:in:main", json.dumps(dict(STREAM, bitrate=STREAM["bitrate"] + n + round_number)))
            batch.set(f"{channel}:out:main", json.dumps(output_record("main", n + round_number)))
        batch.execute()
        started = time.perf_counter()
        refresher.refresh()
        refreshes.append(time.perf_counter() - started)
        started = time.perf_counter()
        exposition.body()
        renders.append(time.perf_counter() - started)
    return statistics.median(refreshes), statistics.median(renders)


def cold_refresh(client: redis.Redis) -> None:
    """A first refresh on a fresh refresher, its notification listener held
    off: a listener left running per round would weigh on every later one."""
    refresher = Refresher(client, "", refresh_seconds=2.0, stale_after=30.0, forget_after=300.0)
    refresher.write_times.stopping.set()
    refresher.refresh()


def churn_floor(client: redis.Redis, key_lists: list[list[bytes]]) -> None:
    """SCAN for the names; each list of keys read with MGETs in the
    refresh's batches, one pipeline a list as the refresh reads them; every
    value decoded."""
    list(client.scan_iter(match=PATTERN, count=SCAN_COUNT))
    loads = orjson.loads
    for keys in key_lists:
        batch = client.pipeline(transaction=False)
        for start in range(0, len(keys), MGET_BATCH):
            batch.mget(keys[start:start + MGET_BATCH])
        for values in batch.execute():
            for value in values:
                if value is not None:
                    loads(value)


def rewrite_all(client: redis.Redis, pipes: int, round_number: int, analysis: bool = False) -> None:
    batch = client.pipeline(transaction=False)
    now = time.time()
    for n in range(pipes):
        channel = f"ch:{100000 + n}"
        batch.set(f"{channel}:in:main", json.dumps(dict(STREAM, bitrate=STREAM["bitrate"] + n + round_number)))
        batch.set(f"{channel}:out:main", json.dumps(output_record("main", n + round_number)))
        if analysis:
            batch.set(f"{channel}:ts:main", ts_record(n, round_number, now))
            batch.set(f"{channel}:hls:main", hls_record(n, round_number, now))
        if n % 2000 == 1999:
            batch.execute()
    batch.execute()


def rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def series_per_pipe(body: bytes, pipes: int) -> float:
    """Samples of the exposition with a pipe label, per pipe."""
    return sum(1 for line in body.splitlines() if b'pipe="' in line and not line.startswith(b"#")) / pipes


def churn_figures(pipes: int, rounds: int, analysis: bool = False) -> tuple[float, float]:
    """Median refresh after every status record (and with `analysis` every
    analyser's record) was rewritten, and the floor, interleaved; prints the
    bodies' costs and the memory per pipe."""
    tune_interpreter()   # as `avwatch serve` does at start
    with tempfile.TemporaryDirectory() as workdir:
        server = RedisNode(Path(workdir)).start()
        try:
            client = redis.Redis(port=server.port)
            fill(client, pipes, analysis)
            # The keys a refresh reads: the channel and status records (and
            # the ts records), the hls records, then the input source records
            # and the output monitors' reasons.
            analysed = ("ts",) if analysis else ()
            key_lists = [[f"ch:{100000 + n}".encode() for n in range(pipes)]
                         + [key.encode() for n in range(pipes) for key in
                            (f"ch:{100000 + n}:in:main", f"ch:{100000 + n}:out:main")]
                         + [f"ch:{100000 + n}:{kind}:main".encode() for kind in analysed for n in range(pipes)],
                         [f"ch:{100000 + n}:hls:main".encode() for n in range(pipes) if analysis],
                         [source_key(str(100000 + n), "main").encode() for n in range(pipes)],
                         [reason_key(str(100000 + n), "main").encode() for n in range(pipes)]]
            before = rss_bytes()
            refresher = Refresher(client, f"redis://127.0.0.1:{server.port}", refresh_seconds=2.0,
                                  stale_after=30.0, forget_after=300.0)
            refresher.refresh()
            exposition = Exposition(lambda: refresher.snapshot)
            refreshes, floors, renders, statuses, mosaics = [], [], [], [], []
            for round_number in range(rounds):
                rewrite_all(client, pipes, round_number + 1, analysis)
                # Both are read every 10 s: every refresh at the periods these
                # scales run with, and every one here, as the floor reads them.
                refresher.sources.read_at = refresher.reported.read_at = float("-inf")
                started = time.perf_counter()
                refresher.refresh()
                refreshes.append(time.perf_counter() - started)
                started = time.perf_counter()
                churn_floor(client, key_lists)
                floors.append(time.perf_counter() - started)
                started = time.perf_counter()
                body = exposition.body()
                renders.append(time.perf_counter() - started)
                started = time.perf_counter()
                status = refresher.snapshot.status_json
                statuses.append(time.perf_counter() - started)
                started = time.perf_counter()
                refresher.snapshot.mosaic_answers.get(refresher.snapshot, Query(limit=200))
                mosaics.append(time.perf_counter() - started)
            snapshot = refresher.snapshot
            assert snapshot.redis_up and snapshot.counts()["ok"] == 2 * pipes, snapshot.counts()
            if analysis:
                assert sum(pipe.analysis is not None for pipe in snapshot.pipes()) == pipes
                assert len(snapshot.hls) == pipes
            started = time.perf_counter()
            compressed = exposition.gzipped()
            gzip_time = time.perf_counter() - started
            grown = rss_bytes() - before
            refresher.stop()
            client.close()
        finally:
            server.stop()
    what = "with analysis records " if analysis else ""
    print(f"churn /metrics of {pipes:,} pipes {what}: {statistics.median(renders) * 1e3:.0f} ms to build "
          f"({len(body) / 1e6:.1f} MB), gzip {gzip_time * 1e3:.0f} ms ({len(compressed) / 1e6:.1f} MB), "
          f"once per snapshot; /api/mosaic {statistics.median(mosaics) * 1e3:.0f} ms (its first page, the order "
          f"made); /api/status {statistics.median(statuses) * 1e3:.0f} ms "
          f"({len(status) / 1e6:.1f} MB, its first page)", flush=True)
    print(f"churn memory of {pipes:,} pipes {what}: {grown / pipes / 1e3:.1f} kB per pipe; "
          f"{series_per_pipe(body, pipes):.1f} series per pipe on /metrics", flush=True)
    return statistics.median(refreshes), statistics.median(floors)


def apart(figures, *arguments):
    """`figures(*arguments)` in a process of its own: the memory per pipe is
    then that scale's alone, not what an earlier one left to the allocator."""
    with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as pool:
        return pool.submit(figures, *arguments).result()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--pipes", type=int, default=10_000)
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--churn-pipes", default="10000,50000,100000",
                        help="pipe counts of the churn mode, comma-separated ('' for none)")
    parser.add_argument("--churn-rounds", type=int, default=5)
    parser.add_argument("--analysis-pipes", default="100000",
                        help="pipe counts of the churn mode with both analysers' records ('' for none)")
    parser.add_argument("--churn-only", action="store_true", help="skip the 10,000-pipe figures above")
    args = parser.parse_args()
    tune_interpreter()   # as `avwatch serve` does at start
    if not args.churn_only:
        steady(args)
    for pipes in [int(count) for count in args.churn_pipes.split(",") if count]:
        refresh, floor = apart(churn_figures, pipes, args.churn_rounds)
        print(f"churn refresh of {pipes:,} pipes: {refresh * 1e3:.0f} ms; floor {floor * 1e3:.0f} ms; "
              f"ratio {refresh / floor:.2f}", flush=True)
    for pipes in [int(count) for count in args.analysis_pipes.split(",") if count]:
        refresh, floor = apart(churn_figures, pipes, args.churn_rounds, True)
        print(f"churn refresh of {pipes:,} pipes with analysis records: {refresh * 1e3:.0f} ms; "
              f"floor {floor * 1e3:.0f} ms; ratio {refresh / floor:.2f}", flush=True)


def steady(args: argparse.Namespace) -> None:
    with tempfile.TemporaryDirectory() as workdir:
        server = RedisNode(Path(workdir)).start()
        port = server.port
        try:
            # No socket timeout, unlike the node's own client: filling 10,000
            # pipes on a loaded machine may outlast one.
            client = redis.Redis(port=port)
            fill(client, args.pipes)
            tune_interpreter()   # as `avwatch serve` does at start
            refresher = Refresher(client, f"redis://127.0.0.1:{port}", refresh_seconds=2.0,
                                  stale_after=30.0, forget_after=300.0)
            # As SCAN returns them, bytes, so the floor encodes nothing either.
            keys = [key.encode() for n in range(args.pipes) for key in
                    (f"ch:{100000 + n}", f"ch:{100000 + n}:in:main", f"ch:{100000 + n}:out:main")]
            # Interleaved rounds, so that a load from elsewhere weighs on both alike.
            refresh, floor = interleaved_medians(refresher.refresh, lambda: floor_read(client, keys), args.rounds)
            # Every value new to the refresher: a first refresh, each round.
            cold = median_seconds(lambda: cold_refresh(client), max(3, args.rounds // 2))
            rewritten, rewritten_metrics = after_rewrites(client, refresher, args.pipes, max(3, args.rounds // 2))
            snapshot = refresher.snapshot
            assert snapshot.redis_up and snapshot.counts()["ok"] == 2 * args.pipes, snapshot.counts()
            metrics = median_seconds(lambda: Exposition(lambda: snapshot).body(), max(3, args.rounds // 2))
            body = Exposition(lambda: snapshot).body()
            started = time.perf_counter()
            status = snapshot.status_json
            status_time = time.perf_counter() - started
            refresher.stop()
        finally:
            server.stop()
    print(f"/metrics of {args.pipes:,} pipes: {metrics * 1e3:.0f} ms to render in full ({len(body) / 1e6:.1f} MB), "
          f"{rewritten_metrics * 1e3:.0f} ms after a refresh that saw every record rewritten; "
          "then served from the cache until the next refresh")
    print(f"/api/status of {args.pipes:,} pipes: {status_time * 1e3:.0f} ms to encode ({len(status) / 1e6:.1f} MB), "
          "once per snapshot")
    print(f"first refresh of {args.pipes:,} pipes (every key parsed, every record judged): {cold * 1e3:.0f} ms; "
          f"ratio {cold / floor:.2f}")
    print(f"refresh of {args.pipes:,} pipes after every status record was rewritten: {rewritten * 1e3:.0f} ms; "
          f"ratio {rewritten / floor:.2f}")
    cluster_refresh, cluster_floor = cluster_figures(args.pipes, args.rounds, keys)
    print(f"cluster refresh of {args.pipes:,} pipes: {cluster_refresh * 1e3:.0f} ms; "
          f"floor {cluster_floor * 1e3:.0f} ms; ratio {cluster_refresh / cluster_floor:.2f}")
    # The line the goal is stated in comes last.
    print(f"refresh of {args.pipes:,} pipes: {refresh * 1e3:.0f} ms; floor {floor * 1e3:.0f} ms; "
          f"ratio {refresh / floor:.2f}")


if __name__ == "__main__":
    main()
