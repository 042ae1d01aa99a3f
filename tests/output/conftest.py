"""Fixtures of the output monitor's tests; the HLS stand-in comes from tools/."""

import sys
from pathlib import Path

import pytest

from monitor_harness import Harness

TOOLS = Path(__file__).resolve().parents[2] / "tools"
if str(TOOLS) not in sys.path:
    sys.path.insert(0, str(TOOLS))


@pytest.fixture
def harness(kestrel_root, broker, monkeypatch):
    return Harness(broker, monkeypatch)
