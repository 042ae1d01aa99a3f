"""What pip installs beside the extension module: the stubs and the command."""

import subprocess
import sysconfig
from importlib import metadata
from pathlib import Path

import pytest

import avwatch

site_packages = Path(sysconfig.get_paths()["platlib"])
if Path(avwatch.__file__).parent != site_packages:
    pytest.skip("avwatch runs from a build dir, not from site-packages", allow_module_level=True)


def test_stubs_beside_the_module():
    assert (Path(sysconfig.get_paths()["purelib"]) / "avwatch-stubs" / "__init__.pyi").is_file()


def test_console_script():
    script = Path(sysconfig.get_paths()["scripts"]) / "avwatch"
    result = subprocess.run([str(script), "--help"], capture_output=True, text=True, timeout=30)
    assert result.returncode == 0
    assert "usage: avwatch" in result.stdout
    assert "monitor" in result.stdout and "probe" in result.stdout


def test_version_from_the_package():
    result = subprocess.run([str(Path(sysconfig.get_paths()["scripts"]) / "avwatch"), "--version"],
                            capture_output=True, text=True, timeout=30)
    assert result.returncode == 0
    assert result.stdout.strip() == f"avwatch {metadata.version('avwatch')}"
