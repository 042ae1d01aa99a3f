"""Fixtures of the output monitor's tests."""

import pytest

from monitor_harness import Harness


@pytest.fixture
def harness(kestrel_root, broker, monkeypatch):
    return Harness(broker, monkeypatch)
