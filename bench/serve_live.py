"""`avwatch serve` as operators run it, at scale and under full churn.

For each scale: a redis-server started here holds N channels of one pipe
each, with both analysers' records (bench/analysis_records.py; not with
--no-analysis); a server-side script rewrites every status record and every
analyser's record with a new value every 2 s (what live monitors do), the whole time.  `avwatch serve` runs as
a process with the refresh period given for that scale; beside it:

  a client that asks /api/status (gzipped, as the page does) every second
  and notes how old the snapshot it got is (its "generated_at");
  a real Prometheus scraping /metrics every 15 s with its default 10 s
  timeout;
  serve's resident memory, sampled every 5 s.

At the end serve gets SIGTERM while it renders /metrics; the time it takes
to exit is printed too.  One line per scale:

  N pipes, --refresh R: refresh X s (longest Y s); snapshot age seen by
  clients at most A s (median M s); Prometheus' scrapes F of S failed, V s
  on average, longest D s (its ingestion included); a gzipped /metrics every
  15 s answered in G s, longest H s; /metrics B MB uncompressed in U s; RSS
  P -> P' -> Q MB (start, middle, end; most R MB, K kB per pipe);
  notification connection lost L times, back B times (serve's log);
  SIGTERM ends it in T s

Run: .venv/bin/python bench/serve_live.py [--scales 10000:2,50000:8,100000:15] [--seconds 180]
"""

from __future__ import annotations

import argparse
import gzip
import http.client
import io
import json
import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import urllib.request
from pathlib import Path

import redis

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))

from machine import free_port  # noqa: E402
from redis_sets import RedisNode  # noqa: E402
from analysis_records import hls_record, ts_record  # noqa: E402
from serve import fill  # noqa: E402  (bench/serve.py: the same channels)

CHURN_SECONDS = 2.0
SLICE = 2000   # pipes a script call rewrites: a few ms of the server each
# With the analysers' records (3 kB a pipe more) as many ms take fewer pipes:
# a script holds the server, and a longer one would hold up serve's reads
# as no monitor's writes do.
ANALYSIS_SLICE = 200
SCRAPE = {"scrape_interval": "15s", "scrape_timeout": "10s"}
# Both status records of pipes [from, to) rewritten with values new to round `round`.
REWRITE = """
local round, from, to = tonumber(ARGV[1]), tonumber(ARGV[2]), tonumber(ARGV[3])
for n = from, to - 1 do
  local channel = 'ch:' .. (100000 + n)
  redis.call('SET', channel .. ':in:main', '{"acodec": "aac", "vcodec": "h264", "vresolution": "1280x720", '
    .. '"vfps": 25, "vbitrate": 2400000, "abitrate": 128000, "bitrate": ' .. (2528000 + n + round) .. '}')
  redis.call('SET', channel .. ':out:main', '{"acodec": "", "vcodec": "", "sequence": null, "atime": "", '
    .. '"vtime": "", "bitrate": ' .. (2600000 + n + round) .. ', "vbitrate": 0, "abitrate": 0, "vfps": 0, '
    .. '"vresolution": "", "lastts": "' .. (n + round) .. '.ts", "name": "main"}')
end
"""
# Both analysers' records of pipes [from, to): the templates (ARGV[4], ARGV[5])
# with the rate, sequence and time (ARGV[6]) of this round.
ANALYSIS_REWRITE = """
local round, from, to, now = tonumber(ARGV[1]), tonumber(ARGV[2]), tonumber(ARGV[3]), ARGV[6]
for n = from, to - 1 do
  local channel = 'ch:' .. (100000 + n)
  local ts = string.gsub(string.gsub(ARGV[4], '@B@', tostring(3669760 + n + round)), '@T@', now)
  redis.call('SET', channel .. ':ts:main', ts)
  local hls = string.gsub(string.gsub(ARGV[5], '@S@', tostring(118 + n + round)), '@T@', now)
  redis.call('SET', channel .. ':hls:main', hls)
end
"""


def analysis_templates() -> tuple[str, str]:
    """The records of analysis_records, their changing fields as @B@, @S@, @T@."""
    ts = json.loads(ts_record(0, 0, 1.0))
    hls = json.loads(hls_record(0, 0, 1.0))
    ts.update(bitrate="@B@", time="@T@")
    hls.update(media_sequence="@S@", time="@T@")
    return (json.dumps(ts).replace('"@B@"', "@B@").replace('"@T@"', "@T@"),
            json.dumps(hls).replace('"@S@"', "@S@").replace('"@T@"', "@T@"))


GENERATED_AT = re.compile(rb'"generated_at":\s*([0-9.eE+-]+)')


