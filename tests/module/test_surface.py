"""The module's namespace and its function objects, as callers see them."""

import inspect
import multiprocessing
import os
import pickle
import re
import subprocess
import sys
import textwrap

import pytest
import redis

import avwatch

FUNCTIONS = [
    "ffmpeg_output_bitrate", "is_ts_file_recent", "get_bitrate_from_playlist", "get_srs_fragment_time",
    "ffmpeg_input_bitrate", "get_bit_depth", "get_ffprobe_info", "to_int",
]
MODULES = ["contextlib", "json", "logging", "os", "subprocess", "time", "redis"]


def test_namespace_holds_the_modules_then_the_functions_in_order():
    # In a fresh interpreter: other tests replace module globals.
    listed = subprocess.run([sys.executable, "-c", "import avwatch; print(*vars(avwatch))"],
                            capture_output=True, text=True, check=True, timeout=60).stdout.split()
    assert [name for name in listed if not name.startswith("__")] == MODULES + FUNCTIONS
    assert avwatch.__doc__ is None
    for name in MODULES:
        assert getattr(avwatch, name) is sys.modules[name]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_attributes(name):
    function = getattr(avwatch, name)
    assert function.__name__ == function.__qualname__ == name
    assert function.__module__ == "avwatch"
    assert function.__doc__ is None
    assert function.__kwdefaults__ is None
    assert function.__defaults__ == (("", "", "") if name == "get_ffprobe_info" else None)
    assert repr(function).startswith(f"<function {name} at 0x")
    assert pickle.loads(pickle.dumps(function)) is function
    assert callable(function)


@pytest.mark.parametrize("name, annotations", [
    ("ffmpeg_output_bitrate", {"ch_uid": str, "pipe_name": str, "broker": redis.StrictRedis}),
    ("ffmpeg_input_bitrate", {"ch_uid": str, "pipe_name": str, "broker": redis.StrictRedis}),
    ("is_ts_file_recent", {"file": str, "fragment_time": int}),
    ("get_bitrate_from_playlist", {"playlist": str, "pipe_name": str, "return": int}),
    ("get_srs_fragment_time", {}),
    ("get_bit_depth", {"sample_format": str}),
    ("get_ffprobe_info", {"uri": str, "program_id": str, "video_id": str, "audio_id": str}),
    ("to_int", {}),
])
def test_annotations_are_the_type_objects(name, annotations):
    found = getattr(avwatch, name).__annotations__
    assert found == annotations
    assert list(found) == list(annotations)
    if "broker" in annotations:
        assert found["broker"] is avwatch.redis.StrictRedis


def test_annotation_dicts_are_not_shared():
    dicts = [getattr(avwatch, name).__annotations__ for name in FUNCTIONS]
    assert len({id(d) for d in dicts}) == len(dicts)


@pytest.mark.parametrize("name, expected", [
    ("get_ffprobe_info", "(uri: str, program_id: str = '', video_id: str = '', audio_id: str = '')"),
    ("get_bitrate_from_playlist", "(playlist: str, pipe_name: str) -> int"),
    ("get_srs_fragment_time", "()"),
    ("to_int", "(number)"),
])
def test_signature(name, expected):
    assert str(inspect.signature(getattr(avwatch, name))) == expected


def test_signatures_of_the_monitors_name_the_client_class():
    parameters = inspect.signature(avwatch.ffmpeg_input_bitrate).parameters
    assert list(parameters) == ["ch_uid", "pipe_name", "broker"]
    assert parameters["broker"].annotation is redis.StrictRedis
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in parameters.values())


def test_help_lists_every_function_with_its_parameters():
    import pydoc
    rendered = pydoc.plain(pydoc.render_doc(avwatch))
    # Python 3.13 puts the parameters of a long signature on lines of their own.
    rendered = re.sub(r"([(,])\n\s+", lambda match: match[1] + ("" if match[1] == "(" else " "), rendered)
    for name in FUNCTIONS:
        assert name + "(" in rendered
    assert "get_ffprobe_info(uri: str, program_id: str = ''" in rendered


def _python_equivalent(name):
    """A Python function with the same parameters, for the interpreter's wording."""
    parameters = ", ".join(
        f"{p}=''" if p in ("program_id", "video_id", "audio_id") else p
        for p in inspect.signature(getattr(avwatch, name)).parameters)
    namespace = {}
    exec(f"def {name}({parameters}): pass", namespace)
    return namespace[name]


