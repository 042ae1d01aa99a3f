"""The Ctrl-C tests pass when the suite itself was started with SIGINT and
SIGQUIT ignored, as a shell's background job (`cmd &`) is."""

import subprocess
import sys
from pathlib import Path

import pytest

TESTS = Path(__file__).resolve().parents[1]


@pytest.mark.parametrize("path, selection", [
    ("probe/test_probe_chain.py", "ctrl_c"),
    ("cli/test_cli_supervision.py", "ctrl_c"),
    ("cli/test_cli_monitor.py", "operator_stop"),
])
def test_ctrl_c_tests_with_interrupts_ignored(path, selection):
    result = subprocess.run(
        ["env", "--ignore-signal=INT,QUIT", sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
         "--timeout", "60", "-k", selection, str(TESTS / path)],
        capture_output=True, text=True, timeout=240, cwd=TESTS.parent)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-2000:]
    assert " passed" in result.stdout and "deselected" in result.stdout