class Churn(threading.Thread):
    """Every status record rewritten every CHURN_SECONDS, slice by slice."""

    def __init__(self, client: redis.Redis, pipes: int, analysis: bool = False):
        super().__init__(daemon=True)
        self.client, self.pipes = client, pipes
        self.rewrite = client.register_script(REWRITE)
        self.analysis = client.register_script(ANALYSIS_REWRITE) if analysis else None
        self.templates = analysis_templates()
        self.stopping = threading.Event()
        self.late_rounds = 0

    def run(self) -> None:
        round_number = 0
        while not self.stopping.is_set():
            round_number += 1
            started = time.monotonic()
            step = SLICE if self.analysis is None else ANALYSIS_SLICE
            slices = range(0, self.pipes, step)
            for index, start in enumerate(slices):
                self.rewrite(args=[round_number, start, min(self.pipes, start + step)])
                if self.analysis is not None:
                    self.analysis(args=[round_number, start, min(self.pipes, start + step), *self.templates,
                                        f"{time.time():.3f}"])
                # Spread over the period, as monitors' writes are.
                due = started + CHURN_SECONDS * (index + 1) / len(slices)
                self.stopping.wait(max(0.0, due - time.monotonic()))
            self.late_rounds += time.monotonic() - started > CHURN_SECONDS * 1.1


