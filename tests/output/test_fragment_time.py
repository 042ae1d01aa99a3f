"""get_srs_fragment_time: the media server's HLS fragment duration."""

import json
import os
import types
import warnings

import pytest

import avwatch

MEMBER = "SRS_VHOST_HLS_HLS_FRAGMENT"


@pytest.fixture
def env_file(kestrel_root):
    return kestrel_root / "env.json"


def write_member(env_file, json_value):
    env_file.write_text('{"SRS_VHOST_LISTEN": "1935", "%s": %s}' % (MEMBER, json_value))


def test_absent_file_gives_the_default(env_file):
    assert avwatch.get_srs_fragment_time() == 6


@pytest.mark.parametrize("make", [
    pytest.param(lambda path: path.mkdir(), id="directory"),
    pytest.param(lambda path: path.symlink_to(path.parent / "missing.json"), id="dangling-link"),
    pytest.param(lambda path: path.symlink_to(path.parent), id="link-to-directory"),
    # Opening a FIFO would block until a writer comes: it must not be opened.
    pytest.param(lambda path: os.mkfifo(path), id="fifo"),
])
def test_non_regular_path_gives_the_default_without_opening(env_file, make):
    make(env_file)
    assert avwatch.get_srs_fragment_time() == 6


def test_link_to_a_regular_file_is_followed(env_file):
    target = env_file.parent / "real.json"
    write_member(target, '"8"')
    env_file.symlink_to(target)
    assert avwatch.get_srs_fragment_time() == 8


@pytest.mark.parametrize("json_value, expected", [
    ('"10"', 10), ("10", 10), ('" 4 "', 4), ('"\\t4\\n"', 4), ('"+7"', 7), ('"-3"', -3), ('"1_000"', 1000),
    ('"007"', 7), ('"\\u0661\\u0662"', 12),              # int() takes any Unicode decimal digits
    ('"2.5"', 6), ('"1e3"', 6), ('""', 6), ('"six"', 6), ('"1__0"', 6), ('"0x10"', 6),
    ("2.5", 2), ("2.9", 2), ("0.5", 0), ("-2.9", -2), ("1e1", 10), ("1E400", 6), ("NaN", 6), ("-Infinity", 6),
    ("0", 0), ("-4", -4), (str(2**70), 2**70),          # no range check
    ("true", 1), ("false", 0),
    ("null", 6), ("[]", 6), ("[10]", 6), ("{}", 6), ('{"value": 10}', 6),
])
def test_member_value_follows_int_rules(env_file, json_value, expected):
    write_member(env_file, json_value)
    result = avwatch.get_srs_fragment_time()
    assert result == expected and type(result) is int


@pytest.mark.parametrize("content", [
    b"", b"   \n", b"not json", b'{"SRS_VHOST_HLS_HLS_FRAGMENT": 10', b'{"SRS_VHOST_HLS_HLS_FRAGMENT": 10}}',
    b'{"srs_vhost_hls_hls_fragment": 10}', b'{"SRS_VHOST_LISTEN": "1935"}',
    b"[10]", b'"10"', b"10", b"null",
    b"\xef\xbb\xbf" + b'{"SRS_VHOST_HLS_HLS_FRAGMENT": 10}',   # a byte-order mark is not JSON
    b'{"SRS_VHOST_HLS_HLS_FRAGMENT": "\xff\xfe"}',              # undecodable
])
def test_malformed_content_gives_the_default_silently(env_file, content, caplog):
    env_file.write_bytes(content)
    assert avwatch.get_srs_fragment_time() == 6
    assert caplog.records == []


def test_every_call_reads_the_file_afresh(env_file):
    write_member(env_file, "10")
    assert avwatch.get_srs_fragment_time() == 10
    write_member(env_file, '"3"')
    assert avwatch.get_srs_fragment_time() == 3
    env_file.unlink()
    assert avwatch.get_srs_fragment_time() == 6


def test_json_is_the_module_global_looked_up_at_each_call(env_file, monkeypatch):
    write_member(env_file, "10")
    seen = []

    def loads(text):
        seen.append(text)
        return {MEMBER: "9"}

    monkeypatch.setattr(avwatch, "json", types.SimpleNamespace(loads=loads))
    assert avwatch.get_srs_fragment_time() == 9
    assert seen == [env_file.read_text()]


def raising(error):
    def loads(text):
        raise error
    return types.SimpleNamespace(loads=loads)


@pytest.mark.parametrize("error", [RuntimeError("x"), MemoryError(), RecursionError(), StopIteration()])
def test_exception_family_from_parsing_is_suppressed(env_file, monkeypatch, error):
    write_member(env_file, "10")
    monkeypatch.setattr(avwatch, "json", raising(error))
    assert avwatch.get_srs_fragment_time() == 6


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3), GeneratorExit()])
def test_errors_outside_the_exception_family_pass_after_closing(env_file, monkeypatch, error):
    write_member(env_file, "10")
    monkeypatch.setattr(avwatch, "json", raising(error))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ResourceWarning)
        with pytest.raises(type(error)) as raised:
            avwatch.get_srs_fragment_time()
    assert raised.value is error
    assert [w for w in caught if issubclass(w.category, ResourceWarning)] == []


@pytest.mark.parametrize("content", [b'{"SRS_VHOST_HLS_HLS_FRAGMENT": 4}', b"oops", b"\xff"])
def test_file_is_closed_on_every_path(env_file, content):
    env_file.write_bytes(content)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ResourceWarning)
        avwatch.get_srs_fragment_time()
    assert [w for w in caught if issubclass(w.category, ResourceWarning)] == []


# ---- an unreadable file, seen by a user without root's override ----

NOBODY = 65534


def as_nobody():
    """What get_srs_fragment_time gives `nobody`.  The tests run as root (the
    sandbox needs it) and root reads any file, so a forked child drops to
    nobody first; the loaded module and interpreter are already in memory."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(read_end)
            os.setgroups([])
            os.setgid(NOBODY)
            os.setuid(NOBODY)
            try:
                outcome = {"result": avwatch.get_srs_fragment_time()}
            except OSError as error:
                outcome = {"error": type(error).__name__, "errno": error.errno, "filename": error.filename,
                           "text": str(error)}
            except BaseException as error:
                outcome = {"unexpected": repr(error)}
            os.write(write_end, json.dumps(outcome).encode())
        finally:
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        reported = pipe.read()
    os.waitpid(pid, 0)
    return json.loads(reported)


def test_unreadable_file_raises_permission_error(env_file):
    write_member(env_file, "10")
    env_file.chmod(0o000)
    assert as_nobody() == {
        "error": "PermissionError", "errno": 13, "filename": str(env_file),
        "text": f"[Errno 13] Permission denied: '{env_file}'"}


def test_unsearchable_folder_counts_as_no_file(env_file):
    write_member(env_file, "10")
    mode = env_file.parent.stat().st_mode
    env_file.parent.chmod(0o700)
    try:
        assert as_nobody() == {"result": 6}
    finally:
        env_file.parent.chmod(mode)
