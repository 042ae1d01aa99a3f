"""tools/find-python: which interpreter the build uses, from what the
machine holds (here, links to real interpreters in a folder of their own)."""

import os
import subprocess
from pathlib import Path

import pytest

FIND_PYTHON = Path(__file__).resolve().parents[2] / "tools" / "find-python"


def find(version=None, path="/usr/bin:/bin", pyenv_root="/nonexistent"):
    env = {**os.environ, "PATH": path, "PYENV_ROOT": pyenv_root}
    return subprocess.run([str(FIND_PYTHON), *([version] if version else [])],
                          capture_output=True, text=True, env=env, timeout=60)


def real(version):
    result = find(version, path=os.environ["PATH"], pyenv_root=os.environ.get("PYENV_ROOT", ""))
    if result.returncode != 0:
        pytest.skip(f"no CPython {version} on this machine")
    return Path(result.stdout.strip())


@pytest.mark.parametrize("links, asked, expected", [
    # Debian 13: its only python3 is 3.13.
    ({"python3": "3.13"}, None, "3.13"),
    ({"python3": "3.13"}, "3.13", "3.13"),
    # 3.12 is the first choice when both are there.
    ({"python3": "3.13", "python3.12": "3.12"}, None, "3.12"),
    ({"python3.13": "3.13", "python3.12": "3.12"}, "3.13", "3.13"),
    # A python3 of another version is never taken for the one asked.
    ({"python3": "3.13"}, "3.12", None),
])
def test_interpreter_found(tmp_path, links, asked, expected):
    for name, version in links.items():
        (tmp_path / name).symlink_to(real(version))
    result = find(asked, path=f"{tmp_path}:/usr/bin:/bin")
    if expected is None:
        assert result.returncode == 1
        assert "README" in result.stderr and "Debian 12 ships 3.11" in result.stderr
        return
    assert result.returncode == 0, result.stderr
    found = subprocess.run([result.stdout.strip(), "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
                           capture_output=True, text=True, timeout=30)
    assert found.stdout.strip() == expected