def rss_bytes(pid: int) -> int:
    with open(f"/proc/{pid}/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Watchers(threading.Thread):
    """The client asking /api/status every second, and the memory samples."""

    def __init__(self, base: str, pid: int):
        super().__init__(daemon=True)
        self.base, self.pid = base, pid
        self.ages: list[float] = []
        self.failures = 0
        self.rss: list[int] = []
        self.scrapes: list[float] = []   # seconds to a whole gzipped /metrics
        self.stopping = threading.Event()

    def snapshot_age(self) -> float | None:
        request = urllib.request.Request(self.base + "/api/status", headers={"Accept-Encoding": "gzip"})
        try:
            with urllib.request.urlopen(request, timeout=30) as response:
                body = response.read()
            asked = time.time()
        except OSError:
            return None
        if response.headers.get("Content-Encoding") == "gzip":
            body = gzip.GzipFile(fileobj=io.BytesIO(body)).read(4096)
        found = GENERATED_AT.search(body[:4096])
        return None if found is None else asked - float(found.group(1))

    def scrape(self) -> None:
        """What serve takes to answer a scraper, its ingestion aside."""
        request = urllib.request.Request(self.base + "/metrics", headers={"Accept-Encoding": "gzip"})
        asked = time.monotonic()
        try:
            with urllib.request.urlopen(request, timeout=60) as response:
                response.read()
        except OSError:
            self.scrapes.append(float("inf"))
            return
        self.scrapes.append(time.monotonic() - asked)

    def run(self) -> None:
        next_sample = next_scrape = 0.0
        while not self.stopping.is_set():
            started = time.monotonic()
            if started >= next_sample:
                self.rss.append(rss_bytes(self.pid))
                next_sample = started + 5.0
            if started >= next_scrape:
                self.scrape()
                next_scrape = started + 15.0
            age = self.snapshot_age()
            if age is None:
                self.failures += 1
            else:
                self.ages.append(age)
            self.stopping.wait(max(0.0, 1.0 - (time.monotonic() - started)))


def fetch_cut_short(url: str) -> None:
    try:
        with urllib.request.urlopen(url, timeout=60) as response:
            response.read()
    except (OSError, http.client.HTTPException):
        pass


def prometheus_query(port: int, expression: str) -> list:
    url = f"http://127.0.0.1:{port}/api/v1/query?" + urllib.parse.urlencode({"query": expression})
    with urllib.request.urlopen(url, timeout=30) as response:
        return json.load(response)["data"]["result"]


def one_scale(pipes: int, refresh: float, seconds: float, workdir: Path, analysis: bool = True,
              keep_log: Path | None = None) -> str:
    server = RedisNode(workdir / "redis").start()
    client = redis.Redis(port=server.port)
    fill(client, pipes, analysis)
    port = free_port()
    log_path = workdir / "serve.log"
    with open(log_path, "wb") as log_file:
        serve = subprocess.Popen([sys.executable, "-m", "avwatch_cli", "serve", "--redis",
                                  f"redis://127.0.0.1:{server.port}/0", "--refresh", str(refresh),
                                  "--listen", f"127.0.0.1:{port}"],
                                 stdout=log_file, stderr=subprocess.STDOUT)
    base = f"http://127.0.0.1:{port}"
    prometheus_port = free_port()
    config = workdir / "prometheus.yml"
    config.write_text(json.dumps({"global": SCRAPE, "scrape_configs": [
        {"job_name": "avwatch", "static_configs": [{"targets": [f"127.0.0.1:{port}"]}]}]}))
    prometheus = None
    churn = Churn(client, pipes, analysis)
    try:
        deadline = time.monotonic() + 600
        while time.monotonic() < deadline:   # the first snapshot with every pipe
            try:
                with urllib.request.urlopen(base + "/metrics", timeout=60) as response:
                    if b"avwatch_redis_up 1" in response.read():
                        break
            except OSError:
                pass
            time.sleep(1)
        churn.start()
        prometheus = subprocess.Popen(
            ["prometheus", f"--config.file={config}", f"--storage.tsdb.path={workdir / 'tsdb'}",
             f"--web.listen-address=127.0.0.1:{prometheus_port}"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        watchers = Watchers(base, serve.pid)
        watchers.start()
        started = time.monotonic()
        time.sleep(seconds)
        watchers.stopping.set()
        watchers.join(60)
        window = f"{int(time.monotonic() - started)}s"
        job = '{job="avwatch"}'
        scrapes = prometheus_query(prometheus_port, f"count_over_time(up{job}[{window}])")
        failed = prometheus_query(prometheus_port, f"count_over_time((up{job} == 0)[{window}:15s])")
        longest = prometheus_query(prometheus_port, f"max_over_time(scrape_duration_seconds{job}[{window}])")
        refresh_median = prometheus_query(
            prometheus_port, f"quantile_over_time(0.5, avwatch_refresh_duration_seconds{job}[{window}])")
        refresh_longest = prometheus_query(
            prometheus_port, f"max_over_time(avwatch_refresh_duration_seconds{job}[{window}])")
        average = prometheus_query(prometheus_port, f"avg_over_time(scrape_duration_seconds{job}[{window}])")
        # One scrape as a plain client asks: the whole uncompressed body.
        asked = time.monotonic()
        with urllib.request.urlopen(base + "/metrics", timeout=60) as response:
            size = len(response.read())
        plain = time.monotonic() - asked
        # SIGTERM while /metrics renders (the body is cut short, of course).
        threading.Thread(target=fetch_cut_short, args=(base + "/metrics",), daemon=True).start()
        time.sleep(0.2)
        signalled = time.monotonic()
        serve.send_signal(signal.SIGTERM)
        serve.wait(120)
        ended = time.monotonic() - signalled
    finally:
        churn.stopping.set()
        if prometheus is not None:
            prometheus.terminate()
            try:   # a Prometheus of millions of series may take longer to close its store
                prometheus.wait(30)
            except subprocess.TimeoutExpired:
                prometheus.kill()
                prometheus.wait()
        if serve.poll() is None:
            serve.kill()
            serve.wait()
        client.close()
        server.stop()

    def value(result: list, default: float = 0.0) -> float:
        return float(result[0]["value"][1]) if result else default

    ages = watchers.ages or [float("nan")]
    # The listener's own account: each loss of the notification connection, and each return.
    log_text = log_path.read_text(errors="replace")
    if keep_log is not None:
        keep_log.write_text(log_text)
    lost = len(re.findall(r"keyspace notifications of .*: (?!listening again).*judging freshness", log_text))
    back = log_text.count("listening again")
    return (f"{pipes:,} pipes, --refresh {refresh:g}: refresh {value(refresh_median):.2f} s "
            f"(longest {value(refresh_longest):.2f} s); snapshot age seen by clients at most {max(ages):.1f} s "
            f"(median {statistics.median(ages):.1f} s, {watchers.failures} requests failed); "
            f"Prometheus' scrapes {value(failed):.0f} of {value(scrapes):.0f} failed, {value(average):.2f} s on "
            f"average, longest {value(longest):.2f} s (its ingestion included); a gzipped /metrics every 15 s "
            f"answered in {statistics.median(watchers.scrapes):.2f} s, longest {max(watchers.scrapes):.2f} s; "
            f"/metrics {size / 1e6:.1f} MB uncompressed in {plain:.2f} s; RSS {watchers.rss[0] / 1e6:.0f} -> "
            f"{watchers.rss[len(watchers.rss) // 2] / 1e6:.0f} -> {watchers.rss[-1] / 1e6:.0f} MB "
            f"(most {max(watchers.rss) / 1e6:.0f} MB, {max(watchers.rss) / pipes / 1e3:.1f} kB per pipe); "
            f"notification connection lost {lost} times, back {back} times; SIGTERM ends it in {ended:.2f} s"
            + (f"; the churn ran late {churn.late_rounds} times" if churn.late_rounds else ""))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scales", default="10000:2,50000:8,100000:15",
                        help="pipes:refresh seconds, comma-separated")
    parser.add_argument("--seconds", type=float, default=180, help="time watched at each scale")
    parser.add_argument("--keep-logs", type=Path, help="a folder to keep serve's log of each scale in")
    parser.add_argument("--no-analysis", action="store_true",
                        help="without the analysers' records (by default every pipe has both, rewritten with the status)")
    args = parser.parse_args()
    for scale in args.scales.split(","):
        pipes, refresh = scale.split(":")
        with tempfile.TemporaryDirectory(prefix="avwatch-serve-live-") as workdir:
            kept = None if args.keep_logs is None else args.keep_logs / f"serve-{pipes}.log"
            print(one_scale(int(pipes), float(refresh), args.seconds, Path(workdir), not args.no_analysis, kept),
                  flush=True)


if __name__ == "__main__":
    main()