@pytest.mark.parametrize("name, args, kwargs", [
    ("to_int", (), {}),
    ("to_int", (1, 2), {}),
    ("to_int", (1,), {"number": 2}),
    ("to_int", (), {"value": 1}),
    ("get_srs_fragment_time", (1,), {}),
    ("get_srs_fragment_time", (1, 2), {}),
    ("get_srs_fragment_time", (), {"x": 1}),
    ("get_ffprobe_info", (), {}),
    ("get_ffprobe_info", ("u", 1, 2, 3, 4), {}),
    ("get_ffprobe_info", ("u", 1, 2, 3, 4), {"uri": 1}),
    ("get_ffprobe_info", (), {"audio_id": "1"}),
    ("ffmpeg_input_bitrate", (), {}),
    ("ffmpeg_input_bitrate", (1,), {}),
    ("ffmpeg_output_bitrate", (1, 2, 3, 4), {}),
    ("is_ts_file_recent", ("f",), {"file": "g"}),
])
def test_argument_errors_read_as_the_interpreters(name, args, kwargs):
    with pytest.raises(TypeError) as expected:
        _python_equivalent(name)(*args, **kwargs)
    with pytest.raises(TypeError) as found:
        getattr(avwatch, name)(*args, **kwargs)
    assert str(found.value) == str(expected.value)


def test_keyword_calls_bind_by_name():
    assert avwatch.to_int(number="12.7") == 12
    assert avwatch.get_bit_depth(sample_format="s32") == 32


def test_annotations_are_not_checked():
    assert avwatch.get_bit_depth(["s16"]) == 16
    assert avwatch.to_int(number=7.9) == 7


def test_functions_bind_as_methods_like_python_functions():
    class Holder:
        convert = avwatch.to_int
    with pytest.raises(TypeError):
        Holder().convert()
    assert Holder.convert("3") == 3


def test_a_process_started_with_spawn_can_take_a_function_as_target():
    context = multiprocessing.get_context("spawn")
    with context.Pool(1) as pool:
        assert pool.apply(avwatch.to_int, ("29.97",)) == 29


def _run_isolated(code, tmp_path):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          cwd=tmp_path, timeout=60)


def test_import_without_redis_fails_and_leaves_nothing_loaded(tmp_path):
    result = _run_isolated("""
        import sys
        class HideRedis:
            def find_spec(self, name, path=None, target=None):
                if name == "redis" or name.startswith("redis."):
                    raise ModuleNotFoundError("No module named 'redis'", name="redis")
        sys.meta_path.insert(0, HideRedis())
        try:
            import avwatch
        except ModuleNotFoundError as error:
            print(error.name, "avwatch" in sys.modules)
    """, tmp_path)
    assert result.stdout.split() == ["redis", "False"], result.stderr


def _fake_redis(tmp_path):
    (tmp_path / "fake").mkdir()
    (tmp_path / "fake" / "redis.py").write_text("")


def test_import_with_a_redis_lacking_strictredis_fails_with_attribute_error(tmp_path):
    _fake_redis(tmp_path)
    result = _run_isolated("""
        import sys
        sys.path.insert(0, "fake")
        try:
            import avwatch
        except AttributeError as error:
            print("StrictRedis" in str(error), "avwatch" in sys.modules)
    """, tmp_path)
    assert result.stdout.split() == ["True", "False"], result.stderr


def test_a_failed_import_can_be_retried(tmp_path):
    _fake_redis(tmp_path)
    result = _run_isolated("""
        import sys
        sys.path.insert(0, "fake")
        try:
            import avwatch
        except AttributeError:
            pass
        sys.path.pop(0)
        del sys.modules["redis"]
        import avwatch
        print(avwatch.to_int("4.5"))
    """, tmp_path)
    assert result.stdout.split() == ["4"], result.stderr


def test_import_does_no_work(tmp_path):
    # No file read, no process started: importing with an empty PATH works.
    env = dict(os.environ, PATH="")
    result = subprocess.run([sys.executable, "-c", "import avwatch; print(len(vars(avwatch)))"],
                            capture_output=True, text=True, env=env, cwd=tmp_path, timeout=60)
    assert result.returncode == 0, result.stderr


def test_imported_inside_a_package_functions_name_the_dotted_module(tmp_path):
    package = tmp_path / "pkg"
    package.mkdir()
    (package / "__init__.py").write_text("")
    built = os.path.realpath(avwatch.__file__)
    os.symlink(built, package / os.path.basename(built))
    result = _run_isolated(f"""
        import pickle, sys
        import pkg.avwatch as module
        names = {FUNCTIONS!r}
        print({{getattr(module, name).__module__ for name in names}}, "avwatch" in sys.modules)
        print(all(pickle.loads(pickle.dumps(getattr(module, name))) is getattr(module, name) for name in names))
    """, tmp_path)
    assert result.stdout.splitlines() == ["{'pkg.avwatch'} False", "True"], result.stderr
