"""mypy finds avwatch's signatures in the avwatch-stubs package and holds
callers to them."""

import os
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

import avwatch

pytest.importorskip("mypy", reason="mypy comes with the test extra (tools/bootstrap installs it)")

CHECKOUT_STUBS = Path(__file__).resolve().parents[2] / "python" / "avwatch-stubs" / "__init__.pyi"

CALLER = textwrap.dedent("""
    import redis
    import avwatch

    broker = redis.StrictRedis(socket_timeout=2, socket_connect_timeout=2)
    avwatch.ffmpeg_input_bitrate("7", "main", broker)
    avwatch.ffmpeg_output_bitrate("7", "main", broker)
    cluster = redis.RedisCluster.from_url("redis://127.0.0.1:7000", socket_timeout=2)
    avwatch.ffmpeg_input_bitrate("7", "main", cluster)
    record = avwatch.get_ffprobe_info("udp://239.0.0.1:1234", "1", video_id="256", audio_id="257")
    reveal_type(record["vfps"])
    reveal_type(avwatch.get_bitrate_from_playlist("/tmp/playlist.m3u8", "main"))
    reveal_type(avwatch.get_srs_fragment_time())
    reveal_type(avwatch.is_ts_file_recent("/tmp/1.ts", 6))
    reveal_type(avwatch.to_int("29.97"))
    reveal_type(avwatch.get_bit_depth("fltp"))
    reveal_type(avwatch.json)
""")

WRONG_CALLS = [
    ('avwatch.get_ffprobe_info("udp://x", 1)', 'Argument 2 to "get_ffprobe_info" has incompatible type "int"'),
    ('avwatch.ffmpeg_input_bitrate("7", "main", {})', 'Argument 3 to "ffmpeg_input_bitrate" has incompatible type'),
    ('avwatch.get_srs_fragment_time(6)', 'Too many arguments for "get_srs_fragment_time"'),
    ('avwatch.get_ffprobe_info("x", pid="1")', 'Unexpected keyword argument "pid" for "get_ffprobe_info"'),
    ('avwatch.get_ffprobe_info("x")["fps"]', 'TypedDict "_StreamRecord" has no key "fps"'),
    ('avwatch.to_int([1])', 'Argument 1 to "to_int" has incompatible type "list[int]"'),
]


def installed() -> bool:
    return Path(avwatch.__file__).parent == Path(sysconfig.get_paths()["platlib"])


def mypy(tmp_path, source: str) -> subprocess.CompletedProcess:
    """mypy on one caller file, with the interpreter that runs the tests, so
    it searches that interpreter's site-packages for the stubs."""
    caller = tmp_path / "caller.py"
    caller.write_text(source)
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    if not installed():
        # A build-dir run: the checkout's stubs, under the module's name
        # (mypy looks for NAME-stubs in site-packages only).
        (tmp_path / "stubs").mkdir()
        (tmp_path / "stubs" / "avwatch.pyi").symlink_to(CHECKOUT_STUBS)
        env["MYPYPATH"] = str(tmp_path / "stubs")
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
         "--python-executable", sys.executable, str(caller)],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=300)


def test_signatures_are_found(tmp_path):
    result = mypy(tmp_path, CALLER)
    # Older mypy releases qualify builtins ("builtins.int"), newer ones do not.
    notes = [line.split(": note: ", 1)[1].replace("builtins.", "")
             for line in result.stdout.splitlines() if ": note: " in line]
    assert notes == [
        'Revealed type is "int"',
        'Revealed type is "int"',
        'Revealed type is "int"',
        'Revealed type is "bool"',
        'Revealed type is "int"',
        'Revealed type is "int"',
        'Revealed type is "types.ModuleType"',
    ], result.stdout
    assert ": error:" not in result.stdout


def test_wrong_calls_are_flagged(tmp_path):
    source = "import avwatch\n" + "".join(f"{call}\n" for call, _ in WRONG_CALLS)
    result = mypy(tmp_path, source)
    assert result.returncode == 1
    for line_number, (call, message) in enumerate(WRONG_CALLS, start=2):
        assert f"caller.py:{line_number}: error: {message}" in result.stdout, (call, result.stdout)


def test_the_operator_package_type_checks(tmp_path):
    """The operator's package, as installed, holds to its own annotations."""
    package = Path(__file__).resolve().parents[2] / "python" / "avwatch_cli"
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path / "cache"), "--python-executable",
         sys.executable, str(package)],
        capture_output=True, text=True, cwd=tmp_path, timeout=300)
    assert result.returncode == 0, result.stdout[-3000:]
