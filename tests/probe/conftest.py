"""Fixtures of the probe's tests."""

import pytest

import avwatch
from probe_fakes import FakeProber


@pytest.fixture
def prober(monkeypatch):
    fake = FakeProber()
    monkeypatch.setattr(avwatch, "subprocess", fake)
    return fake
